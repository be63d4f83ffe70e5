// A product's last trusted manifest, kept in the install directory with its
// signature and the host's validators, so that a check asks the host only
// whether the manifest changed (a conditional request a 304 answers) instead
// of taking the whole document again; and the manifest's compressed twin,
// asked for first when it did change.
#pragma once

#include "catalog.h"
#include "transport.h"

// The longest signature text kept with a manifest (a ".sigs" of several keys).
enum { kKeptSignatureBytes = 8192 };

// Where the manifest handed out came from, and what keeping it needs.
struct ManifestSource {
    int kept;                       // the kept copy (the host said it had not changed)
    wchar_t from[1300];             // the address whose validators these are
    DocumentAnswer answer;          // the validators of a fetched body
    char signature[kKeptSignatureBytes];      // the detached signature's text, as fetched
    unsigned int signature_length;
    unsigned long long wire_bytes;  // body bytes that travelled for it
};

// The manifest of the product, verified against its detached signature:
// the kept copy when the host says it has not changed (unless ignore_kept),
// else the compressed twin (manifest path + ".gz", inflated within the
// manifest cap), else the plain document. 0 when none could be had (each
// reason logged).
int ObtainManifest(const CatalogProduct *product, int ignore_kept, char **out_body,
                   unsigned int *out_length, ManifestSource *source);
// After a fetched manifest passed every freshness check: kept for the next
// job (written beside and renamed into place; a failure only costs the next
// check a download).
void KeepManifest(const CatalogProduct *product, const ManifestSource *source, const char *body,
                  unsigned int length);
// The kept copy failed a check it passed before (it expired, or a newer
// release was trusted meanwhile): gone, whole.
void DiscardKeptManifest(const CatalogProduct *product);
