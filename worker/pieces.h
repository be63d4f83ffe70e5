// Staging a large file from the pieces the Worker already has (the installed
// copy, a leftover staged prefix, another current file of the product) and
// fetches of the rest, guided by the file's signed piece list.
#pragma once

#include "catalog.h"
#include "manifest.h"

enum PieceOutcome {
    PIECES_NOT_USED = 0,  // no usable list or no ranges: download the whole file
    PIECES_STAGED = 1,    // the staged file is complete and its SHA-256 matches
    PIECES_FAILED = 2,    // a transfer failed; the staged prefix stays for resume
    PIECES_MISMATCH = 3,  // assembled but wrong; staged file deleted
};

struct TransferThread;
// Runs on the transfer thread t (its buffer, its view of the pause flag and
// the limit).
int StageFromPieces(const CatalogProduct *product, const ManifestFile *file, const wchar_t *url,
                    const wchar_t *staged, TransferThread *t);
