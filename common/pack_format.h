// Small files travel together: the release tool packs runs of small files
// (in path order) into pack objects, stored by their SHA-256 like any file,
// and describes them in a signed pack index beside the manifest. The Update
// Worker reads the index only to save requests: every file it takes from a
// pack is checked against its own manifest SHA-256, and without an index it
// fetches files one by one. Plain code with no runtime: both programs include
// it.
//
// The index: one JSON line {"packs": P, "members": M}, then P pack records
// (SHA-256, 32 bytes; size, 64-bit little-endian; member count, 32-bit
// little-endian), then the M member records of every pack in pack order
// (SHA-256, 32 bytes; size, 64-bit little-endian). A pack holds its members'
// bytes one after another, in that order, and nothing else.
#pragma once

enum {
    kPackRecordBytes = 44,
    kPackMemberRecordBytes = 40,
    // A file up to this size may go in a pack.
    kPackMemberMaxBytes = 128 * 1024,
    // A pack holds at most this many bytes.
    kPackMaxBytes = 1024 * 1024,
};

// The index's address: the manifest's address plus this. A pack's address:
// this root, the first two hex digits of its SHA-256, "/", the 64 digits (the
// content store, where the files lie too).
#define PACK_INDEX_SUFFIX ".packs"
#define PACK_ROOT "/content/"
