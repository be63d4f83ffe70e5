// Content-defined cutting of large files into pieces, shared by the release
// tool (which publishes each large file's piece list) and the Update Worker
// (which cuts its local copy by the same rule to find pieces it already has).
//
// Gear rolling hash: h = (h << 1) + gear[byte]. Its top bits depend on the
// last 64 bytes only, so a cut depends only on nearby content and an insertion
// or deletion disturbs just the pieces around it. Normalised cutting: a hard
// condition until the normal size, an easy one after it, which keeps sizes
// close to the average. Plain code with no runtime: both programs include it.
#pragma once

enum {
    kPieceMinBytes = 512 * 1024,
    kPieceNormalBytes = 768 * 1024,
    kPieceMaxBytes = 4 * 1024 * 1024,
    // SHA-256 of one piece and its length (32-bit little-endian) in a list.
    kPieceRecordBytes = 36,
};

// Each piece is also published as its own object at its SHA-256's address,
// with beside it ("<address>.blocks") the SHA-256 of every block of this
// size in it, from its start: a launcher holding a piece that changed in a
// few places fetches only the blocks that differ.
enum { kPieceBlockBytes = 16 * 1024 };

// Files of at least this size get a piece list.
static const unsigned long long kPieceListMinFileBytes = 8ull * 1024 * 1024;

// Names the rule in every list: a list cut by another rule is not used.
static const char kPieceCutRule[] = "gear64/512k/768k/4m";

// Top 20 bits before the normal size (one cut in 1 MiB of content), top 18
// after it (one in 256 KiB).
static const unsigned long long kPieceMaskHard = 0xFFFFF00000000000ull;
static const unsigned long long kPieceMaskEasy = 0xFFFFC00000000000ull;

struct PieceCut {
    unsigned long long gear[256];
    unsigned long long hash;
    unsigned long long length;  // bytes of the current piece so far
};

// The gear table comes from a fixed seed (splitmix64), the same everywhere.
inline void PieceCutStart(PieceCut *c) {
    unsigned long long x = 0x4f5256454c414e54ull;
    for (int i = 0; i < 256; ++i) {
        x += 0x9E3779B97F4A7C15ull;
        unsigned long long z = x;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        c->gear[i] = z ^ (z >> 31);
    }
    c->hash = 0;
    c->length = 0;
}

// Takes bytes up to and including the end of the current piece. Returns how
// many of the n bytes belong to the current piece; *cut is 1 when the piece
// ends after them (the next byte starts a new piece).
inline unsigned int PieceCutScan(PieceCut *c, const unsigned char *p, unsigned int n, int *cut) {
    *cut = 0;
    unsigned int i = 0;
    // The hash forgets a byte after 64 more, so the bytes before the last 64
    // of the minimum need not be hashed at all.
    if (c->length + 64 < kPieceMinBytes) {
        unsigned long long skip = kPieceMinBytes - 64 - c->length;
        if (skip > n) skip = n;
        i = (unsigned int)skip;
        c->length += skip;
    }
    unsigned long long h = c->hash;
    unsigned long long length = c->length;
    for (; i < n; ++i) {
        h = (h << 1) + c->gear[p[i]];
        ++length;
        if (length < kPieceMinBytes) continue;
        unsigned long long mask = length < kPieceNormalBytes ? kPieceMaskHard : kPieceMaskEasy;
        if ((h & mask) == 0 || length >= kPieceMaxBytes) {
            *cut = 1;
            c->hash = 0;
            c->length = 0;
            return i + 1;
        }
    }
    c->hash = h;
    c->length = length;
    return n;
}
