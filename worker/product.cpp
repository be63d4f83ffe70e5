// Product job: install, verify, repair or update one product by one
// procedure: obtain the signed manifest (the kept copy when the host says it
// has not changed), verify the local files (a repair hashes every one; other
// jobs hash only the files whose state differs from the record of their last
// verification), download what differs into the staging area, check each
// download, then commit with backups and roll back on failure. Success is
// sealed by the known-good marker and version.json.
#include "catalog.h"
#include "file_states.h"
#include "freshness.h"
#include "job_threads.h"
#include "manifest.h"
#include "packs.h"
#include "pieces.h"
#include "runtime.h"
#include "segments.h"
#include "settings.h"
#include "transport.h"
#include "worker.h"

static const char kMarkerBytes[] = "ok\r\n";

static void MarkerPath(const CatalogProduct *product, wchar_t *dst, unsigned int capacity) {
    wchar_t dir[1200];
    ProductDirectory(product, dir, 1200);
    JoinPath(dir, L".orvelant-known-good", dst, capacity);
}

// The file of the product folder that could not be written last, and why.
static wchar_t g_seal_failed_path[1300];
static DWORD g_seal_failed_error;

// One file of the seal: written beside it, flushed, renamed over it, so a
// power cut leaves the old file or the new one and never an empty one.
static int WriteSealFile(const wchar_t *dir, const wchar_t *name, const wchar_t *temporary_name,
                         const char *bytes, unsigned int length) {
    wchar_t path[1300];
    wchar_t temporary[1300];
    JoinPath(dir, name, path, 1300);
    JoinPath(dir, temporary_name, temporary, 1300);
    if (ReplaceFileWithBytes(path, temporary, bytes, length)) return 1;
    g_seal_failed_error = GetLastError();
    WideCopy(g_seal_failed_path, path, 1300);
    return 0;
}

static int WriteMarker(const CatalogProduct *product) {
    wchar_t dir[1200];
    ProductDirectory(product, dir, 1200);
    return WriteSealFile(dir, L".orvelant-known-good", L".orvelant-known-good.new", kMarkerBytes,
                         4);
}

// Writes the marker and version.json; the version loses every double quote
// and backslash (nothing is escaped).
int WriteKnownGood(const CatalogProduct *product, const char *version) {
    wchar_t dir[1200];
    ProductDirectory(product, dir, 1200);
    CreateDirectoryTree(dir);
    if (!WriteMarker(product)) return 0;

    char bytes[160];
    unsigned int n = 0;
    const char *head = "{\r\n  \"version\": \"";
    for (const char *p = head; *p; ++p) bytes[n++] = *p;
    for (const char *p = version; *p && n < 120; ++p)
        if (*p != '"' && *p != '\\') bytes[n++] = *p;
    const char *tail = "\"\r\n}\r\n";
    for (const char *p = tail; *p; ++p) bytes[n++] = *p;
    return WriteSealFile(dir, L"version.json", L".orvelant-version.new", bytes, n);
}

static int Percent(int base, int span, int k, int n) {
    return base + (int)((long long)span * k / n);
}

// A manifest within the first 256 files posts every per-file step. A longer
// one posts a step at most every 300 ms, and always the one that ends its
// phase: 100,000 files must not flood the Shell's message queue (which holds
// 10,000 posts) with steps nobody can see.
enum { kEveryStepFiles = 256 };
static unsigned long long g_last_step_tick;

static void PostFileStep(int code, int percent, int count, int ends_phase) {
    if (count > kEveryStepFiles && !ends_phase) {
        unsigned long long now = GetTickCount64();
        if (now - g_last_step_tick < 300) return;
        g_last_step_tick = now;
    }
    PostWorkerStatus(code, percent);
}

// Nothing staged for a product is of use once it is current: the parts of
// packs, records of ranges and parts of files a release dropped go too.
static void SweepStaging(const CatalogProduct *product) {
    if (product->id[0] == 0) return;
    const wchar_t *areas[2] = {L".orvelant-staging\\", L".orvelant-staging\\.packs\\"};
    for (int a = 0; a < 2; ++a) {
        wchar_t dir[1200];
        InstallPath(areas[a], dir, 1200);
        WideAppend(dir, product->id, 1200);
        DeleteTree(dir);
    }
}

