// Freshness of signed documents: the serial that only grows from one publish
// to the next and the expiry time a document may carry, and the Worker's
// memory of the highest serial it trusted for each document address.
#pragma once

#include <windows.h>

#include "catalog.h"
#include "transport.h"

struct FreshDocument {
    int has_serial;
    unsigned long long serial;
    unsigned char digest[kDigestBytes];
};

// Reads the trusted serials of this install (an unreadable or foreign file
// is an empty memory). refusals_of_sync: this run is a sync, whose refusals
// replace those of the last sync.
void LoadTrustState(int refusals_of_sync);
// 1 when the freshly fetched document may be taken for its address; else one
// log line naming the document and the reason, and 0.
int CheckFreshDocument(const wchar_t *url, const char *body, unsigned int length,
                       FreshDocument *out);
// 1 unless the control document names a serial or SHA-256 for this document
// (prefix "catalog" or "news") that it does not have.
int CheckNamedByControl(const char *control, unsigned int control_length, const char *prefix,
                        const wchar_t *url, const FreshDocument *document);
// After the document replaced what was cached: its serial becomes the one trusted.
void RememberDocument(const wchar_t *url, const FreshDocument *document);
int SaveTrustState(void);

// The product job's manifest: fetched, verified and checked against the
// trusted serials and against the release the product folder holds.
int FetchFreshManifest(const CatalogProduct *product, char **out_body, unsigned int *out_length,
                       FreshDocument *out);
// After the product folder was sealed with this manifest's release.
void RememberInstalledManifest(const CatalogProduct *product, const FreshDocument *document);
