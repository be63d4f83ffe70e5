// Packs of small files: the index is read once per job, the picked packs are
// fetched on the transfer threads like files, and each pack's bytes are cut
// into the staged files of its members.
#include "packs.h"

#include "json.h"
#include "pack_format.h"
#include "transport.h"
#include "runtime.h"
#include "worker.h"

struct PickedPack {
    const unsigned char *digest;      // into the index
    unsigned long long size;
    unsigned int first_member;        // index of its first member record
    unsigned int members;
};

static char *g_index;
static unsigned char *g_member_records;  // into g_index
static PickedPack *g_picked;
static int g_picked_count;
static int *g_member_file;               // per member record: manifest file, or -1
static unsigned char *g_member_staged;   // per member record
static int *g_file_pack;                 // per manifest file: picked pack, or -1

void FreePacks(void) {
    HANDLE heap = GetProcessHeap();
    if (g_index) HeapFree(heap, 0, g_index);
    if (g_picked) HeapFree(heap, 0, g_picked);
    if (g_member_file) HeapFree(heap, 0, g_member_file);
    if (g_member_staged) HeapFree(heap, 0, g_member_staged);
    if (g_file_pack) HeapFree(heap, 0, g_file_pack);
    g_index = NULL;
    g_member_records = NULL;
    g_picked = NULL;
    g_member_file = NULL;
    g_member_staged = NULL;
    g_file_pack = NULL;
    g_picked_count = 0;
}

static unsigned long long Little(const unsigned char *p, int bytes) {
    unsigned long long value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = value << 8 | p[i];
    return value;
}

// The index must add up: its length, each pack's member count and the sum
// of its members' sizes; a pack larger than the cap is never fetched.
static int IndexAddsUp(const char *body, unsigned int length, unsigned int header,
                       unsigned long long packs, unsigned long long members) {
    const unsigned long long records = (unsigned long long)length - header - 1;
    if (packs == 0 || members < packs || members > (unsigned long long)kMaxManifestFiles ||
        records != packs * kPackRecordBytes + members * kPackMemberRecordBytes)
        return 0;
    const unsigned char *pack = (const unsigned char *)body + header + 1;
    const unsigned char *member = pack + packs * kPackRecordBytes;
    unsigned long long seen = 0;
    for (unsigned long long p = 0; p < packs; ++p, pack += kPackRecordBytes) {
        const unsigned long long size = Little(pack + 32, 8);
        const unsigned long long count = Little(pack + 40, 4);
        if (count == 0 || count > members - seen || size > kPackMaxBytes) return 0;
        unsigned long long sum = 0;
        for (unsigned long long i = 0; i < count; ++i, member += kPackMemberRecordBytes)
            sum += Little(member + 32, 8);
        if (sum != size) return 0;
        seen += count;
    }
    return seen == members;
}

// The manifest files that still need their bytes, by digest: open addressing,
// file + 1 in each used slot.
static unsigned int *IndexNeededFiles(unsigned int *mask, unsigned char (**digests)[kDigestBytes]) {
    unsigned int slots = 1;
    while (slots < 2u * (unsigned int)g_manifest_count) slots <<= 1;
    HANDLE heap = GetProcessHeap();
    unsigned int *table = (unsigned int *)HeapAlloc(heap, HEAP_ZERO_MEMORY, sizeof(unsigned int) * slots);
    *digests = (unsigned char (*)[kDigestBytes])HeapAlloc(
        heap, 0, (SIZE_T)kDigestBytes * (g_manifest_count > 0 ? g_manifest_count : 1));
    if (!table || !*digests) {
        if (table) HeapFree(heap, 0, table);
        if (*digests) HeapFree(heap, 0, *digests);
        *digests = NULL;
        return NULL;
    }
    *mask = slots - 1;
    for (int k = 0; k < g_manifest_count; ++k) {
        const ManifestFile *file = &g_manifest_files[k];
        if (!file->needs_download || file->size > kPackMemberMaxBytes ||
            !DigestFromHex(file->sha256, (*digests)[k]))
            continue;
        unsigned int at = DigestSlot((*digests)[k], *mask);
        while (table[at]) at = (at + 1) & *mask;
        table[at] = (unsigned int)k + 1;
    }
    return table;
}