static int StagedFileMatches(const wchar_t *staged, const ManifestFile *file) {
    unsigned char digest[kDigestBytes];
    return Sha256File(staged, digest) && DigestMatchesHex(digest, file->sha256);
}

// Downloads one file into the staging area and checks it, on a transfer
// thread: the check of an arrived file runs while the other threads go on
// downloading. A fault that may pass (a dropped connection, a cut body, a
// 5xx, a timeout) is asked for again a few times with a growing pause, from
// the bytes already in the ".part". A resumed ".part" that fails its check
// may be left over from an older release: it is downloaded once more from
// zero before the file counts as failed. A checked file is flushed here,
// while the other threads wait on the network, rather than one file after
// another in the commit.
static int StageFile(const CatalogProduct *product, ManifestFile *file, TransferThread *t) {
    wchar_t url[1200];
    wchar_t staged[kFilePathUnits];
    FileDownloadUrl(product, file, url, 1200);
    if (file->url[0] != 0 && url[0] != L'/') {
        LogLine("File URL rejected; must be host-relative");
        return 0;
    }
    StagedFilePath(product, file, staged, kFilePathUnits);
    // A large file is first built from the pieces already here; whatever
    // that cannot do ends in the whole-file download below.
    int pieces = StageFromPieces(product, file, url, staged, t);
    if (pieces == PIECES_STAGED) return 1;
    if (pieces == PIECES_FAILED) {
        if (TransfersStopped()) return 0;  // another file's failure stopped it: that one is logged
        DWORD error = GetLastError();
        LogLine("Download interrupted; .part retained for resume");
        LogFailedStep("Download failed", error, url, NULL);
        return 0;
    }
    int faults = 0;
    for (int attempt = 0; attempt < 2;) {
        unsigned long long counted_before = t->counted;
        int resumed = FileExists(staged) && GetFileSize64(staged) > 0;
        int got = DownloadToFileOn(t, url, staged, file->size);
        if (got == DOWNLOAD_RETRY && faults < kTransferRetries && !TransfersStopped()) {
            LogLine("Download interrupted; asking again");
            // The next attempt counts the bytes on disk again as it resumes.
            CountTransferBytes(t, -(long long)(t->counted - counted_before));
            RetryBackoff(faults++);
            continue;
        }
        if (got != DOWNLOAD_DONE) {
            if (!TransfersStopped()) {
                DWORD error = GetLastError();
                LogLine("Download interrupted; .part retained for resume");
                LogFailedStep("Download failed", error, url, NULL);
            }
            return 0;
        }
        if (StagedFileMatches(staged, file)) {
            file->flushed = FlushFileToDisk(staged) ? 1 : 0;
            return 1;
        }
        DeleteFileW(staged);
        if (!resumed || attempt > 0) break;
        LogLine("Resumed staged file failed SHA-256; downloading it again");
        CountTransferBytes(t, -(long long)(t->counted - counted_before));
        ++attempt;
    }
    LogLine("Staged SHA-256 mismatch");
    return 0;
}

// The verify and download phases run on a pool of threads; what they post
// and count is reported in manifest order (see job_threads.h).
struct ProductRun {
    const CatalogProduct *product;
    int count;
    int n;
    int to_download;
    // The download items: one per file, or one per segment of a large file
    // that travels in segments, the segments spread among the other files
    // (see PlanDownloadItems).
    int *item_file;
    unsigned int *item_segment;
    unsigned int *segments;     // per file: its segments, 0 when it travels whole
    SegmentedFile *segmented;   // per file
    unsigned int *items_left;   // per file: its items not yet done
    int next_step;              // the first file whose step is not posted yet
    int packs;                  // picked packs: the first items, item_file -1 - pack
};

