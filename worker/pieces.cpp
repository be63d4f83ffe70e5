// A changed large file is staged from the pieces that are already on disk and
// fetches of the others: each piece's own object where the list names them,
// else ranges of the whole file. The signed piece list names each piece's
// length and SHA-256; the installed copy is cut by the same content-defined
// rule, so an insertion or a damaged stretch costs only the pieces around it.
// With piece objects, a piece still lacking is also taken from another file
// of the product that this job found current, where that file's list says.
// Whatever is assembled, the whole-file SHA-256 of the manifest decides.
//
// Memory: the list (at most the document cap), 8 bytes per piece for where
// each comes from and at most 16 bytes per piece for the digest index, one
// 64 KiB buffer; with piece objects 12 bytes more per piece (its offset, the
// fetch table) and per fetching thread its buffer and one piece's block sums
// (8 KiB); one byte per piece for the file it is taken from, and the other
// files' lists (see TakeFromDonors): bounded by the lists, whatever the
// files' sizes.
#include "pieces.h"

#include "job_threads.h"
#include "json.h"
#include "piece_cut.h"
#include "runtime.h"
#include "transport.h"
#include "worker.h"

static const unsigned long long kFetch = ~0ull;      // piece comes from the host
static const unsigned long long kStaged = ~0ull - 1;  // piece already in the staged file

struct PieceList {
    const unsigned char *records;  // kPieceRecordBytes each
    unsigned int count;
    wchar_t objects[64];           // where each piece is an object of its own; empty: none
    unsigned long long *source;    // offset in the installed file, or kFetch
    unsigned char *donor;          // 0: source is in the installed copy; d + 1: in donor d
    unsigned int *index;           // open addressing over digests: piece + 1, 0 empty
    unsigned int index_mask;
};

static unsigned int PieceLength(const PieceList *list, unsigned int i) {
    const unsigned char *r = list->records + (unsigned long long)i * kPieceRecordBytes;
    return (unsigned int)r[0] | (unsigned int)r[1] << 8 | (unsigned int)r[2] << 16 |
           (unsigned int)r[3] << 24;
}

static const unsigned char *PieceDigest(const PieceList *list, unsigned int i) {
    return list->records + (unsigned long long)i * kPieceRecordBytes + 4;
}

// The list must describe exactly this file: the same cut rule, size and
// SHA-256 as the manifest, and pieces that add up to the size.
static int ReadPieceList(const char *body, unsigned int length, const ManifestFile *file,
                         PieceList *list) {
    unsigned int header = 0;
    while (header < length && header < 1024 && body[header] != '\n') ++header;
    if (header >= length || body[header] != '\n') return 0;
    char rule[64], sha[72];
    unsigned long long size = 0, count = 0;
    if (!JsonGetString(body, 0, header, "cut", rule, sizeof(rule)) ||
        !JsonGetString(body, 0, header, "sha256", sha, sizeof(sha)) ||
        !JsonGetNumber(body, 0, header, "size", &size) ||
        !JsonGetNumber(body, 0, header, "pieces", &count))
        return 0;
    for (int k = 0; kPieceCutRule[k] || rule[k]; ++k)
        if (kPieceCutRule[k] != rule[k]) return 0;
    for (int k = 0; k < 64; ++k) {
        char a = sha[k], b = file->sha256[k];
        if (a >= 'A' && a <= 'F') a = (char)(a - 'A' + 'a');
        if (b >= 'A' && b <= 'F') b = (char)(b - 'A' + 'a');
        if (a != b || a == 0) return 0;
    }
    if (size != file->size || count == 0 ||
        count != (length - header - 1) / kPieceRecordBytes ||
        (length - header - 1) % kPieceRecordBytes != 0)
        return 0;
    // A host-relative folder such as "/content/": the object addresses are
    // built from it and the digests, so it may hold nothing else.
    char root[64];
    list->objects[0] = 0;
    if (JsonGetString(body, 0, header, "objects", root, sizeof(root))) {
        int k = 0;
        for (; root[k]; ++k) {
            char c = root[k];
            if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '/' || c == '-' ||
                  c == '_') || (c == '/' && root[k + 1] == '/'))
                return 0;
        }
        if (k < 2 || root[0] != '/' || root[k - 1] != '/') return 0;
        for (k = 0; root[k]; ++k) list->objects[k] = (wchar_t)root[k];
        list->objects[k] = 0;
    }
    list->records = (const unsigned char *)body + header + 1;
    list->count = (unsigned int)count;
    unsigned long long total = 0;
    for (unsigned int i = 0; i < list->count; ++i) {
        unsigned int n = PieceLength(list, i);
        if (n == 0) return 0;
        total += n;
    }
    return total == size;
}

