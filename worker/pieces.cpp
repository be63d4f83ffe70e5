// A changed large file is staged from the pieces that are already on disk and
// ranged fetches of the others. The signed piece list names each piece's
// length and SHA-256; the installed copy is cut by the same content-defined
// rule, so an insertion or a damaged stretch costs only the pieces around it.
// Whatever is assembled, the whole-file SHA-256 of the manifest decides.
//
// Memory: the list (at most the document cap), 8 bytes per piece for where
// each comes from and at most 16 bytes per piece for the digest index, one
// 64 KiB buffer: bounded by the list, whatever the file's size.
#include "pieces.h"

#include "json.h"
#include "piece_cut.h"
#include "runtime.h"
#include "transport.h"
#include "worker.h"

static const unsigned long long kFetch = ~0ull;  // piece comes from the host

struct PieceList {
    const unsigned char *records;  // kPieceRecordBytes each
    unsigned int count;
    unsigned long long *source;    // offset in the installed file, or kFetch
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

static int SameDigest(const unsigned char *a, const unsigned char *b) {
    for (int k = 0; k < kDigestBytes; ++k)
        if (a[k] != b[k]) return 0;
    return 1;
}

static unsigned int DigestSlot(const unsigned char *digest, unsigned int mask) {
    return ((unsigned int)digest[0] | (unsigned int)digest[1] << 8 | (unsigned int)digest[2] << 16 |
            (unsigned int)digest[3] << 24) & mask;
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
    if (!list->source || !list->index) return 0;
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
    list->source = NULL;
    list->index = NULL;
}

// A local copy whose first 32 MiB match no listed piece was replaced, not
// changed: reading the rest of it would only delay the whole download.
static const unsigned long long kReplacedProbeBytes = 32ull * 1024 * 1024;

// A local piece at offset serves every listed piece (from `first` on) with the
// same length and digest. Returns how many it serves.
static unsigned int OfferLocalPiece(PieceList *list, unsigned int first, unsigned long long offset,
                                    unsigned long long length, const unsigned char *digest) {
    unsigned int served = 0;
    for (unsigned int slot = DigestSlot(digest, list->index_mask); list->index[slot];
         slot = (slot + 1) & list->index_mask) {
        unsigned int i = list->index[slot] - 1;
        if (i >= first && list->source[i] == kFetch && PieceLength(list, i) == length &&
            SameDigest(PieceDigest(list, i), digest)) {
            list->source[i] = offset;
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

int StageFromPieces(const CatalogProduct *product, const ManifestFile *file, const wchar_t *url,
                    const wchar_t *staged, TransferThread *t) {
    if (file->size < kPieceListMinFileBytes) return PIECES_NOT_USED;
    wchar_t local[kFilePathUnits];
    LocalFilePath(product, file, local, kFilePathUnits);
    // A first install has nothing to reuse: no list is worth asking for.
    if (!FileExists(local) && !FileExists(staged)) return PIECES_NOT_USED;
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
    out = CreateFileW(staged, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL, NULL);
    if (out == INVALID_HANDLE_VALUE) goto done;
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