static int VerifyItem(JobThreads *run, int k, TransferThread *) {
    ProductRun *job = (ProductRun *)run->context;
    ManifestFile *file = &g_manifest_files[k];
    wchar_t local[kFilePathUnits];
    LocalFilePath(job->product, file, local, kFilePathUnits);
    // What the file system says first, then the bytes: a file that changes
    // while it is hashed leaves a state the record will not match.
    FileState state;
    if (!ReadFileState(local, &state)) {
        file->needs_download = 1;  // missing, or a folder in its place
        return 1;
    }
    // Outside a repair, a file still exactly as recorded when it was last
    // verified is not read again: it matches, or (a file this release
    // changed) it is known not to.
    const int recorded = g_command.repair ? STATE_UNKNOWN : RecordedFileState(k, &state);
    if (recorded != STATE_UNKNOWN) {
        file->needs_download = recorded == STATE_DIFFERS;
        if (recorded == STATE_MATCHES) NoteFileState(k, &state, STATE_VOUCHED);
        return 1;
    }
    unsigned char digest[kDigestBytes];
    // One of another size than the signed one is not read at all (an update
    // that grows a large file).
    const int hashed = file->size > 0 ? Sha256FileOfSize(local, file->size, digest)
                                      : Sha256File(local, digest);
    file->needs_download = !(hashed && DigestMatchesHex(digest, file->sha256));
    if (!file->needs_download) NoteFileState(k, &state, STATE_HASHED);
    return 1;
}

// The verify's hand-out order: the large files first, largest first, so
// that a large file's hash (which only one thread can do) starts at once and
// the small files fill the other threads around it, instead of one thread
// hashing it alone at the end. The small files keep manifest order (folder
// by folder, as they lie on disk). 4 bytes per file, no other memory.
static const unsigned long long kVerifyLargeBytes = 8ull * 1024 * 1024;

// Heap sort of order[0 .. end) by size, the smallest at the heap's root, so
// the sorted run comes out largest first.
static void SiftDown(int *order, int root, int end) {
    for (;;) {
        int child = 2 * root + 1;
        if (child >= end) return;
        if (child + 1 < end &&
            g_manifest_files[order[child + 1]].size < g_manifest_files[order[child]].size)
            ++child;
        if (g_manifest_files[order[root]].size <= g_manifest_files[order[child]].size) return;
        int swap = order[root];
        order[root] = order[child];
        order[child] = swap;
        root = child;
    }
}

static int *LargestFirst(int count) {
    int *order = (int *)HeapAlloc(GetProcessHeap(), 0, (SIZE_T)(count > 0 ? count : 1) * sizeof(int));
    if (!order) return NULL;
    int large = 0;
    for (int k = 0; k < count; ++k)
        if (g_manifest_files[k].size >= kVerifyLargeBytes) order[large++] = k;
    int at = large;
    for (int k = 0; k < count; ++k)
        if (g_manifest_files[k].size < kVerifyLargeBytes) order[at++] = k;
    for (int k = large / 2 - 1; k >= 0; --k) SiftDown(order, k, large);
    for (int end = large - 1; end > 0; --end) {
        int swap = order[0];
        order[0] = order[end];
        order[end] = swap;
        SiftDown(order, 0, end);
    }
    return order;
}

static void VerifyItemDone(JobThreads *run, int k) {
    ProductRun *job = (ProductRun *)run->context;
    ManifestFile *file = &g_manifest_files[k];
    if (file->needs_download) {
        ++job->to_download;
        g_transfer.expected_bytes += file->size;
    }
    PostFileStep(PRODUCT_VERIFYING, Percent(10, 25, k + 1, job->n), job->count, k + 1 == job->count);
}

// A pack that is missing or wrong leaves its files to travel one by one.
static int DownloadPack(ProductRun *job, int pack, TransferThread *t) {
    int staged = StagePack(job->product, pack, t);
    for (unsigned int i = 0; staged == PACK_FALLBACK && i < PackMemberCount(pack); ++i) {
        const int k = PackMemberFile(pack, i);
        if (k >= 0 && !PackMemberStaged(pack, i) && !StageFile(job->product, &g_manifest_files[k], t))
            return 0;
    }
    return staged != PACK_FAILED;
}

static int DownloadItem(JobThreads *run, int item, TransferThread *t) {
    ProductRun *job = (ProductRun *)run->context;
    const int k = job->item_file[item];
    if (k < 0) return DownloadPack(job, -1 - k, t);
    if (job->segments[k] > 0)
        return StageSegment(job->product, &g_manifest_files[k], job->item_segment[item],
                            &job->segmented[k], t);
    return StageFile(job->product, &g_manifest_files[k], t);
}