static int AllocateTables(PieceList *list) {
    HANDLE heap = GetProcessHeap();
    unsigned int slots = 1;
    while (slots < 2 * list->count) slots <<= 1;
    list->index_mask = slots - 1;
    list->source = (unsigned long long *)HeapAlloc(heap, 0, sizeof(unsigned long long) * list->count);
    list->index = (unsigned int *)HeapAlloc(heap, HEAP_ZERO_MEMORY, sizeof(unsigned int) * slots);
    list->donor = (unsigned char *)HeapAlloc(heap, HEAP_ZERO_MEMORY, list->count);
    if (!list->source || !list->index || !list->donor) return 0;
    for (unsigned int i = 0; i < list->count; ++i) {
        list->source[i] = kFetch;
        unsigned int slot = DigestSlot(PieceDigest(list, i), list->index_mask);
        while (list->index[slot]) slot = (slot + 1) & list->index_mask;
        list->index[slot] = i + 1;
    }
    return 1;
}

static void FreeTables(PieceList *list) {
    if (list->source) HeapFree(GetProcessHeap(), 0, list->source);
    if (list->index) HeapFree(GetProcessHeap(), 0, list->index);
    if (list->donor) HeapFree(GetProcessHeap(), 0, list->donor);
    list->source = NULL;
    list->index = NULL;
    list->donor = NULL;
}

// A local copy whose first 32 MiB match no listed piece was replaced, not
// changed: reading the rest of it would only delay the whole download.
static const unsigned long long kReplacedProbeBytes = 32ull * 1024 * 1024;

// A local piece at offset serves every listed piece (from `first` on) with the
// same length and digest. Returns how many it serves.
static unsigned int OfferLocalPiece(PieceList *list, unsigned int first, unsigned long long offset,
                                    unsigned long long length, const unsigned char *digest,
                                    unsigned char donor = 0) {
    unsigned int served = 0;
    for (unsigned int slot = DigestSlot(digest, list->index_mask); list->index[slot];
         slot = (slot + 1) & list->index_mask) {
        unsigned int i = list->index[slot] - 1;
        if (i >= first && list->source[i] == kFetch && PieceLength(list, i) == length &&
            SameDigest(PieceDigest(list, i), digest)) {
            list->source[i] = offset;
            list->donor[i] = donor;
            ++served;
        }
    }
    return served;
}

// Cuts the installed copy by the same rule and hashes its pieces.
static void IndexLocalFile(const wchar_t *path, PieceList *list, unsigned int first,
                           unsigned char *buffer) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    if (file == INVALID_HANDLE_VALUE) return;
    // The gear table and the hash state live on the heap: 2 KiB is no stack item.
    PieceCut *cut = (PieceCut *)HeapAlloc(GetProcessHeap(), 0, sizeof(PieceCut));
    Sha256State hash;
    int hashing = cut && Sha256Open(&hash);
    if (cut) PieceCutStart(cut);
    unsigned long long offset = 0, piece_start = 0, served = 0;
    unsigned char digest[kDigestBytes];
    while (hashing && (served > 0 || offset < kReplacedProbeBytes)) {
        DWORD read = 0;
        if (!ReadFile(file, buffer, kTransferBufferBytes, &read, NULL) || read == 0) break;
        unsigned int at = 0;
        while (hashing && at < read) {
            int ends = 0;
            unsigned int taken = PieceCutScan(cut, buffer + at, read - at, &ends);
            hashing = Sha256Add(&hash, buffer + at, taken);
            at += taken;
            offset += taken;
            if (hashing && ends) {
                hashing = Sha256Finish(&hash, digest);
                Sha256Close(&hash);
                if (hashing)
                    served += OfferLocalPiece(list, first, piece_start, offset - piece_start, digest);
                piece_start = offset;
                hashing = hashing && Sha256Open(&hash);
            }
        }
    }
    if (hashing && offset > piece_start && (served > 0 || offset < kReplacedProbeBytes) &&
        Sha256Finish(&hash, digest))
        OfferLocalPiece(list, first, piece_start, offset - piece_start, digest);
    if (cut) Sha256Close(&hash);
    if (cut) HeapFree(GetProcessHeap(), 0, cut);
    CloseHandle(file);
}

// Hashes count bytes at the file's position; 1 when they match digest.
static int BytesMatch(HANDLE file, unsigned long long count, const unsigned char *digest,
                      unsigned char *buffer) {
    Sha256State hash;
    unsigned char got[kDigestBytes];
    int ok = Sha256Open(&hash);
    while (ok && count > 0) {
        DWORD want = count < kTransferBufferBytes ? (DWORD)count : (DWORD)kTransferBufferBytes;
        DWORD read = 0;
        ok = ReadFile(file, buffer, want, &read, NULL) && read == want &&
             Sha256Add(&hash, buffer, read);
        count -= want;
    }
    ok = ok && Sha256Finish(&hash, got) && SameDigest(got, digest);
    Sha256Close(&hash);
    return ok;
}

static int SeekTo(HANDLE file, unsigned long long offset) {
    LARGE_INTEGER at;
    at.QuadPart = (LONGLONG)offset;
    return SetFilePointerEx(file, at, NULL, FILE_BEGIN) ? 1 : 0;
}

