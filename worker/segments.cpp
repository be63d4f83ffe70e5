// Segmented download of a large file; see segments.h.
//
// The record: "ORVSEG2\n", the file's signed size and the segment length
// (8 bytes each, little-endian) and the first 64 characters of its signed
// SHA-256 (a same-size file of another release never continues it), then 8
// bytes per segment: how many of its bytes are in the ".part". A segment writes its bytes before it records
// them, so a kill costs at most the bytes of one write per segment.
//
// Memory: nothing per segment but the record on disk.
#include "segments.h"

#include "runtime.h"
#include "worker.h"

static const char kRecordMagic[8] = {'O', 'R', 'V', 'S', 'E', 'G', '2', '\n'};
static const unsigned long long kRecordHeaderBytes = 88;

// 32 MiB: a segment long enough that its request's round trip is small
// against its bytes, short enough that a 256 MiB file fills 8 requests.
static unsigned long long SegmentBytes(void) {
#ifdef ORV_TEST_HOOKS
    // ORV_TEST_SEGMENT_BYTES=<n>: shorter segments, so a test can fetch a
    // file of a few MiB the way a large one travels.
    wchar_t value[24];
    DWORD n = GetEnvironmentVariableW(L"ORV_TEST_SEGMENT_BYTES", value, 24);
    if (n > 0 && n < 24 && ParseWideDecimal(value) > 0) return ParseWideDecimal(value);
#endif
    return 32ull * 1024 * 1024;
}

static void RecordPath(const wchar_t *staged, wchar_t *dst) {
    WideCopy(dst, staged, kFilePathUnits);
    WideAppend(dst, L".ranges", kFilePathUnits);
}

static unsigned int SegmentCount(unsigned long long size, unsigned long long step) {
    return (unsigned int)((size + step - 1) / step);
}

// 1 when the record describes this file (size, digest) and segment length.
static int RecordFits(HANDLE record, const ManifestFile *file, unsigned long long step) {
    const unsigned long long size = file->size;
    unsigned char head[kRecordHeaderBytes];
    DWORD n = 0;
    OVERLAPPED at;
    FillZero(&at, sizeof(at));
    if (!ReadFile(record, head, sizeof(head), &n, &at) || n != sizeof(head)) return 0;
    for (int k = 0; k < 8; ++k)
        if (head[k] != (unsigned char)kRecordMagic[k]) return 0;
    for (int k = 0; k < 64; ++k)
        if (head[24 + k] != (unsigned char)file->sha256[k]) return 0;
    unsigned long long got_size = 0, got_step = 0;
    CopyBytes(&got_size, head + 8, 8);
    CopyBytes(&got_step, head + 16, 8);
    LARGE_INTEGER length;
    return got_size == size && got_step == step && GetFileSizeEx(record, &length) &&
           (unsigned long long)length.QuadPart ==
               kRecordHeaderBytes + 8ull * SegmentCount(size, step);
}