// Files' steps are posted in manifest order: each once the file and every
// file before it are staged.
static void DownloadItemDone(JobThreads *run, int item) {
    ProductRun *job = (ProductRun *)run->context;
    const int pack = -1 - job->item_file[item];
    for (unsigned int i = 0; pack >= 0 && i < PackMemberCount(pack); ++i)
        if (PackMemberFile(pack, i) >= 0) --job->items_left[PackMemberFile(pack, i)];
    if (pack < 0) --job->items_left[job->item_file[item]];
    while (job->next_step < job->count) {
        const int k = job->next_step;
        if (g_manifest_files[k].needs_download) {
            if (job->items_left[k] > 0) break;
            PostFileStep(PRODUCT_TRANSFER, Percent(36, 44, k + 1, job->n), job->count, 0);
        }
        ++job->next_step;
    }
}

// Lays out the download items (see ProductRun). A segment fills a link with
// its bytes, a small file waits a round trip for few: the segments are
// spread evenly among the other files, the first one right at the start, so
// that about one segment streams while the other requests fetch small files
// (and all remaining segments run side by side once the others are done).
// Memory: 20 bytes per file and 8 per item, from the process heap; freed by
// FreeDownloadItems.
static int PlanDownloadItems(ProductRun *job, int *items) {
    HANDLE heap = GetProcessHeap();
    const SIZE_T files = (SIZE_T)(job->count > 0 ? job->count : 1);
    job->segments = (unsigned int *)HeapAlloc(heap, HEAP_ZERO_MEMORY, files * sizeof(unsigned int));
    job->segmented = (SegmentedFile *)HeapAlloc(heap, HEAP_ZERO_MEMORY, files * sizeof(SegmentedFile));
    job->items_left = (unsigned int *)HeapAlloc(heap, HEAP_ZERO_MEMORY, files * sizeof(unsigned int));
    if (!job->segments || !job->segmented || !job->items_left) return 0;
    unsigned long long plain = 0, pieces = 0;
    for (int k = 0; k < job->count; ++k) {
        if (!g_manifest_files[k].needs_download) continue;
        job->segments[k] = PrepareSegments(job->product, &g_manifest_files[k]);
        job->segmented[k].remaining = (LONG)job->segments[k];
        job->items_left[k] = job->segments[k] > 0 ? job->segments[k] : 1;
        if (job->segments[k] > 0)
            pieces += job->segments[k];
        else if (PackOfFile(k) < 0)
            ++plain;
    }
    const unsigned long long total = plain + pieces + (unsigned long long)job->packs;
    if (total > 0x7FFFFFFF) return 0;
    job->item_file = (int *)HeapAlloc(heap, 0, (SIZE_T)(total ? total : 1) * sizeof(int));
    job->item_segment = (unsigned int *)HeapAlloc(heap, 0, (SIZE_T)(total ? total : 1) * sizeof(unsigned int));
    if (!job->item_file || !job->item_segment) return 0;
    const unsigned long long every = pieces > 0 && plain / pieces > 0 ? plain / pieces : 1;
    int at = 0, seg_file = 0;
    unsigned int seg_next = 0;
    unsigned long long plain_seen = 0;
    // Packs first: each brings many of the first files at once.
    for (int p = 0; p < job->packs; ++p) {
        job->item_file[at] = -1 - p;
        job->item_segment[at++] = 0;
    }
    // The next segment in manifest order, or 0 when none is left.
    auto take_segment = [&]() -> int {
        while (seg_file < job->count && seg_next >= job->segments[seg_file]) {
            ++seg_file;
            seg_next = 0;
        }
        if (seg_file >= job->count) return 0;
        job->item_file[at] = seg_file;
        job->item_segment[at] = seg_next++;
        ++at;
        return 1;
    };
    for (int k = 0; k < job->count; ++k) {
        if (!g_manifest_files[k].needs_download || job->segments[k] > 0 || PackOfFile(k) >= 0)
            continue;
        job->item_file[at] = k;
        job->item_segment[at] = 0;
        ++at;
        if (plain_seen++ % every == 0) take_segment();
    }
    while (take_segment()) {
    }
    *items = at;
    return 1;
}