// Keeps the staged file's leading whole pieces that match the list (what an
// earlier run wrote before it was stopped) and cuts off the rest. Returns the
// number of pieces kept; *kept_bytes their size.
static unsigned int KeepStagedPrefix(HANDLE staged, const PieceList *list,
                                     unsigned long long *kept_bytes, unsigned char *buffer) {
    LARGE_INTEGER size;
    unsigned long long have = GetFileSizeEx(staged, &size) ? (unsigned long long)size.QuadPart : 0;
    unsigned long long end = 0;
    unsigned int i = 0;
    SeekTo(staged, 0);
    while (i < list->count && end + PieceLength(list, i) <= have &&
           BytesMatch(staged, PieceLength(list, i), PieceDigest(list, i), buffer))
        end += PieceLength(list, i++);
    *kept_bytes = end;
    if (!SeekTo(staged, end) || !SetEndOfFile(staged)) {
        *kept_bytes = 0;
        return SeekTo(staged, 0) && SetEndOfFile(staged) ? 0 : list->count + 1;
    }
    return i;
}

static int CopyLocalPiece(HANDLE local, HANDLE staged, unsigned long long offset,
                          unsigned long long count, unsigned char *buffer) {
    if (!SeekTo(local, offset)) return 0;
    while (count > 0) {
        DWORD want = count < kTransferBufferBytes ? (DWORD)count : (DWORD)kTransferBufferBytes;
        DWORD read = 0, written = 0;
        if (!ReadFile(local, buffer, want, &read, NULL) || read != want) return 0;
        if (!WriteFile(staged, buffer, read, &written, NULL) || written != read) return 0;
        count -= want;
    }
    return 1;
}

// Writes the staged file in order from kept, local and fetched pieces. A
// fetched run cut by a fault or a pause is asked for again from where it
// ended (DownloadRangeRetrying).
static int AssemblePieces(TransferThread *t, const wchar_t *url, const wchar_t *local_path,
                          HANDLE staged, const PieceList *list, unsigned int first,
                          unsigned long long offset, unsigned char *buffer) {
    HANDLE local = CreateFileW(local_path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, NULL);
    int result = RANGE_DONE;
    unsigned int i = first;
    while (i < list->count && result == RANGE_DONE) {
        if (list->source[i] != kFetch) {
            if (local == INVALID_HANDLE_VALUE ||
                !CopyLocalPiece(local, staged, list->source[i], PieceLength(list, i), buffer))
                result = RANGE_FAILED;
            offset += PieceLength(list, i++);
            continue;
        }
        // Neighbouring missing pieces travel in one request, up to the
        // longest body one request asks for.
        unsigned long long run = 0;
        const unsigned long long limit = HttpRangeLimitBytes();
        while (i < list->count && list->source[i] == kFetch &&
               (run == 0 || run + PieceLength(list, i) <= limit))
            run += PieceLength(list, i++);
        result = DownloadRangeRetrying(t, url, staged, offset, run);
        offset += run;
    }
    if (local != INVALID_HANDLE_VALUE) CloseHandle(local);
    return result;
}

// --- Pieces as objects of their own ------------------------------------------
// Each piece the list names is published at its own address (its SHA-256), so
// a cache in front of the host keeps it like any file and serves every player
// the same object. The pieces that must travel are fetched with plain GETs on
// a pool of threads, each written at its place in the staged file and checked
// by its SHA-256 before it counts. A piece that changed in a few places is
// built from the blocks the installed copy still holds and ranges of the rest.

enum {
    kObjectUrlUnits = 64 + 3 + 2 * kDigestBytes + 8 + 1,
    kMaxPieceBlocks = kPieceMaxBytes / kPieceBlockBytes,
    kBaseSearchPieces = 64,  // how far a changed piece looks for an installed neighbour
};

// A piece taken from the installed copy of this same file (not the staged
// file, not another file of the product).
static int IsLocalSource(const PieceList *list, unsigned int i) {
    return list->source[i] < kStaged && list->donor[i] == 0;
}

static void ObjectUrl(const PieceList *list, unsigned int i, const wchar_t *suffix, wchar_t *url) {
    static const wchar_t digits[] = L"0123456789abcdef";
    const unsigned char *d = PieceDigest(list, i);
    WideCopy(url, list->objects, kObjectUrlUnits);
    unsigned long long n = WideLength(url);
    url[n++] = digits[d[0] >> 4];
    url[n++] = digits[d[0] & 15];
    url[n++] = L'/';
    for (int k = 0; k < kDigestBytes; ++k) {
        url[n++] = digits[d[k] >> 4];
        url[n++] = digits[d[k] & 15];
    }
    url[n] = 0;
    if (suffix) WideAppend(url, suffix, kObjectUrlUnits);
}

struct ObjectFetch {
    const PieceList *list;
    const unsigned long long *offsets;  // where each piece starts in the file
    const unsigned int *items;          // the pieces to fetch
    const wchar_t *staged;
    const wchar_t *local;
    unsigned long long local_size;      // 0: no installed copy to take blocks from
    volatile LONG64 counted;            // bytes the pool's threads counted as done
    volatile LONG64 not_expected;       // block bytes taken from the installed copy
    volatile LONG missing;              // an object the host lacks or serves other bytes for
    volatile LONG failed;               // a fault that outlasted its retries
    volatile LONG done;                 // pieces fetched and checked
};

