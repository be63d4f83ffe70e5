// A large file of a first install travels as several ranges at once: its
// ".part" is written at each segment's place, and a small record beside it
// (".part.ranges") keeps how far each segment has come, so that a stopped
// job's next run asks only for the rest of each.
#pragma once

#include "catalog.h"
#include "manifest.h"
#include "transport.h"

// How many segments the file travels in (at least 2), or 0 when it is
// fetched as one: smaller than two segments, an installed copy (its pieces
// may serve), or a ".part" from a download in one request. Creates or
// checks the record; called before the transfers start.
unsigned int PrepareSegments(const CatalogProduct *product, const ManifestFile *file);

// What the segments of one file share while they travel.
struct SegmentedFile {
    volatile LONG remaining;  // segments not yet done
    volatile LONG whole;      // the host answered a range with the whole body
    volatile LONG resumed;    // a segment went on from what an earlier run recorded
};

// Fetches the rest of segment `segment`; the one that ends last checks the
// whole file's SHA-256 (or, when the host ignores ranges, fetches the whole
// file once in one request). 1 when done, 0 when a fault persisted (the
// ".part" and its record stay for the next run).
int StageSegment(const CatalogProduct *product, const ManifestFile *file, unsigned int segment,
                 SegmentedFile *shared, TransferThread *t);