int PlanPacks(const CatalogProduct *product) {
    FreePacks();
    // The index costs two requests and a member record per small file of
    // the product: it is asked for only when the small files to fetch are
    // more bytes than that (a first install, a large repair), not for an
    // update of a few small files of a large product.
    unsigned long long small = 0, wanted = 0, wanted_bytes = 0;
    for (int k = 0; k < g_manifest_count; ++k) {
        const ManifestFile *file = &g_manifest_files[k];
        if (file->size > kPackMemberMaxBytes) continue;
        ++small;
        if (file->needs_download) ++wanted, wanted_bytes += file->size;
    }
    if (wanted < 2 || wanted_bytes < small * kPackMemberRecordBytes) return 0;
    wchar_t url[620];
    WideCopy(url, product->manifest_path, 600);
    WideAppend(url, L"" PACK_INDEX_SUFFIX, 620);
    unsigned int length = 0;
    if (!FetchSignedDocument(url, "\"packs\"", &g_index, &length)) return 0;

    unsigned int header = 0;
    while (header < length && header < 1024 && g_index[header] != '\n') ++header;
    unsigned long long packs = 0, members = 0;
    if (header >= length || g_index[header] != '\n' ||
        !JsonGetNumber(g_index, 0, header, "packs", &packs) ||
        !JsonGetNumber(g_index, 0, header, "members", &members) ||
        !IndexAddsUp(g_index, length, header, packs, members)) {
        LogLine("Pack index does not add up; files fetched one by one");
        FreePacks();
        return 0;
    }
    const unsigned char *pack_records = (const unsigned char *)g_index + header + 1;
    g_member_records = (unsigned char *)g_index + header + 1 + packs * kPackRecordBytes;

    HANDLE heap = GetProcessHeap();
    unsigned int mask = 0;
    unsigned char (*digests)[kDigestBytes] = NULL;
    unsigned int *table = IndexNeededFiles(&mask, &digests);
    g_picked = (PickedPack *)HeapAlloc(heap, 0, sizeof(PickedPack) * (SIZE_T)packs);
    g_member_file = (int *)HeapAlloc(heap, 0, sizeof(int) * (SIZE_T)members);
    g_member_staged = (unsigned char *)HeapAlloc(heap, HEAP_ZERO_MEMORY, (SIZE_T)members);
    g_file_pack = (int *)HeapAlloc(heap, 0, sizeof(int) * (SIZE_T)(g_manifest_count + 1));
    if (!table || !g_picked || !g_member_file || !g_member_staged || !g_file_pack) {
        if (table) HeapFree(heap, 0, table);
        if (digests) HeapFree(heap, 0, digests);
        FreePacks();
        return 0;
    }
    for (int k = 0; k < g_manifest_count; ++k) g_file_pack[k] = -1;
    // Each member takes a needed file with its digest and size that no member
    // took yet. A pack is worth its request when the job needs at least half
    // of its bytes (a first install or a large repair); for a few files of it
    // the files themselves are cheaper.
    unsigned int member = 0;
    for (unsigned long long p = 0; p < packs; ++p) {
        const unsigned char *record = pack_records + p * kPackRecordBytes;
        PickedPack *picked = &g_picked[g_picked_count];
        picked->digest = record;
        picked->size = Little(record + 32, 8);
        picked->first_member = member;
        picked->members = (unsigned int)Little(record + 40, 4);
        unsigned long long wanted_bytes = 0;
        unsigned int wanted = 0;
        for (unsigned int i = 0; i < picked->members; ++i) {
            const unsigned char *m = g_member_records + (unsigned long long)(member + i) * kPackMemberRecordBytes;
            const unsigned long long size = Little(m + 32, 8);
            g_member_file[member + i] = -1;
            for (unsigned int at = DigestSlot(m, mask); table[at]; at = (at + 1) & mask) {
                const int k = (int)table[at] - 1;
                if (g_file_pack[k] >= 0 || g_manifest_files[k].size != size ||
                    !SameDigest(digests[k], m))
                    continue;
                g_file_pack[k] = g_picked_count;
                g_member_file[member + i] = k;
                wanted_bytes += size;
                ++wanted;
                break;
            }
        }
        // Two packs of the same bytes would share one ".part": the second
        // one's files travel alone.
        int twin = 0;
        for (int q = 0; q < g_picked_count && !twin; ++q) twin = SameDigest(g_picked[q].digest, record);
        if (wanted >= 2 && wanted_bytes * 2 >= picked->size && !twin) {
            ++g_picked_count;
        } else {
            for (unsigned int i = 0; i < picked->members; ++i) {
                if (g_member_file[member + i] >= 0) g_file_pack[g_member_file[member + i]] = -1;
                g_member_file[member + i] = -1;
            }
        }
        member += picked->members;
    }
    HeapFree(heap, 0, table);
    HeapFree(heap, 0, digests);
    return g_picked_count;
}

