// A small fixed pool of threads, each doing synchronous work (WinHTTP
// requests on the shared connection handle, file hashing). Chosen over
// WinHTTP's asynchronous mode because the synchronous calls behave the same
// under Wine and Windows, and the transfer code stays one straight loop per
// request with its own buffer.
#include "job_threads.h"

#include "runtime.h"
#include "settings.h"
#include "worker.h"

// Deep enough for the path buffers and for what WinHTTP and the TLS stack
// need below them; reserved, committed only as used.
static const SIZE_T kJobThreadStackBytes = 1024 * 1024;

enum { kDefaultDownloadThreads = 8, kMaxHashingThreads = 8 };

int HashingThreads(void) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    int n = (int)info.dwNumberOfProcessors;
    if (n < 1) n = 1;
    return n < kMaxHashingThreads ? n : kMaxHashingThreads;
}

int DownloadThreads(void) {
    DWORD n = ReadSettingNumber(L"ParallelRequests", 0);
    if (n == 0) return kDefaultDownloadThreads;
    return n < (DWORD)kMaxJobThreads ? (int)n : kMaxJobThreads;
}

static void ReportFinished(JobThreads *run, int index) {
    AcquireSRWLockExclusive(&run->lock);
    run->finished[index] = 1;
    while (run->reported < run->count && run->finished[run->reported]) {
        run->done(run, run->reported);
        ++run->reported;
    }
    ReleaseSRWLockExclusive(&run->lock);
}

static DWORD WINAPI JobThreadMain(LPVOID argument) {
    JobThreads *run = (JobThreads *)argument;
    TransferThread t;
    FillZero(&t, sizeof(t));
    if (run->transfers && !TransferThreadStart(&t)) {
        LogLine("Transfer thread could not start");
        InterlockedExchange(&run->failed, 1);
        return 0;
    }
    while (!run->failed) {
        LONG next = InterlockedIncrement(&run->next) - 1;
        if (next >= run->count) break;
        const int index = run->order ? run->order[next] : (int)next;
        if (!run->work(run, index, run->transfers ? &t : NULL)) {
            if (InterlockedExchange(&run->failed, 1) == 0 && run->transfers) StopTransfers();
            break;
        }
        ReportFinished(run, index);
    }
    if (run->transfers) TransferThreadEnd(&t);
    return 0;
}

int RunJobThreads(JobThreads *run) {
    run->next = 0;
    run->failed = 0;
    run->reported = 0;
    InitializeSRWLock(&run->lock);
    if (run->count <= 0) return 1;
    run->finished = (unsigned char *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, (SIZE_T)run->count);
    if (!run->finished) {
        LogLine("Job threads could not start");
        return 0;
    }
    int wanted = run->threads < run->count ? run->threads : run->count;
    if (wanted < 1) wanted = 1;
    if (wanted > kMaxJobThreads) wanted = kMaxJobThreads;
    HANDLE threads[kMaxJobThreads];
    int started = 0;
    for (int k = 0; k < wanted; ++k) {
        threads[started] = CreateThread(NULL, kJobThreadStackBytes, JobThreadMain, run,
                                        STACK_SIZE_PARAM_IS_A_RESERVATION, NULL);
        if (threads[started]) ++started;
    }
    // No thread at all: the items run here, one after another.
    if (started == 0) JobThreadMain(run);
    if (started > 0) WaitForMultipleObjects((DWORD)started, threads, TRUE, INFINITE);
    for (int k = 0; k < started; ++k) CloseHandle(threads[k]);
    HeapFree(GetProcessHeap(), 0, run->finished);
    run->finished = NULL;
    return !run->failed && run->reported == run->count;
}
