// Small files fetched in packs: after the verify phase the product's signed
// pack index (common/pack_format.h) says which shared objects hold which
// small files; a pack is fetched when the job needs most of its bytes, its
// other files go one by one. A file from a pack counts as staged only after
// the pack's SHA-256 and then the file's own manifest SHA-256 matched.
#pragma once

#include "catalog.h"
#include "manifest.h"
#include "transport.h"

// Reads the index and picks the packs worth fetching for the files marked
// needs_download. Returns the number of packs picked (0 without an index or
// when none is worth a request). Memory: the index, 4 bytes per manifest
// file, 5 per member, 44 bytes for each pack; while it plans, 32 bytes per
// manifest file and 4 per digest slot. Freed by FreePacks.
int PlanPacks(const CatalogProduct *product);
void FreePacks(void);

// The pack that brings manifest file k, or -1.
int PackOfFile(int k);

// Member i of picked pack p: the manifest file it stages, or -1 for a member
// this job does not take from the pack.
unsigned int PackMemberCount(int pack);
int PackMemberFile(int pack, unsigned int i);
int PackMemberStaged(int pack, unsigned int i);

enum {
    PACK_FAILED = 0,    // a transfer failed for good; the job fails
    PACK_STAGED = 1,    // every file the job takes from the pack is staged and checked
    PACK_FALLBACK = 2,  // missing or wrong: the members not staged go one by one
};
// Fetches pack p (resuming its ".part") on transfer thread t and stages its
// files; files staged by an earlier run are kept without a request.
int StagePack(const CatalogProduct *product, int pack, TransferThread *t);
