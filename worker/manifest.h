// A product's signed manifest: its files with hashes, sizes and addresses,
// and the paths a product job works with for each file.
#pragma once

#include "catalog.h"
#include "manifest_limits.h"

enum {
    kManifestVersionBytes = 96,
    // UTF-16 capacity of a product file's local, staged or backup path:
    // a 1023-unit library root or install directory, the 179-unit install_dir
    // or the work area and id, a 519-unit manifest path and the long-path
    // prefix all fit.
    kFilePathUnits = 2048,
};

// One file of the manifest table. The texts point into the table's string
// pool (each decoded once, at its exact length), so an entry stays a few
// words however long its path is. A consumer only reads them.
struct ManifestFile {
    const char *path;         // as read; "/" or "\" between folders
    const char *sha256;       // hex text, at least 64 characters (the first 64 count)
    const char *url;          // host-relative address, or "" for the default one
    unsigned long long size;  // signed size in bytes, 0 when absent
    unsigned char needs_download;  // set by the verify phase
    unsigned char had_previous;    // set by the commit phase
    unsigned char committed;       // set by the commit phase
    unsigned char flushed;         // staged bytes on the disk, set by the download phase
};

// The table of the current job: g_manifest_count entries, allocated once per
// job from the process heap by ParseManifest and freed by FreeManifestTable.
extern ManifestFile *g_manifest_files;
extern int g_manifest_count;
// Per entry: a 64-bit hash of its path as Windows names the file (separators,
// letter case and the dots and blanks Win32 drops folded away), set by
// ParseManifest; 0 for a path that names nothing.
extern unsigned long long *g_manifest_path_keys;

// Fills the table from a verified manifest body. Refuses (0) an entry that
// breaks the path or digest rule, a manifest of more than kMaxManifestFiles
// files, two entries that Windows takes for one file (letter case, "/" or
// "\", the dots and blanks it drops) and an entry at one of the launcher's
// own files in the product folder's root; the body itself is left unchanged.
int ParseManifest(const char *body, unsigned int length, char version[kManifestVersionBytes]);
void FreeManifestTable(void);

// The paths of one file (capacity kFilePathUnits). A path that would not fit
// MAX_PATH is given in its "\\?\" form, which the file functions take at any
// length; a shorter one is given as it is.
void LocalFilePath(const CatalogProduct *product, const ManifestFile *file, wchar_t *dst,
                   unsigned int capacity);
void StagedFilePath(const CatalogProduct *product, const ManifestFile *file, wchar_t *dst,
                    unsigned int capacity);
void BackupFilePath(const CatalogProduct *product, const ManifestFile *file, wchar_t *dst,
                    unsigned int capacity);
void FileDownloadUrl(const CatalogProduct *product, const ManifestFile *file, wchar_t *dst,
                     unsigned int capacity);