// One piece from its object into the staged file at `at`, with retries as
// for files. RANGE_DONE, OBJECT_MISSING (also for bytes other than listed)
// or RANGE_FAILED.
static int FetchWholeObject(TransferThread *t, const wchar_t *url, HANDLE out,
                            unsigned long long at, unsigned int length,
                            const unsigned char *digest) {
    int faults = 0;
    for (;;) {
        Sha256State hash;
        unsigned long long got = 0;
        int result = RANGE_FAILED;
        t->paused_in_request = 0;  // a local fault below must not read an older request's pause
        if (Sha256Open(&hash) && SeekTo(out, at))
            result = DownloadObject(t, url, out, length, &hash, &got);
        unsigned char d[kDigestBytes];
        if (result == RANGE_DONE && !(Sha256Finish(&hash, d) && SameDigest(d, digest)))
            result = OBJECT_MISSING;
        Sha256Close(&hash);
        if (result == RANGE_DONE) return result;
        CountTransferBytes(t, -(long long)got);  // asked for again from its start
        if (result == OBJECT_MISSING || TransfersStopped()) return result;
        if (t->paused_in_request) continue;
        if (faults >= kTransferRetries) return RANGE_FAILED;
        LogLine("Piece transfer interrupted; asking again");
        RetryBackoff(faults++);
    }
}

// The blocks of piece i that the installed copy still holds are copied into
// place and only the others are asked for, as ranges of the piece's object.
// A block is looked for where it would be had nothing moved (a rewrite, a
// damage), and in step with the nearest installed piece before it and after
// it (an insertion or a cut shifts what follows it).
// RANGE_DONE when the piece is complete and checked; RANGE_IGNORED when the
// whole object is the way (no block list, no block here); RANGE_FAILED on a fault.
static int FetchChangedBlocks(ObjectFetch *f, unsigned int i, TransferThread *t, HANDLE out,
                              HANDLE local, const wchar_t *url) {
    const PieceList *list = f->list;
    const unsigned int length = PieceLength(list, i);
    const unsigned int blocks = (length + kPieceBlockBytes - 1) / kPieceBlockBytes;
    const unsigned long long at = f->offsets[i];
    wchar_t blocks_url[kObjectUrlUnits];
    ObjectUrl(list, i, L".blocks", blocks_url);
    char *sums = NULL;
    unsigned int sums_length = 0;
    if (!HttpGetToMemoryCapped(blocks_url, kMaxPieceBlocks * kDigestBytes, &sums, &sums_length))
        return RANGE_IGNORED;
    if (sums_length != blocks * kDigestBytes) {
        HeapFree(GetProcessHeap(), 0, sums);
        return RANGE_IGNORED;
    }
    // Where the piece would start in the installed copy: in the same place,
    // or in step with the nearest installed piece before or after it (the
    // bytes between them moved together).
    long long bases[3];
    int nbases = 0;
    bases[nbases++] = (long long)at;
    for (unsigned int p = i, k = 0; p-- > 0 && k < kBaseSearchPieces; ++k)
        if (IsLocalSource(list, p)) {
            bases[nbases++] = (long long)(list->source[p] + (at - f->offsets[p]));
            break;
        }
    for (unsigned int q = i + 1, k = 0; q < list->count && k < kBaseSearchPieces; ++q, ++k)
        if (IsLocalSource(list, q)) {
            bases[nbases++] = (long long)list->source[q] - (long long)(f->offsets[q] - at);
            break;
        }
    unsigned char have[kMaxPieceBlocks];
    unsigned long long found = 0;
    int ok = 1;
    for (unsigned int j = 0; ok && j < blocks; ++j) {
        const unsigned int left = length - j * kPieceBlockBytes;
        const unsigned int part = left < (unsigned int)kPieceBlockBytes ? left : (unsigned int)kPieceBlockBytes;
        have[j] = 0;
        for (int b = 0; b < nbases && !have[j]; ++b) {
            long long from = bases[b] + (long long)j * kPieceBlockBytes;
            if (from < 0 || (unsigned long long)from + part > f->local_size) continue;
            DWORD read = 0, written = 0;
            unsigned char d[kDigestBytes];
            if (!SeekTo(local, (unsigned long long)from) ||
                !ReadFile(local, t->buffer, part, &read, NULL) || read != part ||
                !Sha256Buffer(t->buffer, part, d) ||
                !SameDigest(d, (const unsigned char *)sums + j * kDigestBytes))
                continue;
            ok = SeekTo(out, at + (unsigned long long)j * kPieceBlockBytes) &&
                 WriteFile(out, t->buffer, part, &written, NULL) && written == part;
            have[j] = 1;
            found += part;
        }
    }
    HeapFree(GetProcessHeap(), 0, sums);
    if (!ok) return RANGE_FAILED;
    if (found == 0) return RANGE_IGNORED;  // nothing to keep: one plain GET of the object
    AdjustExpectedBytes(-(long long)found);
    InterlockedExchangeAdd64(&f->not_expected, (LONG64)found);
    int result = RANGE_DONE;
    for (unsigned int j = 0; result == RANGE_DONE && j < blocks;) {
        if (have[j]) {
            ++j;
            continue;
        }
        unsigned long long first = (unsigned long long)j * kPieceBlockBytes;
        while (j < blocks && !have[j]) ++j;
        unsigned long long end = (unsigned long long)j * kPieceBlockBytes;
        if (end > length) end = length;
        // One try: a fault or a 404 leaves it to the whole object's retries.
        unsigned long long got = 0;
        if (!SeekTo(out, at + first)) return RANGE_FAILED;
        result = DownloadRange(t, url, out, first, end - first, &got);
        if (result == RANGE_FAILED) result = RANGE_IGNORED;
    }
    if (result == RANGE_DONE &&
        !(SeekTo(out, at) && BytesMatch(out, length, PieceDigest(list, i), t->buffer)))
        result = RANGE_IGNORED;
    if (result == RANGE_IGNORED) {
        AdjustExpectedBytes((long long)found);
        InterlockedExchangeAdd64(&f->not_expected, -(LONG64)found);
    }
    return result;
}