unsigned int PrepareSegments(const CatalogProduct *product, const ManifestFile *file) {
    const unsigned long long step = SegmentBytes();
    if (file->size < 2 * step || file->size / step > 0x7FFFFFFF) return 0;
    wchar_t local[kFilePathUnits], staged[kFilePathUnits], record_path[kFilePathUnits];
    LocalFilePath(product, file, local, kFilePathUnits);
    if (FileExists(local)) return 0;
    StagedFilePath(product, file, staged, kFilePathUnits);
    RecordPath(staged, record_path);
    const int have_part = FileExists(staged), have_record = FileExists(record_path);
    if (have_part && !have_record) return 0;  // a download in one request resumes as one
    const unsigned int count = SegmentCount(file->size, step);
    CreateParentDirectory(record_path);
    HANDLE record = CreateFileW(record_path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (record == INVALID_HANDLE_VALUE) return 0;
    int ok = have_record && have_part && RecordFits(record, file, step);
    if (!ok) {
        // A new record: every segment from its start, over an empty ".part".
        DeleteFileW(staged);
        unsigned char head[kRecordHeaderBytes];
        CopyBytes(head, kRecordMagic, 8);
        unsigned long long size = file->size;
        CopyBytes(head + 8, &size, 8);
        CopyBytes(head + 16, &step, 8);
        CopyBytes(head + 24, file->sha256, 64);
        LARGE_INTEGER zero, end;
        zero.QuadPart = 0;
        end.QuadPart = (LONGLONG)(kRecordHeaderBytes + 8ull * count);
        DWORD n = 0;
        HANDLE part = CreateFileW(staged, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, NULL);
        if (part != INVALID_HANDLE_VALUE) CloseHandle(part);
        ok = part != INVALID_HANDLE_VALUE && SetFilePointerEx(record, zero, NULL, FILE_BEGIN) &&
             SetEndOfFile(record) && SetFilePointerEx(record, end, NULL, FILE_BEGIN) &&
             SetEndOfFile(record) && SetFilePointerEx(record, zero, NULL, FILE_BEGIN) &&
             WriteFile(record, head, sizeof(head), &n, NULL) && n == sizeof(head);
    }
    CloseHandle(record);
    if (!ok) {
        DeleteFileW(record_path);
        return 0;
    }
    return count;
}

static int StagedFileIsRight(const wchar_t *staged, const ManifestFile *file) {
    unsigned char digest[kDigestBytes];
    return Sha256File(staged, digest) && DigestMatchesHex(digest, file->sha256);
}

// The bytes the record says are in the ".part": what the segments counted
// in the transfer figures.
static unsigned long long RecordedBytes(const wchar_t *record_path, unsigned int count) {
    HANDLE record = CreateFileW(record_path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (record == INVALID_HANDLE_VALUE) return 0;
    unsigned long long sum = 0;
    for (unsigned int k = 0; k < count; ++k) {
        const unsigned long long slot = kRecordHeaderBytes + 8ull * k;
        unsigned long long done = 0;
        DWORD n = 0;
        OVERLAPPED at;
        FillZero(&at, sizeof(at));
        at.Offset = (DWORD)slot;
        at.OffsetHigh = (DWORD)(slot >> 32);
        if (ReadFile(record, &done, sizeof(done), &n, &at) && n == sizeof(done)) sum += done;
    }
    CloseHandle(record);
    return sum;
}

// The whole file once, in one request, over an empty ".part".
static int FetchWholeFile(const wchar_t *url, const wchar_t *staged, const ManifestFile *file,
                          TransferThread *t) {
    DeleteFileW(staged);
    int faults = 0, got;
    const unsigned long long counted_before = t->counted;
    while ((got = DownloadToFileOn(t, url, staged, file->size)) == DOWNLOAD_RETRY &&
           faults < kTransferRetries && !TransfersStopped()) {
        LogLine("Download interrupted; asking again");
        // The next attempt counts the bytes on disk again as it resumes.
        CountTransferBytes(t, -(long long)(t->counted - counted_before));
        RetryBackoff(faults++);
    }
    if (got == DOWNLOAD_DONE) return 1;
    if (!TransfersStopped()) {
        LogLine("Download interrupted; .part retained for resume");
        LogLine("Download failed");
    }
    return 0;
}

// The segment that ends last: the record goes, the whole file is checked.
// A file built on what an earlier run recorded that fails its check (a
// power cut kept the record but not the data) starts over once, whole.
static int FinishSegmentedFile(const wchar_t *url, const wchar_t *staged,
                               const wchar_t *record_path, const ManifestFile *file,
                               SegmentedFile *shared, TransferThread *t) {
    // What the segments counted leaves the figures when their bytes go.
    const unsigned long long recorded =
        RecordedBytes(record_path, SegmentCount(file->size, SegmentBytes()));
    DeleteFileW(record_path);
    if (shared->whole) {
        // The host ignores ranges: the whole file once, in one request.
        LogLine("Host ignored the range request; downloading the whole file");
        CountTransferBytes(t, -(long long)recorded);
        if (!FetchWholeFile(url, staged, file, t)) return 0;
    }
    if (StagedFileIsRight(staged, file)) return 1;
    if (shared->resumed && !shared->whole) {
        LogLine("Resumed staged file failed SHA-256; downloading it again");
        CountTransferBytes(t, -(long long)recorded);
        if (!FetchWholeFile(url, staged, file, t)) return 0;
        if (StagedFileIsRight(staged, file)) return 1;
    }
    DeleteFileW(staged);
    LogLine("Staged SHA-256 mismatch");
    return 0;
}

int StageSegment(const CatalogProduct *product, const ManifestFile *file, unsigned int segment,
                 SegmentedFile *shared, TransferThread *t) {
    wchar_t url[1200], staged[kFilePathUnits], record_path[kFilePathUnits];
    FileDownloadUrl(product, file, url, 1200);
    if (file->url[0] != 0 && url[0] != L'/') {
        LogLine("File URL rejected; must be host-relative");
        return 0;
    }
    StagedFilePath(product, file, staged, kFilePathUnits);
    RecordPath(staged, record_path);
    const unsigned long long step = SegmentBytes();
    const unsigned long long first = step * segment;
    const unsigned long long length = file->size - first < step ? file->size - first : step;
    int result = RANGE_DONE;
    if (!shared->whole) {
        HANDLE part = CreateFileW(staged, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        HANDLE record = CreateFileW(record_path, GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, NULL);
        unsigned long long done = 0;
        OVERLAPPED at;
        FillZero(&at, sizeof(at));
        const unsigned long long slot = kRecordHeaderBytes + 8ull * segment;
        at.Offset = (DWORD)slot;
        at.OffsetHigh = (DWORD)(slot >> 32);
        DWORD n = 0;
        result = RANGE_FAILED;
        if (part != INVALID_HANDLE_VALUE && record != INVALID_HANDLE_VALUE &&
            ReadFile(record, &done, sizeof(done), &n, &at) && n == sizeof(done)) {
            if (done > length) done = 0;
            LARGE_INTEGER to;
            to.QuadPart = (LONGLONG)(first + done);
            if (done > 0) {
                CountTransferBytes(t, (long long)done);
                InterlockedExchange(&shared->resumed, 1);
            }
            if (done == length) {
                result = RANGE_DONE;
            } else if (SetFilePointerEx(part, to, NULL, FILE_BEGIN)) {
                t->progress = record;
                t->progress_at = slot;
                t->progress_base = done;
                result = DownloadRangeRetrying(t, url, part, first + done, length - done);
                // A cache may answer a range it does not hold yet with the
                // whole body: asked once more before the whole file takes
                // the place of every segment.
                if (result == RANGE_IGNORED && !TransfersStopped()) {
                    LogLine("Range answered with the whole body; asked again");
                    RetryBackoff(0);
                    result = DownloadRangeRetrying(t, url, part, first + done, length - done);
                }
                t->progress = NULL;
            }
        }
        if (part != INVALID_HANDLE_VALUE) CloseHandle(part);
        if (record != INVALID_HANDLE_VALUE) CloseHandle(record);
        if (result == RANGE_IGNORED) InterlockedExchange(&shared->whole, 1);
    }
    if (result == RANGE_FAILED) {
        if (!TransfersStopped()) {
            LogLine("Download interrupted; .part retained for resume");
            LogLine("Download failed");
        }
        return 0;
    }
    if (InterlockedDecrement(&shared->remaining) != 0) return 1;
    return FinishSegmentedFile(url, staged, record_path, file, shared, t);
}