int PackOfFile(int k) { return g_file_pack && k >= 0 && k < g_manifest_count ? g_file_pack[k] : -1; }

unsigned int PackMemberCount(int pack) { return g_picked[pack].members; }

int PackMemberFile(int pack, unsigned int i) { return g_member_file[g_picked[pack].first_member + i]; }

int PackMemberStaged(int pack, unsigned int i) {
    return g_member_staged[g_picked[pack].first_member + i];
}

// <install dir>\.orvelant-staging\.packs\<product id>\<sha256>.part: product
// ids never start with a dot, so no product's staged files meet it.
static void PackPaths(const CatalogProduct *product, const PickedPack *pack, wchar_t *part,
                      wchar_t *url) {
    static const wchar_t kHex[] = L"0123456789abcdef";
    wchar_t hex[2 * kDigestBytes + 1];
    for (int i = 0; i < kDigestBytes; ++i) {
        hex[2 * i] = kHex[pack->digest[i] >> 4];
        hex[2 * i + 1] = kHex[pack->digest[i] & 15];
    }
    hex[2 * kDigestBytes] = 0;
    InstallPath(L".orvelant-staging\\.packs\\", part, kFilePathUnits);
    WideAppend(part, product->id, kFilePathUnits);
    WideAppend(part, L"\\", kFilePathUnits);
    WideAppend(part, hex, kFilePathUnits);
    WideAppend(part, L".part", kFilePathUnits);
    const wchar_t folder[4] = {hex[0], hex[1], L'/', 0};
    WideCopy(url, L"" PACK_ROOT, 128);
    WideAppend(url, folder, 128);
    WideAppend(url, hex, 128);
}

// A file staged by an earlier run (its pack was cut, then the job stopped).
static int AlreadyStaged(const CatalogProduct *product, const ManifestFile *file) {
    wchar_t staged[kFilePathUnits];
    StagedFilePath(product, file, staged, kFilePathUnits);
    unsigned char digest[kDigestBytes];
    return FileExists(staged) && GetFileSize64(staged) == file->size && Sha256File(staged, digest) &&
           DigestMatchesHex(digest, file->sha256);
}

