// The Worker's view of a catalog entry and the paths built from it.
#pragma once

#include <windows.h>

struct CatalogProduct {
    wchar_t id[64];
    wchar_t install_dir[180];
    wchar_t executable[180];
    wchar_t manifest_path[420];
};

int FindCatalogProduct(CatalogProduct *out);
void ProductDirectory(const CatalogProduct *product, wchar_t *dst, unsigned int capacity);
void ProductExecutablePath(const CatalogProduct *product, wchar_t *dst, unsigned int capacity);
int IsInstalledKnownGood(const CatalogProduct *product);