static int FetchPieceItem(JobThreads *run, int k, TransferThread *t) {
    ObjectFetch *f = (ObjectFetch *)run->context;
    if (f->missing || f->failed) return 1;
    // A piece skipped because the job is stopping is a piece not staged:
    // the file must not go on to its whole-file check (which would find it
    // wrong and throw away every piece an earlier run kept).
    if (TransfersStopped()) {
        InterlockedExchange(&f->failed, 1);
        return 1;
    }
    const PieceList *list = f->list;
    const unsigned int i = f->items[k];
    const unsigned long long before = t->counted;
    HANDLE out = CreateFileW(f->staged, GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, NULL);
    HANDLE local = f->local_size == 0 ? INVALID_HANDLE_VALUE
                                      : CreateFileW(f->local, GENERIC_READ, FILE_SHARE_READ, NULL,
                                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    wchar_t url[kObjectUrlUnits];
    ObjectUrl(list, i, NULL, url);
    int result = RANGE_FAILED;
    if (out != INVALID_HANDLE_VALUE) {
        result = local != INVALID_HANDLE_VALUE ? FetchChangedBlocks(f, i, t, out, local, url)
                                               : RANGE_IGNORED;
        if (result == RANGE_IGNORED) {
            if (t->counted != before) CountTransferBytes(t, -(long long)(t->counted - before));
            result = FetchWholeObject(t, url, out, f->offsets[i], PieceLength(list, i),
                                      PieceDigest(list, i));
        }
    }
    if (local != INVALID_HANDLE_VALUE) CloseHandle(local);
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    InterlockedExchangeAdd64(&f->counted, (LONG64)(t->counted - before));
    if (result == OBJECT_MISSING)
        InterlockedExchange(&f->missing, 1);
    else if (result != RANGE_DONE)
        InterlockedExchange(&f->failed, 1);
    else
        InterlockedIncrement(&f->done);
    return 1;
}

static void FetchPieceDone(JobThreads *, int) {}

// --- Pieces another file of the product holds --------------------------------
// A file this job found current (its SHA-256 matched, or it is still as it
// was when it last did) is exactly what
// its signed piece list describes, so that list says which piece lies where
// in it: a piece this file still lacks is copied from there and checked by
// its SHA-256, and fetched only when the check fails or the file cannot be
// read (a game may hold it). No other file is cut or hashed.
//
// Cost: a donor's list is two small requests (list and signature) and about
// 36 bytes per MiB of its file. Donors are taken nearest in the manifest
// first (a product's related files lie side by side) and only while all
// their lists together cost at most an eighth of the bytes still missing.
// Memory: a table of kMaxDonors file numbers, one byte per piece (which
// donor), and at most kDonorListThreads lists at once, each capped by its
// file's size (1 KiB + 36 bytes per 512 KiB, at most the document cap).

enum {
    kMaxDonors = 16,
    kDonorListThreads = 4,
    kDonorHeaderBytes = 1024,
    kListRequestCostBytes = 16 * 1024,  // what one request's round trip is worth
    kDonorCostShare = 8,                // lists cost at most 1/8 of the missing bytes
};

struct DonorSearch {
    const CatalogProduct *product;
    PieceList *list;
    int files[kMaxDonors];  // manifest indexes; donor d is files[d - 1]
    int count;
    SRWLOCK lock;
};

static int IsDonor(const ManifestFile *file, int k) {
    const ManifestFile *other = &g_manifest_files[k];
    return other != file && !other->needs_download && other->size >= kPieceListMinFileBytes;
}

static unsigned int DonorListCap(const ManifestFile *donor) {
    unsigned long long cap = kDonorHeaderBytes +
        (donor->size / kPieceMinBytes + 1) * (unsigned long long)kPieceRecordBytes;
    return cap < kMaxDocumentBytes ? (unsigned int)cap : (unsigned int)kMaxDocumentBytes;
}

// What a donor's list is likely to cost: pieces average about twice the
// smallest.
static unsigned long long DonorListCost(const ManifestFile *donor) {
    return 2ull * kListRequestCostBytes + kDonorHeaderBytes +
           (donor->size / (2ull * kPieceMinBytes) + 1) * kPieceRecordBytes;
}

static int HasDonor(const ManifestFile *file) {
    for (int k = 0; k < g_manifest_count; ++k)
        if (IsDonor(file, k)) return 1;
    return 0;
}

static int ChooseDonors(const ManifestFile *file, unsigned long long missing, DonorSearch *s) {
    const long long self = (long long)(file - g_manifest_files);
    if (self < 0 || self >= g_manifest_count) return 0;
    unsigned long long cost = 0;
    s->count = 0;
    for (long long step = 1; s->count < kMaxDonors &&
                             (self - step >= 0 || self + step < g_manifest_count); ++step)
        for (int side = 0; side < 2 && s->count < kMaxDonors; ++side) {
            long long k = side ? self + step : self - step;
            if (k < 0 || k >= g_manifest_count || !IsDonor(file, (int)k)) continue;
            const unsigned long long c = DonorListCost(&g_manifest_files[k]);
            if ((cost + c) * kDonorCostShare > missing) continue;  // a smaller one may still fit
            cost += c;
            s->files[s->count++] = (int)k;
        }
    return s->count;
}

// One donor's signed list, checked like the file's own, offered to the
// pieces still missing.
static int FetchDonorList(JobThreads *run, int k, TransferThread *) {
    DonorSearch *s = (DonorSearch *)run->context;
    const ManifestFile *donor = &g_manifest_files[s->files[k]];
    wchar_t url[1300];
    FileDownloadUrl(s->product, donor, url, 1300);
    if ((donor->url[0] != 0 && url[0] != L'/') || WideLength(url) + 8 >= 1300) return 1;
    WideAppend(url, L".pieces", 1300);
    char *body = NULL;
    unsigned int length = 0;
    if (!FetchSignedDocumentCapped(url, "\"pieces\"", DonorListCap(donor), &body, &length))
        return 1;
    PieceList theirs;
    FillZero(&theirs, sizeof(theirs));
    if (ReadPieceList(body, length, donor, &theirs)) {
        AcquireSRWLockExclusive(&s->lock);
        unsigned long long at = 0;
        for (unsigned int j = 0; j < theirs.count; ++j) {
            const unsigned int n = PieceLength(&theirs, j);
            OfferLocalPiece(s->list, 0, at, n, PieceDigest(&theirs, j), (unsigned char)(k + 1));
            at += n;
        }
        ReleaseSRWLockExclusive(&s->lock);
    }
    HeapFree(GetProcessHeap(), 0, body);
    return 1;
}

static void FetchDonorListDone(JobThreads *, int) {}

// Copies count bytes at offset of from to out's position and hashes them on
// the way; 1 when they are the piece.
static int CopyCheckedPiece(HANDLE from, HANDLE out, unsigned long long offset,
                            unsigned long long count, const unsigned char *digest,
                            unsigned char *buffer) {
    Sha256State hash;
    unsigned char got[kDigestBytes];
    if (!SeekTo(from, offset) || !Sha256Open(&hash)) return 0;
    int ok = CopyHashing(from, out, count, &hash, buffer) && Sha256Finish(&hash, got) &&
             SameDigest(got, digest);
    Sha256Close(&hash);
    return ok;
}

// Fills the pieces still missing from the product's other current files.
// Returns the bytes placed; a piece that could not be taken is left to fetch.
static unsigned long long TakeFromDonors(const CatalogProduct *product, const ManifestFile *file,
                                         PieceList *list, const unsigned long long *offsets,
                                         HANDLE out, unsigned char *buffer) {
    unsigned long long missing = 0;
    for (unsigned int i = 0; i < list->count; ++i)
        if (list->source[i] == kFetch) missing += PieceLength(list, i);
    DonorSearch s;
    FillZero(&s, sizeof(s));
    InitializeSRWLock(&s.lock);
    s.product = product;
    s.list = list;
    if (missing == 0 || !ChooseDonors(file, missing, &s)) return 0;
    {
        JobThreads pool;
        FillZero(&pool, sizeof(pool));
        pool.count = s.count;
        pool.threads = DownloadThreads() < kDonorListThreads ? DownloadThreads() : kDonorListThreads;
        pool.work = FetchDonorList;
        pool.done = FetchDonorListDone;
        pool.context = &s;
        RunJobThreads(&pool);
    }
    unsigned long long placed = 0;
    for (int d = 1; d <= s.count; ++d) {
        wchar_t path[kFilePathUnits];
        LocalFilePath(product, &g_manifest_files[s.files[d - 1]], path, kFilePathUnits);
        // Shared every way: a running game may hold it open, even for writing.
        HANDLE from = CreateFileW(path, GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
        for (unsigned int i = 0; i < list->count; ++i) {
            if (list->donor[i] != d || list->source[i] >= kStaged) continue;
            if (from != INVALID_HANDLE_VALUE && SeekTo(out, offsets[i]) &&
                CopyCheckedPiece(from, out, list->source[i], PieceLength(list, i),
                                 PieceDigest(list, i), buffer)) {
                placed += PieceLength(list, i);
            } else {
                list->source[i] = kFetch;
                list->donor[i] = 0;
            }
        }
        if (from != INVALID_HANDLE_VALUE) CloseHandle(from);
    }
    return placed;
}

enum { OBJECTS_STAGED = 1, OBJECTS_MISSING = 2, OBJECTS_FAILED = 3, OBJECTS_NOTHING_TO_REUSE = 4 };

// Stages the file from the pieces at hand (whole pieces already in the
// staged file from an earlier run, wherever they are in it; pieces of the
// installed copy) and the objects of the others. *not_expected: the bytes
// taken off the expected figure.
static int StageFromObjects(TransferThread *t, const CatalogProduct *product,
                            const ManifestFile *file, PieceList *list, const wchar_t *local,
                            const wchar_t *staged, HANDLE out, unsigned char *buffer,
                            unsigned long long *not_expected) {
    HANDLE heap = GetProcessHeap();
    unsigned long long *offsets =
        (unsigned long long *)HeapAlloc(heap, 0, sizeof(unsigned long long) * list->count);
    unsigned int *items = (unsigned int *)HeapAlloc(heap, 0, sizeof(unsigned int) * list->count);
    int outcome = OBJECTS_FAILED;
    unsigned long long kept = 0, reused = 0, have = 0, end = 0;
    unsigned int fetch = 0;
    int throttled = 0;
    HANDLE installed = INVALID_HANDLE_VALUE;
    ObjectFetch f;
    FillZero(&f, sizeof(f));
    LARGE_INTEGER size;
    have = GetFileSizeEx(out, &size) ? (unsigned long long)size.QuadPart : 0;
    // The reading and copying below is no transfer: time spent on it must
    // not become credit against the bandwidth limit.
    ThrottleEnd(&t->view);
    if (!offsets || !items) goto done;
    // The installed copy first: where its pieces are guides the search for
    // blocks. Of the pieces it lacks, what an earlier run staged stays,
    // wherever it is in the staged file.
    IndexLocalFile(local, list, 0, buffer);
    for (unsigned int i = 0; i < list->count; ++i) {
        offsets[i] = end;
        end += PieceLength(list, i);
        if (list->source[i] == kFetch && end <= have && SeekTo(out, offsets[i]) &&
            BytesMatch(out, PieceLength(list, i), PieceDigest(list, i), buffer)) {
            list->source[i] = kStaged;
            kept += PieceLength(list, i);
        }
    }
    // Then the product's other files, for what is still missing.
    reused = TakeFromDonors(product, file, list, offsets, out, buffer);
    installed = CreateFileW(local, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, NULL);
    // Every piece is checked as it is written (the installed copy's too, as
    // it is copied), so the assembled file needs no second reading: see
    // StageFromPieces. A piece the installed copy no longer holds is fetched.
    for (unsigned int i = 0; i < list->count; ++i) {
        if (list->source[i] != kFetch && list->source[i] != kStaged && list->donor[i] == 0) {
            if (installed == INVALID_HANDLE_VALUE || !SeekTo(out, offsets[i]))
                goto done;
            if (CopyCheckedPiece(installed, out, list->source[i], PieceLength(list, i),
                                 PieceDigest(list, i), buffer))
                reused += PieceLength(list, i);
            else
                list->source[i] = kFetch;
        }
        if (list->source[i] == kFetch) items[fetch++] = i;
    }
    if (reused == 0 && kept == 0) {
        outcome = OBJECTS_NOTHING_TO_REUSE;
        goto done;
    }
    ThrottleStart(&t->view);
    throttled = 1;
    AdjustExpectedBytes(-(long long)(kept + reused));
    f.list = list;
    f.offsets = offsets;
    f.items = items;
    f.staged = staged;
    f.local = local;
    f.local_size = installed != INVALID_HANDLE_VALUE ? GetFileSize64(local) : 0;
    {
        JobThreads pool;
        FillZero(&pool, sizeof(pool));
        pool.count = (int)fetch;
        pool.threads = DownloadThreads();
        pool.transfers = 1;
        pool.work = FetchPieceItem;
        pool.done = FetchPieceDone;
        pool.context = &f;
        if (!RunJobThreads(&pool) || TransfersStopped()) f.failed = 1;
    }
    t->counted += (unsigned long long)f.counted;  // already in the figures
    *not_expected = kept + reused + (unsigned long long)f.not_expected;
    // Staged only when every piece to fetch arrived and passed its check (a
    // stop skips the pieces not yet started).
    if (f.missing)
        outcome = OBJECTS_MISSING;
    else if (!f.failed && f.done == (LONG)fetch && SeekTo(out, end) && SetEndOfFile(out))
        outcome = OBJECTS_STAGED;
done:
    if (!throttled) ThrottleStart(&t->view);
    if (installed != INVALID_HANDLE_VALUE) CloseHandle(installed);
    if (offsets) HeapFree(heap, 0, offsets);
    if (items) HeapFree(heap, 0, items);
    return outcome;
}

int StageFromPieces(const CatalogProduct *product, const ManifestFile *file, const wchar_t *url,
                    const wchar_t *staged, TransferThread *t) {
    if (file->size < kPieceListMinFileBytes) return PIECES_NOT_USED;
    wchar_t local[kFilePathUnits];
    LocalFilePath(product, file, local, kFilePathUnits);
    // A first install has nothing to reuse: no list is worth asking for. A
    // new file may still share pieces with the product's current files.
    if (!FileExists(local) && !FileExists(staged) && !HasDonor(file)) return PIECES_NOT_USED;
    wchar_t list_url[1300];
    WideCopy(list_url, url, 1300);
    if (WideLength(url) + 8 >= 1300) return PIECES_NOT_USED;
    WideAppend(list_url, L".pieces", 1300);
    char *body = NULL;
    unsigned int length = 0;
    if (!FetchSignedDocument(list_url, "\"pieces\"", &body, &length)) {
        LogLine("Piece list unavailable; downloading the whole file");
        return PIECES_NOT_USED;
    }
    HANDLE heap = GetProcessHeap();
    PieceList list;
    FillZero(&list, sizeof(list));
    unsigned char *buffer = (unsigned char *)HeapAlloc(heap, 0, kTransferBufferBytes);
    HANDLE out = INVALID_HANDLE_VALUE;
    int outcome = PIECES_NOT_USED;
    unsigned long long kept = 0, reused = 0, to_fetch = 0;
    const unsigned long long counted_before = t->counted;
    unsigned int first = 0;
    if (!ReadPieceList(body, length, file, &list)) {
        LogLine("Piece list does not describe this file; downloading the whole file");
        goto done;
    }
    if (!buffer || !AllocateTables(&list)) goto done;

    CreateParentDirectory(staged);
    // Shared for writing: the pieces of the file arrive on several threads.
    out = CreateFileW(staged, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (out == INVALID_HANDLE_VALUE) goto done;
    if (list.objects[0]) {
        unsigned long long not_expected = 0;
        int staged_from = StageFromObjects(t, product, file, &list, local, staged, out, buffer,
                                           &not_expected);
        // No second reading of the whole file: each piece was checked against
        // its SHA-256 in the signed list as it was written, and the list is
        // bound to this file (the manifest's SHA-256 and size, pieces that
        // add up to the size). A file made of those pieces in that order is
        // the file the manifest names, unless SHA-256 itself is broken.
        if (staged_from == OBJECTS_STAGED) {
            outcome = PIECES_STAGED;
            goto done;
        }
        if (staged_from == OBJECTS_NOTHING_TO_REUSE) goto done;
        if (staged_from == OBJECTS_FAILED) {
            outcome = PIECES_FAILED;
            goto done;
        }
        // Like a missing list: the file comes whole, from a clean start.
        LogLine("Piece object missing; downloading the whole file");
        AdjustExpectedBytes((long long)not_expected);
        CountTransferBytes(t, -(long long)(t->counted - counted_before));
        CloseHandle(out);
        out = INVALID_HANDLE_VALUE;
        DeleteFileW(staged);
        goto done;
    }
    first = KeepStagedPrefix(out, &list, &kept, buffer);
    if (first > list.count) {
        outcome = PIECES_FAILED;
        goto done;
    }
    IndexLocalFile(local, &list, first, buffer);
    for (unsigned int i = first; i < list.count; ++i) {
        if (list.source[i] == kFetch)
            to_fetch += PieceLength(&list, i);
        else
            reused += PieceLength(&list, i);
    }
    if (reused == 0 && kept == 0) goto done;  // nothing to reuse: one plain request is cheapest
    // The figures count only what still travels.
    AdjustExpectedBytes(-(long long)(kept + reused));
    {
        int result = AssemblePieces(t, url, local, out, &list, first, kept, buffer);
        if (result == RANGE_IGNORED) {
            LogLine("Host ignored the range request; downloading the whole file");
            AdjustExpectedBytes((long long)(kept + reused));
            CountTransferBytes(t, -(long long)(t->counted - counted_before));
            goto done;
        }
        if (result != RANGE_DONE) {
            outcome = PIECES_FAILED;
            goto done;
        }
    }
    // Ranges of the whole file carry no check of their own: the assembled
    // file is hashed whole.
    CloseHandle(out);
    out = INVALID_HANDLE_VALUE;
    {
        unsigned char digest[kDigestBytes];
        if (Sha256File(staged, digest) && DigestMatchesHex(digest, file->sha256)) {
            outcome = PIECES_STAGED;
            goto done;
        }
    }
    DeleteFileW(staged);
    LogLine("Assembled file failed SHA-256; fetching the whole file once");
    AdjustExpectedBytes((long long)(kept + reused));
    CountTransferBytes(t, -(long long)(t->counted - counted_before));
    outcome = PIECES_MISMATCH;
done:
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    FreeTables(&list);
    if (buffer) HeapFree(heap, 0, buffer);
    HeapFree(heap, 0, body);
    return outcome;
}