// Writes count bytes of the pack to the staged file, hashing them; 1 when
// they are the file's signed bytes and on disk.
static int CutMember(HANDLE pack, unsigned long long count, const wchar_t *staged,
                     const ManifestFile *file, unsigned char *buffer) {
    CreateParentDirectory(staged);
    HANDLE out = CreateFileW(staged, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    Sha256State hash;
    int ok = out != INVALID_HANDLE_VALUE && Sha256Open(&hash);
    ok = ok && CopyHashing(pack, out, count, &hash, buffer);
    unsigned char digest[kDigestBytes];
    ok = ok && Sha256Finish(&hash, digest) && DigestMatchesHex(digest, file->sha256) &&
         FlushFileBuffers(out);
    if (out != INVALID_HANDLE_VALUE) {
        Sha256Close(&hash);
        CloseHandle(out);
    }
    if (!ok) DeleteFileW(staged);
    return ok;
}

// Cuts the checked pack into the members' staged files. 1 when every member
// the job takes from it is staged.
static int CutPack(const CatalogProduct *product, const PickedPack *pack, const wchar_t *part,
                   unsigned char *buffer) {
    HANDLE in = CreateFileW(part, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    if (in == INVALID_HANDLE_VALUE) return 0;
    int all = 1;
    unsigned long long offset = 0;
    for (unsigned int i = 0; i < pack->members; ++i) {
        const unsigned int m = pack->first_member + i;
        const unsigned long long size =
            Little(g_member_records + (unsigned long long)m * kPackMemberRecordBytes + 32, 8);
        const int k = g_member_file[m];
        if (k >= 0 && !g_member_staged[m]) {
            LARGE_INTEGER at;
            at.QuadPart = (LONGLONG)offset;
            wchar_t staged[kFilePathUnits];
            StagedFilePath(product, &g_manifest_files[k], staged, kFilePathUnits);
            if (SetFilePointerEx(in, at, NULL, FILE_BEGIN) &&
                CutMember(in, size, staged, &g_manifest_files[k], buffer)) {
                g_member_staged[m] = 1;
                g_manifest_files[k].flushed = 1;
            } else {
                all = 0;
            }
        }
        offset += size;
    }
    CloseHandle(in);
    return all;
}

int StagePack(const CatalogProduct *product, int index, TransferThread *t) {
    const PickedPack *pack = &g_picked[index];
    unsigned long long left_bytes = 0;
    for (unsigned int i = 0; i < pack->members; ++i) {
        const unsigned int m = pack->first_member + i;
        const int k = g_member_file[m];
        if (k < 0) continue;
        if (AlreadyStaged(product, &g_manifest_files[k])) {
            g_member_staged[m] = 1;
            CountTransferBytes(t, (long long)g_manifest_files[k].size);
        } else {
            left_bytes += g_manifest_files[k].size;
        }
    }
    wchar_t part[kFilePathUnits];
    wchar_t url[128];
    PackPaths(product, pack, part, url);
    if (left_bytes == 0) {
        DeleteFileW(part);  // cut before the job stopped
        return PACK_STAGED;
    }
    // The pack travels instead of its files: the figures count its bytes.
    AdjustExpectedBytes((long long)(pack->size - left_bytes));
    const unsigned long long counted_before = t->counted;
    int faults = 0;
    for (int attempt = 0; attempt < 2;) {
        const unsigned long long attempt_counted = t->counted;
        const int resumed = FileExists(part) && GetFileSize64(part) > 0;
        int got = DownloadToFileOn(t, url, part, pack->size);
        if (got == DOWNLOAD_RETRY && faults < kTransferRetries && !TransfersStopped()) {
            LogLine("Download interrupted; asking again");
            // The next attempt counts the bytes on disk again as it resumes.
            CountTransferBytes(t, -(long long)(t->counted - attempt_counted));
            RetryBackoff(faults++);
            continue;
        }
        if (got != DOWNLOAD_DONE) {
            if (TransfersStopped()) return PACK_FAILED;  // the ".part" stays for the next run
            LogLine("Pack unavailable; fetching its files one by one");
            break;
        }
        unsigned char digest[kDigestBytes];
        if (Sha256File(part, digest) && SameDigest(digest, pack->digest)) {
            int all = CutPack(product, pack, part, t->buffer);
            DeleteFileW(part);
            if (all) return PACK_STAGED;
            LogLine("Pack member failed SHA-256; fetching it alone");
            break;
        }
        DeleteFileW(part);
        if (!resumed || attempt > 0) {
            LogLine("Pack failed SHA-256; fetching its files one by one");
            break;
        }
        LogLine("Resumed pack failed SHA-256; downloading it again");
        CountTransferBytes(t, -(long long)(t->counted - attempt_counted));
        ++attempt;
    }
    DeleteFileW(part);
    // Back to the files' own figures.
    AdjustExpectedBytes(-(long long)(pack->size - left_bytes));
    CountTransferBytes(t, -(long long)(t->counted - counted_before));
    return PACK_FALLBACK;
}