static void FreeDownloadItems(ProductRun *job) {
    HANDLE heap = GetProcessHeap();
    if (job->segments) HeapFree(heap, 0, job->segments);
    if (job->segmented) HeapFree(heap, 0, job->segmented);
    if (job->item_file) HeapFree(heap, 0, job->item_file);
    if (job->item_segment) HeapFree(heap, 0, job->item_segment);
    if (job->items_left) HeapFree(heap, 0, job->items_left);
    job->items_left = NULL;
    job->segments = NULL;
    job->segmented = NULL;
    job->item_file = NULL;
    job->item_segment = NULL;
    FreePacks();
}

// Puts back the files committed so far, last first. Returns 1 only when
// every one of them is as it was before the job; a file that cannot be put
// back is named in the log, and the install then stays unsealed.
static int RollBack(const CatalogProduct *product, int from) {
    int restored = 1;
    for (int k = from; k >= 0; --k) {
        ManifestFile *file = &g_manifest_files[k];
        if (!file->committed) continue;
        wchar_t local[kFilePathUnits];
        wchar_t backup[kFilePathUnits];
        LocalFilePath(product, file, local, kFilePathUnits);
        BackupFilePath(product, file, backup, kFilePathUnits);
        int done = 0;
        for (int attempt = 0;; ++attempt) {
            if (file->had_previous)
                done = FileExists(backup) && CopyFileW(backup, local, FALSE);
            else
                done = DeleteFileW(local) || GetLastError() == ERROR_FILE_NOT_FOUND;
            if (done || !WaitOutBriefLock(attempt, 0)) break;
        }
        if (!done) {
            LogFailedStep("Rollback could not restore", GetLastError(),
                          file->had_previous ? backup : local, file->had_previous ? local : NULL);
            restored = 0;
        }
    }
    LogLine("Rollback completed after commit failure");
    return restored;
}

// Bytes a file takes, 0 when it is missing.
static unsigned long long SizeOnDisk(const wchar_t *path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return 0;
    return ((unsigned long long)data.nFileSizeHigh << 32) | data.nFileSizeLow;
}

// Whether the job's files can fit before any of them is fetched: a job that
// would fill the disk half way through is refused while nothing has changed.
// The staging volume takes what is still to fetch and the backups of the
// files replaced; the Game Library's volume, when it is another, takes what
// each commit adds there (its move copies). Allocation slack: one 4 KiB
// cluster per file.
static int JobFitsOnDisk(const CatalogProduct *product) {
    wchar_t staging[1200];
    wchar_t staging_volume[MAX_PATH + 1];
    wchar_t library_volume[MAX_PATH + 1];
    InstallPath(L".orvelant-staging", staging, 1200);
    if (!GetVolumePathNameW(staging, staging_volume, MAX_PATH + 1) ||
        !GetVolumePathNameW(g_library_root, library_volume, MAX_PATH + 1))
        return 1;  // the volumes cannot be told: the job goes on as before
    const int one_volume = CompareStringOrdinal(staging_volume, -1, library_volume, -1, TRUE) ==
                           CSTR_EQUAL;
    unsigned long long staging_needed = 0;
    unsigned long long library_needed = 0;
    for (int k = 0; k < g_manifest_count; ++k) {
        const ManifestFile *file = &g_manifest_files[k];
        if (!file->needs_download) continue;
        wchar_t path[kFilePathUnits];
        StagedFilePath(product, file, path, kFilePathUnits);
        unsigned long long staged = SizeOnDisk(path);
        LocalFilePath(product, file, path, kFilePathUnits);
        unsigned long long local = SizeOnDisk(path);
        staging_needed += (staged < file->size ? file->size - staged : 0) + local + 4096;
        library_needed += (local < file->size ? file->size - local : 0) + 4096;
    }
    if (one_volume) library_needed = 0;
    const wchar_t *volumes[2] = {staging_volume, library_volume};
    const unsigned long long needed[2] = {staging_needed, library_needed};
    for (int v = 0; v < 2; ++v) {
        ULARGE_INTEGER free_bytes;
        if (needed[v] == 0 || !GetDiskFreeSpaceExW(volumes[v], &free_bytes, NULL, NULL)) continue;
        if (free_bytes.QuadPart >= needed[v]) continue;
        char line[160] = "Not enough disk space: ";
        AppendDecimal(line, 160, needed[v]);
        AppendNarrow(line, 160, " bytes needed, ");
        AppendDecimal(line, 160, free_bytes.QuadPart);
        AppendNarrow(line, 160, " bytes free");
        LogFailedStep(line, ERROR_DISK_FULL, volumes[v], NULL);
        return 0;
    }
    return 1;
}

