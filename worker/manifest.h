// A product's signed manifest: its files with hashes, sizes and addresses,
// and the paths a product job works with for each file.
#pragma once

#include "catalog.h"

enum {
    kMaxManifestFiles = 256,
    kManifestVersionBytes = 96,
};

struct ManifestFile {
    char path[520];
    char url[760];
    char sha256[72];
    unsigned long long size;
    int needs_download;
    int had_previous;
    int committed;
};

extern ManifestFile g_manifest_files[kMaxManifestFiles];
extern int g_manifest_count;

int ParseManifest(const char *body, unsigned int length, char version[kManifestVersionBytes]);
void LocalFilePath(const CatalogProduct *product, const ManifestFile *file, wchar_t *dst,
                   unsigned int capacity);
void StagedFilePath(const CatalogProduct *product, const ManifestFile *file, wchar_t *dst,
                    unsigned int capacity);
void BackupFilePath(const CatalogProduct *product, const ManifestFile *file, wchar_t *dst,
                    unsigned int capacity);
void FileDownloadUrl(const CatalogProduct *product, const ManifestFile *file, wchar_t *dst,
                     unsigned int capacity);