static int FailJob(char *manifest) {
    FreePacks();
    FreeFileStates();
    FreeManifestTable();
    HeapFree(GetProcessHeap(), 0, manifest);
    PostWorkerStatus(PRODUCT_FAILED, 100);
    return EXIT_PRODUCT_JOB_FAILED;
}

int RunProductJob(void) {
    LogLine(g_command.repair ? "Product worker started (repair)" : "Product worker started");
    CatalogProduct product;
    if (g_command.product_id[0] == 0 || !FindCatalogProduct(&product)) {
        PostWorkerStatus(PRODUCT_FAILED, 100);
        LogLine("Product not found in catalog");
        return EXIT_PRODUCT_NOT_FOUND;
    }
    PostWorkerStatus(PRODUCT_CHECKING, 3);

    char *manifest = NULL;
    unsigned int manifest_length = 0;
    FreshDocument fresh;
    if (!FetchFreshManifest(&product, &manifest, &manifest_length, &fresh)) {
        // Without a trusted manifest nothing is touched; only report what is there.
        wchar_t exe[1400];
        ProductExecutablePath(&product, exe, 1400);
        if (IsInstalledKnownGood(&product))
            PostWorkerStatus(PRODUCT_OFFLINE_READY, 100);
        else if (FileExists(exe))
            PostWorkerStatus(PRODUCT_FAILED, 100);
        else
            PostWorkerStatus(PRODUCT_NOT_INSTALLED, 100);
        LogLine("Manifest unavailable; no local files modified");
        return EXIT_OK;
    }

    PostWorkerStatus(PRODUCT_VERIFYING, 10);
    char version[kManifestVersionBytes];
    if (!ParseManifest(manifest, manifest_length, version)) {
        FreeManifestTable();
        HeapFree(GetProcessHeap(), 0, manifest);
        PostWorkerStatus(PRODUCT_FAILED, 100);
        LogLine("Manifest parse/restriction failure");
        return EXIT_MANIFEST_INVALID;
    }
    const char *version_text = version[0] ? version : "current";
    LoadFileStates(&product);
    const int count = g_manifest_count;
    const int n = count > 0 ? count : 1;

    // Verify phase: every local file hashed, on as many threads as the
    // machine has processors.
    g_transfer.expected_bytes = 0;
    ProductRun job = {&product, count, n, 0, NULL, NULL, NULL, NULL, NULL, 0, 0};
    JobThreads verify;
    FillZero(&verify, sizeof(verify));
    verify.count = count;
    verify.threads = HashingThreads();
    verify.work = VerifyItem;
    verify.done = VerifyItemDone;
    verify.context = &job;
    int *verify_order = LargestFirst(count);
    verify.order = verify_order;  // without it (no memory), manifest order
    const int verified = RunJobThreads(&verify);
    if (verify_order) HeapFree(GetProcessHeap(), 0, verify_order);
    if (!verified) return FailJob(manifest);
    const int to_download = job.to_download;
    if (to_download == 0) {
        if (WriteKnownGood(&product, version_text)) {
            SaveFileStates(&product);
            RememberInstalledManifest(&product, &fresh);
        }
        FreeFileStates();
        SweepStaging(&product);
        FreeManifestTable();
        HeapFree(GetProcessHeap(), 0, manifest);
        PostWorkerStatus(PRODUCT_CURRENT, 100);
        LogLine("Product already current");
        return EXIT_OK;
    }

    if (!JobFitsOnDisk(&product)) return FailJob(manifest);

    // Download phase: nothing in the product folder changes yet.
    g_transfer.done_bytes = 0;
    g_transfer.start_tick = GetTickCount64();
    g_transfer.last_post_tick = 0;
    PostWorkerStatus(PRODUCT_TRANSFER, 36);
    // Several requests in flight: small files side by side, and the round
    // trip of one request hidden behind the bytes of the others. One file
    // that fails for good fails the job: no further file is started and the
    // transfers in flight stop, keeping their ".part".
    job.packs = PlanPacks(&product);
    JobThreads download;
    FillZero(&download, sizeof(download));
    download.threads = DownloadThreads();
    download.transfers = 1;
    download.work = DownloadItem;
    download.done = DownloadItemDone;
    download.context = &job;
    int downloaded = PlanDownloadItems(&job, &download.count) && RunJobThreads(&download);
    FreeDownloadItems(&job);
    if (!downloaded) return FailJob(manifest);

    // Commit phase. The marker goes first: while old and new files are mixed
    // the install must not count as known-good (a kill or power cut here would
    // otherwise leave a broken install that may be started offline).
    PostWorkerStatus(PRODUCT_TRANSFER, 82);
    wchar_t marker[1300];
    MarkerPath(&product, marker, 1300);
    const int had_marker = FileExists(marker);
    if (had_marker) DeleteFileW(marker);
    for (int k = 0; k < count; ++k) {
        ManifestFile *file = &g_manifest_files[k];
        if (!file->needs_download) continue;
        wchar_t local[kFilePathUnits];
        wchar_t staged[kFilePathUnits];
        wchar_t backup[kFilePathUnits];
        LocalFilePath(&product, file, local, kFilePathUnits);
        StagedFilePath(&product, file, staged, kFilePathUnits);
        BackupFilePath(&product, file, backup, kFilePathUnits);
        file->had_previous = FileExists(local);
        const char *failure = NULL;
        const wchar_t *from = local;
        const wchar_t *to = backup;
        int moved_aside = 0;
        if (file->had_previous) {
            CreateParentDirectory(backup);
            // On the same volume the old file itself becomes the backup: a
            // rename, where a copy would read and write all of a large
            // file's bytes. A file held open (or another volume) is copied
            // as before.
            moved_aside = MoveFileExW(local, backup, MOVEFILE_REPLACE_EXISTING) ? 1 : 0;
            for (int attempt = 0; !moved_aside && !CopyFileW(local, backup, FALSE); ++attempt)
                if (!WaitOutBriefLock(attempt, 0)) {
                    failure = "Backup failed";
                    break;
                }
        }
        if (!failure) {
            // The staged bytes reach the disk before their name does: after a
            // power cut the marker must never stand over a file that is empty.
            // Most were flushed when they were checked; the rest are here.
            from = staged;
            to = local;
            if (!file->flushed && !FlushFileToDisk(staged)) failure = "Commit failed";
        }
        if (!failure) {
            // The Game Library may lie on another volume than the staging
            // area (the library move allows it): there the move copies.
            CreateParentDirectory(local);
            for (int attempt = 0;
                 !MoveFileExW(staged, local,
                              MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED |
                                  MOVEFILE_WRITE_THROUGH);
                 ++attempt)
                if (!WaitOutBriefLock(attempt, 1)) {
                    failure = "Commit failed";
                    break;
                }
        }
        if (failure) {
            LogFailedStep(failure, GetLastError(), from, to);
            // The old file moved aside for this one goes back first.
            int restored = 1;
            if (moved_aside && !MoveFileExW(backup, local, MOVEFILE_REPLACE_EXISTING)) {
                LogFailedStep("Rollback could not restore", GetLastError(), backup, local);
                restored = 0;
            }
            if (RollBack(&product, k) && restored && had_marker) WriteMarker(&product);
            return FailJob(manifest);
        }
        file->committed = 1;
        FileState state;
        if (ReadFileState(local, &state)) NoteFileState(k, &state, STATE_COMMITTED);
        PostFileStep(PRODUCT_TRANSFER, Percent(82, 15, k + 1, n), count, 0);
        TEST_HOOK_AFTER_COMMIT_STEP();
    }
    if (!WriteKnownGood(&product, version_text)) {
        LogFailedStep("Could not write known-good marker", g_seal_failed_error,
                      g_seal_failed_path, NULL);
        // The rolled-back install is known-good exactly when it was before
        // and every file could be put back.
        if (RollBack(&product, count - 1) && had_marker)
            WriteMarker(&product);
        else
            DeleteFileW(marker);
        return FailJob(manifest);
    }
    SaveFileStates(&product);
    FreeFileStates();
    FreeManifestTable();
    RememberInstalledManifest(&product, &fresh);
    SweepStaging(&product);
    HeapFree(GetProcessHeap(), 0, manifest);
    PostWorkerStatus(PRODUCT_CURRENT, 100);
    PostWorkerTransfer();
    LogLine("Product update committed successfully");
    return EXIT_OK;
}
