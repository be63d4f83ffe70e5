// HTTPS transfers from the update host: documents into memory, files into a
// resumable ".part" with pause and bandwidth limit. Synchronous WinHTTP, on
// the thread that asks (a product job has several transfer threads); no
// content checks here (that is the caller's hash or signature step).
#include <windows.h>
#include <winhttp.h>

#include "runtime.h"
#include "settings.h"
#include "transport.h"
#include "worker.h"

#ifndef ORV_UPDATE_HOST
#define ORV_UPDATE_HOST "localhost"
#endif

static const wchar_t kUpdateHost[] = L"" ORV_UPDATE_HOST;
static const wchar_t kUserAgent[] = L"ORVELANT Update Worker/1.0.0";

// One session and one connection to the update host for the Worker's whole
// run: WinHTTP keeps the host's connections alive between requests, so a job
// of many files pays for one TLS handshake instead of one per file. Requests
// are opened and closed per transfer; a connection the host closed or a
// request abandoned mid-body is not reused by WinHTTP. The handles live until
// the process ends (the Worker is short-lived).
static HINTERNET g_session;
static HINTERNET g_connection;

struct HttpRequest {
    HINTERNET request;
};

static void CloseRequest(HttpRequest *r) {
    if (r->request) WinHttpCloseHandle(r->request);
    r->request = NULL;
}

// Every transfer thread of a job shares the session and the connection
// handle (WinHTTP allows several synchronous requests on several threads on
// one connection handle, each on a kept-alive connection of its own); the
// first caller opens them.
static SRWLOCK g_connection_lock = SRWLOCK_INIT;

static int OpenConnection(int log_open_failure) {
    if (g_connection) return 1;
    AcquireSRWLockExclusive(&g_connection_lock);
    int ok = 0;
    if (g_connection) {
        ok = 1;
        goto done;
    }
    if (!g_session) {
        g_session = WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
        if (!g_session) {
            if (log_open_failure) LogFailure("WinHttpOpen failed");
            goto done;
        }
    }
    g_connection = WinHttpConnect(g_session, kUpdateHost, INTERNET_DEFAULT_HTTPS_PORT, 0);
    ok = g_connection ? 1 : 0;
done:
    ReleaseSRWLockExclusive(&g_connection_lock);
    return ok;
}

// Open, send (with optional headers) and receive on the shared connection.
// Leaves whatever was opened in *r for CloseRequest.
static int OpenAndSend(HttpRequest *r, const wchar_t *url, int receive_timeout,
                       const wchar_t *headers, int log_open_failure) {
    if (!OpenConnection(log_open_failure)) return 0;
    r->request = WinHttpOpenRequest(g_connection, L"GET", url, NULL, WINHTTP_NO_REFERER,
                                    WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
    if (!r->request) return 0;
    if (!WinHttpSetTimeouts(r->request, 5000, 5000, 8000, receive_timeout)) return 0;
    // Every byte comes from the one update host: a 3xx answer is a failure
    // like any other unexpected status, never a way to another host or port.
    DWORD disabled = WINHTTP_DISABLE_REDIRECTS;
    if (!WinHttpSetOption(r->request, WINHTTP_OPTION_DISABLE_FEATURE, &disabled, sizeof(disabled)))
        return 0;
    DWORD header_length = headers ? (DWORD)WideLength(headers) : 0;
    if (!WinHttpSendRequest(r->request, headers ? headers : WINHTTP_NO_ADDITIONAL_HEADERS,
                            header_length, WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
        return 0;
    return WinHttpReceiveResponse(r->request, NULL) ? 1 : 0;
}

// 1 and the status when the query worked, else 0.
static int QueryStatus(HINTERNET request, DWORD *status) {
    DWORD size = sizeof(*status);
    return WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, status, &size,
                               WINHTTP_NO_HEADER_INDEX)
               ? 1
               : 0;
}

// A number a response header starts with after the given prefix, or -1 when
// the header is absent or does not read so.
static long long HeaderNumber(HINTERNET request, DWORD query, const wchar_t *prefix) {
    wchar_t text[96];
    DWORD size = sizeof(text);
    if (!WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                             WINHTTP_NO_HEADER_INDEX))
        return -1;
    const wchar_t *p = text;
    for (; *prefix; ++prefix, ++p)
        if (*p != *prefix) return -1;
    if (*p < L'0' || *p > L'9') return -1;
    return (long long)ParseWideDecimal(p);
}

// The body length the response declares, or -1 when it declares none
// (chunked transfer).
static long long DeclaredLength(HINTERNET request) {
    return HeaderNumber(request, WINHTTP_QUERY_CONTENT_LENGTH, L"");
}

int HttpGetToMemory(const wchar_t *url, char **out_body, unsigned int *out_length) {
    return HttpGetToMemoryCapped(url, kMaxDocumentBytes, out_body, out_length);
}

int HttpGetToMemoryCapped(const wchar_t *url, unsigned int max_bytes, char **out_body,
                          unsigned int *out_length) {
    DocumentAnswer answer;
    return HttpGetDocument(url, max_bytes, NULL, out_body, out_length, &answer) == DOCUMENT_BODY;
}

// A response header as text ("" when absent or longer than the buffer).
static void HeaderText(HINTERNET request, DWORD query, wchar_t *text, DWORD units) {
    DWORD size = units * sizeof(wchar_t);
    if (!WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                             WINHTTP_NO_HEADER_INDEX))
        text[0] = 0;
}

// A short error page is read to its end, so that the connection goes back
// to the pool: a "no newer root" or "no twin" answer must not cost the next
// request a new TLS handshake.
static void DrainShortBody(HINTERNET request) {
    char sink[512];
    DWORD available = 0, read = 0;
    for (unsigned int drained = 0; drained < 16384; drained += read)
        if (!WinHttpQueryDataAvailable(request, &available) || available == 0 ||
            !WinHttpReadData(request, sink, available < 512 ? available : 512, &read) || read == 0)
            break;
}

int HttpGetDocument(const wchar_t *url, unsigned int max_bytes, const wchar_t *headers,
                    char **out_body, unsigned int *out_length, DocumentAnswer *answer) {
    *out_body = NULL;
    *out_length = 0;
    FillZero(answer, sizeof(*answer));
    HttpRequest r = {NULL};
    HANDLE heap = GetProcessHeap();
    char *body = NULL;
    unsigned long long capacity = 0;
    unsigned long long length = 0;
    int result = DOCUMENT_FAILED;
    DWORD status = 0;
    if (!OpenAndSend(&r, url, 18000, headers, 1)) goto done;
    if (QueryStatus(r.request, &status)) {
        answer->status = status;
        if (status < 200 || status >= 300) DrainShortBody(r.request);
        // A 304 only answers a conditional request: one that asked nothing
        // conditional has no copy it could stand for.
        if (status == 304 && headers) {
            result = DOCUMENT_NOT_MODIFIED;
            goto done;
        }
        if (status == 404) {
            result = DOCUMENT_MISSING;
            goto done;
        }
        if (status < 200 || status >= 300) goto done;
    }
    HeaderText(r.request, WINHTTP_QUERY_ETAG, answer->etag, kValidatorUnits);
    HeaderText(r.request, WINHTTP_QUERY_LAST_MODIFIED, answer->last_modified, kValidatorUnits);
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(r.request, &available)) goto done;
        if (available == 0) break;
        if (length + available > max_bytes) {
            // No document the Worker reads comes near its cap; a host that
            // keeps sending must not exhaust the Worker's memory.
            char line[80] = "HTTP response body exceeds ";
            AppendDecimal(line, sizeof(line), max_bytes >> 20);
            unsigned long long at = NarrowLength(line);
            CopyBytes(line + at, " MiB limit; discarded", 22);
            LogLine(line);
            goto done;
        }
        if (length + available + 1 > capacity) {
            unsigned long long grown = (length + available + 1) * 2;
            if (grown > (unsigned long long)max_bytes + 1) grown = (unsigned long long)max_bytes + 1;
            char *bigger = body ? (char *)HeapReAlloc(heap, 0, body, (SIZE_T)grown)
                                : (char *)HeapAlloc(heap, 0, (SIZE_T)grown);
            if (!bigger) goto done;
            body = bigger;
            capacity = grown;
        }
        DWORD read = 0;
        if (!WinHttpReadData(r.request, body + length, available, &read)) goto done;
        if (read == 0) break;
        length += read;
    }
    if (!body) {
        body = (char *)HeapAlloc(heap, 0, 1);
        if (!body) goto done;
    }
    body[length] = 0;
    *out_body = body;
    *out_length = (unsigned int)length;
    body = NULL;
    result = DOCUMENT_BODY;
done:
    if (body) HeapFree(heap, 0, body);
    CloseRequest(&r);
    return result;
}

// What another process may change while downloads run: the pause flag (a
// file in the install directory) and the bandwidth limit (the settings key).
// One watch serves every transfer thread of the run. Both are watched by
// change notifications, so a look is one wait on the two with no timeout;
// the file is tested and the value read again only when something changed,
// and in any case after 150 ms without a full look (a folder or registry
// that gives no notifications still works, as fast as the pause poll).
//
// A transfer does not look at every read: it looks when the tick count has
// moved on since its last look (GetTickCount64 reads the tick the system
// keeps in shared memory, on Windows and under Wine alike: no system call),
// or after kLookBytes without a look. The tick moves every 10..25 ms, so a
// pause is seen within the 150 ms poll plus a tick, and the limit's budget
// is spent in steps far below its 10 % grain.
static const unsigned long long kLookBytes = 4ull * 1024 * 1024;

struct SharedWatch {
    SRWLOCK lock;          // the look and the budget's restart
    int open;
    HANDLE folder;         // the install directory, read for changes of its names
    OVERLAPPED folder_io;
    DWORD folder_changes[128];
    HANDLE changes;        // event of a registry notification under HKCU\Software
    HKEY software;
    HKEY key;              // the settings key, or NULL while it does not exist
    unsigned long long checked_tick;  // of the last full look
    volatile LONG paused;
    volatile LONG limit;   // as last read
    volatile LONG64 looked_tick;      // of the last look of any transfer
    // The budget of all transfers together: bytes since the window began
    // against the time since then, for the limit the window is for.
    volatile LONG64 bytes;
    volatile LONG64 start_tick;
    volatile LONG throttled_limit;
    volatile LONG active;  // transfers between ThrottleStart and ThrottleEnd
};
static SharedWatch g_watch;
static volatile LONG g_transfers_stopped;

static void WatchArmSettings(void) {
    if (!g_watch.changes) return;
    if (RegNotifyChangeKeyValue(g_watch.software, TRUE,
                                REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
                                g_watch.changes, TRUE) != ERROR_SUCCESS) {
        CloseHandle(g_watch.changes);
        g_watch.changes = NULL;
    }
}

static void WatchStopFolder(void) {
    if (g_watch.folder != INVALID_HANDLE_VALUE) {
        // The pending read must be over before its buffer goes away.
        DWORD n = 0;
        if (CancelIo(g_watch.folder)) GetOverlappedResult(g_watch.folder, &g_watch.folder_io, &n, TRUE);
        CloseHandle(g_watch.folder);
    }
    if (g_watch.folder_io.hEvent) CloseHandle(g_watch.folder_io.hEvent);
    g_watch.folder = INVALID_HANDLE_VALUE;
    g_watch.folder_io.hEvent = NULL;
}

// A name made, deleted or renamed in the install directory completes the read.
static void WatchArmFolder(void) {
    if (g_watch.folder == INVALID_HANDLE_VALUE) return;
    ResetEvent(g_watch.folder_io.hEvent);
    if (!ReadDirectoryChangesW(g_watch.folder, g_watch.folder_changes,
                               sizeof(g_watch.folder_changes), FALSE,
                               FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME, NULL,
                               &g_watch.folder_io, NULL))
        WatchStopFolder();
}

static void BudgetRestart(void) {
    InterlockedExchange64(&g_watch.bytes, 0);
    InterlockedExchange64(&g_watch.start_tick, (LONG64)GetTickCount64());
}

// Opened by the first transfer and kept for the Worker's run: a job of many
// files does not open and arm it again per file. Called under the lock.
static void WatchOpen(void) {
    FillZero(&g_watch.folder_io, sizeof(g_watch.folder_io));
    g_watch.folder = CreateFileW(g_install_dir, FILE_LIST_DIRECTORY,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED,
                                 NULL);
    if (g_watch.folder != INVALID_HANDLE_VALUE) {
        g_watch.folder_io.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
        if (g_watch.folder_io.hEvent)
            WatchArmFolder();
        else
            WatchStopFolder();
    }
    g_watch.software = NULL;
    g_watch.changes = NULL;
    // The whole of HKCU\Software: the settings key may be made, deleted or
    // made anew while the download runs.
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_NOTIFY, &g_watch.software) ==
        ERROR_SUCCESS) {
        g_watch.changes = CreateEventW(NULL, FALSE, FALSE, NULL);
        WatchArmSettings();
    } else {
        g_watch.software = NULL;
    }
    g_watch.key = NULL;
    g_watch.open = 1;
}

// The look itself, under the lock: the notifications first, the file test
// and the value read only when one fired or the poll is due.
static void WatchLook(unsigned long long now, int full) {
    int due = full || now - g_watch.checked_tick >= 150;
    int folder_changed = 0, settings_changed = 0;
    if (g_watch.folder != INVALID_HANDLE_VALUE && g_watch.changes) {
        HANDLE handles[2] = {g_watch.folder_io.hEvent, g_watch.changes};
        DWORD r = WaitForMultipleObjects(2, handles, FALSE, 0);
        folder_changed = r == WAIT_OBJECT_0;
        settings_changed = r == WAIT_OBJECT_0 + 1;
        if (r == WAIT_FAILED) due = 1;
    } else {
        due = 1;  // nothing tells of a change: look every time
    }
    if (due) g_watch.checked_tick = now;
    // Armed again before the look, so that a change after it is not missed.
    if (folder_changed) {
        DWORD n = 0;
        GetOverlappedResult(g_watch.folder, &g_watch.folder_io, &n, FALSE);
        WatchArmFolder();
    }
    if (settings_changed) WatchArmSettings();
    if (folder_changed || due) g_watch.paused = IsPauseFlagSet();
    if (settings_changed || due)
        g_watch.limit = (LONG)ReadSettingNumberKept(&g_watch.key, L"BandwidthKbps", 0);
    g_watch.looked_tick = (LONG64)now;
}

// Brings a transfer's view up to date when its clock or byte count says so.
// Within one tick the transfers share one look; a transfer that finds
// another one looking takes the values as they are.
static void ViewRefresh(ThrottleWindow *view, int force) {
    unsigned long long now = GetTickCount64();
    if (!force && now == view->seen_tick && view->unseen_bytes < kLookBytes) return;
    view->seen_tick = now;
    view->unseen_bytes = 0;
    if (force) {
        AcquireSRWLockExclusive(&g_watch.lock);
        WatchLook(now, 1);
        ReleaseSRWLockExclusive(&g_watch.lock);
    } else if ((unsigned long long)g_watch.looked_tick != now &&
               TryAcquireSRWLockExclusive(&g_watch.lock)) {
        if ((unsigned long long)g_watch.looked_tick != now) WatchLook(now, 0);
        ReleaseSRWLockExclusive(&g_watch.lock);
    }
    view->paused = g_watch.paused;
    view->limit = (DWORD)g_watch.limit;
}

// A transfer begins: the watch is opened once for the run, and looked at
// now. The first of the transfers in flight starts the budget anew, so the
// time spent between downloads (hashing, a commit) is no credit.
void ThrottleStart(ThrottleWindow *view) {
    AcquireSRWLockExclusive(&g_watch.lock);
    if (!g_watch.open) WatchOpen();
    if (InterlockedIncrement(&g_watch.active) == 1) {
        WatchLook(GetTickCount64(), 1);
        g_watch.throttled_limit = g_watch.limit;
        BudgetRestart();
    }
    ReleaseSRWLockExclusive(&g_watch.lock);
    view->seen_tick = 0;
    view->unseen_bytes = 0;
    ViewRefresh(view, 1);
}

void ThrottleEnd(ThrottleWindow *view) {
    (void)view;
    InterlockedDecrement(&g_watch.active);
}

// The budget is the bytes of all transfers since the window began against
// the time since then; each transfer that runs ahead of it sleeps (at most
// 500 ms a step), so the sum keeps to the limit. A changed limit starts a
// new window, so neither bytes fetched without a limit nor time spent under
// an older one are paid for or spent under the new one.
void ThrottleTransfer(ThrottleWindow *view, unsigned long long chunk_bytes) {
    view->unseen_bytes += chunk_bytes;
    ViewRefresh(view, 0);
    LONG limit = (LONG)view->limit;
    if (limit != g_watch.throttled_limit) {
        AcquireSRWLockExclusive(&g_watch.lock);
        if (limit != g_watch.throttled_limit) {
            g_watch.throttled_limit = limit;
            BudgetRestart();
        }
        ReleaseSRWLockExclusive(&g_watch.lock);
        return;
    }
    unsigned long long bytes =
        (unsigned long long)InterlockedExchangeAdd64(&g_watch.bytes, (LONG64)chunk_bytes) + chunk_bytes;
    if (limit == 0) return;
    unsigned long long elapsed = GetTickCount64() - (unsigned long long)g_watch.start_tick;
    unsigned long long target = bytes * 1000 / ((unsigned long long)(DWORD)limit * 1024);
    if (target > elapsed) {
        unsigned long long wait = target - elapsed;
        Sleep((DWORD)(wait < 500 ? wait : 500));
    }
}

int TransferPaused(ThrottleWindow *view) {
    ViewRefresh(view, 0);
    return view->paused;
}

void StopTransfers(void) { InterlockedExchange(&g_transfers_stopped, 1); }

int TransfersStopped(void) { return g_transfers_stopped != 0; }

// 1 when the download was paused (and is no longer): a pause is no budget.
// Every transfer in flight waits on its own, each polling the flag.
static int WaitWhilePaused(ThrottleWindow *view) {
    if (!TransferPaused(view)) return 0;
    do Sleep(150);
    while (IsPauseFlagSet() && !TransfersStopped());
    g_watch.paused = 0;
    view->paused = 0;
    AcquireSRWLockExclusive(&g_watch.lock);
    BudgetRestart();
    ReleaseSRWLockExclusive(&g_watch.lock);
    return 1;
}

// done_bytes and the transfer post, shared by the transfer threads.
static SRWLOCK g_progress_lock = SRWLOCK_INIT;

void CountTransferBytes(TransferThread *t, long long bytes) {
    AcquireSRWLockExclusive(&g_progress_lock);
    g_transfer.done_bytes += (unsigned long long)bytes;
    if (t) t->counted += (unsigned long long)bytes;
    PostWorkerTransfer();
    ReleaseSRWLockExclusive(&g_progress_lock);
}

void AdjustExpectedBytes(long long bytes) {
    AcquireSRWLockExclusive(&g_progress_lock);
    g_transfer.expected_bytes += (unsigned long long)bytes;
    PostWorkerTransfer();
    ReleaseSRWLockExclusive(&g_progress_lock);
}

int TransferThreadStart(TransferThread *t) {
    // Every field from zero: a caller's thread on its stack (DownloadToFile)
    // must not carry a stale progress handle into a ranged download.
    FillZero(t, sizeof(*t));
    t->buffer = (unsigned char *)HeapAlloc(GetProcessHeap(), 0, kTransferBufferBytes);
    if (!t->buffer) return 0;
    ThrottleStart(&t->view);
    return 1;
}

void TransferThreadEnd(TransferThread *t) {
    if (!t->buffer) return;
    ThrottleEnd(&t->view);
    HeapFree(GetProcessHeap(), 0, t->buffer);
    t->buffer = NULL;
}

// A host drops a connection that stays idle for long (nginx after a minute
// by default), which a pause does on purpose: the rest is asked for again
// from the bytes on disk. 1 with the new request open (206), 2 when nothing
// is left to fetch (416), 0 on any other answer.
static long long ContentRangeStart(HINTERNET request);
static int ReopenAfterPause(HttpRequest *r, const wchar_t *url, unsigned long long on_disk,
                            long long *declared) {
    CloseRequest(r);
    wchar_t range[64];
    wsprintfW(range, L"Range: bytes=%I64u-\r\n", on_disk);
    DWORD status = 0;
    if (!OpenAndSend(r, url, 60000, range, 0) || !QueryStatus(r->request, &status)) return 0;
    if (status == 416) return 2;
    if (status != 206 || ContentRangeStart(r->request) != (long long)on_disk) return 0;
    *declared = DeclaredLength(r->request);
    LogLine("HTTP Range resume accepted");
    return 1;
}

// A body's length past 2^31 - 1 is not safe with every HTTP stack on the
// way (Wine's WinHTTP reads a larger Content-Length as 2^31 - 1 and ends the
// body there): a file larger than this is asked for in ranges of this size.
static const unsigned long long kLargeFileRangeBytes = 1ULL << 30;
static int DownloadInRanges(TransferThread *t, const wchar_t *url, const wchar_t *destination,
                            unsigned long long on_disk, unsigned long long size);

// What a failed answer means: a server error or a lost connection may pass
// (asked again by the caller); a refusal (404, 403, 416 without an offset)
// or a local fault does not.
static int StatusFault(DWORD status) {
    return status >= 500 && status < 600 ? DOWNLOAD_RETRY : DOWNLOAD_FAILED;
}

int DownloadToFileOn(TransferThread *t, const wchar_t *url, const wchar_t *destination,
                     unsigned long long size_limit) {
    unsigned long long bytes_this_call = 0;
    unsigned char *buffer = t->buffer;
    ThrottleWindow *view = &t->view;
    unsigned long long offset = FileExists(destination) ? GetFileSize64(destination) : 0;
    if (size_limit > HttpRangeLimitBytes()) {
        int ranged = DownloadInRanges(t, url, destination, offset, size_limit);
        if (ranged >= 0) return ranged;
        // The host answers ranges with the whole body: one request, as for
        // any other file.
        offset = FileExists(destination) ? GetFileSize64(destination) : 0;
    }
    HttpRequest r = {NULL};
    HANDLE file = INVALID_HANDLE_VALUE;
    int result = DOWNLOAD_RETRY;  // a lost connection, until the answer says more
    int oversized = 0;
    int paused_since_request = 0;
    unsigned long long request_bytes = 0;
    DWORD status = 0;
    long long declared = -1;
    wchar_t range[64];
    if (offset > 0) wsprintfW(range, L"Range: bytes=%I64u-\r\n", offset);
    for (int asked = 0;; ++asked) {
        if (!OpenAndSend(&r, url, 60000, offset > 0 ? range : NULL, 0)) goto done;
        if (!QueryStatus(r.request, &status)) status = 0;
        // A part answer must start where the file on disk ends; one that
        // starts elsewhere is dropped unread and asked for once more.
        if (!(offset > 0 && status == 206 && ContentRangeStart(r.request) != (long long)offset))
            break;
        CloseRequest(&r);
        if (asked > 0) {
            result = DOWNLOAD_FAILED;
            goto done;
        }
        LogLine("Range answer starts elsewhere; asked again");
    }
    if (status == 416 && offset > 0) {
        result = DOWNLOAD_DONE;  // nothing beyond what is on disk; the caller's hash decides
        goto done;
    }
    if (status < 200 || status >= 300) {
        result = StatusFault(status);
        goto done;
    }
    declared = DeclaredLength(r.request);
    // A cache may answer the range past a complete file with the whole body
    // instead of 416. When the file on disk already has the signed size and
    // the body is that long too, nothing is missing: the hash check decides,
    // and only a mismatch fetches the file again.
    if (status == 200 && offset > 0 && size_limit > 0 && offset == size_limit &&
        declared >= 0 && (unsigned long long)declared == size_limit) {
        LogLine("Staged file already complete; whole-file answer to its range not read");
        result = DOWNLOAD_DONE;
        goto done;
    }
    CreateParentDirectory(destination);
    result = DOWNLOAD_FAILED;  // until the read loop says otherwise
    if (offset > 0 && status == 206) {
        file = CreateFileW(destination, GENERIC_WRITE, 0, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           NULL);
        if (file == INVALID_HANDLE_VALUE) goto done;
        LARGE_INTEGER zero;
        zero.QuadPart = 0;
        if (!SetFilePointerEx(file, zero, NULL, FILE_END)) goto done;
        CountTransferBytes(t, (long long)offset);
        LogLine("HTTP Range resume accepted");
    } else {
        offset = 0;
        file = CreateFileW(destination, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, NULL);
        if (file == INVALID_HANDLE_VALUE) goto done;
    }
    for (;;) {
        if (WaitWhilePaused(view)) paused_since_request = 1;
        DWORD available = 0;
        int broken = 0;
        if (TransfersStopped()) goto done;
        if (!WinHttpQueryDataAvailable(r.request, &available)) {
            broken = 1;
            goto ended;
        }
        if (available == 0) goto ended;
        while (available > 0) {
            DWORD want = available < (DWORD)kTransferBufferBytes ? available : (DWORD)kTransferBufferBytes;
            if (WaitWhilePaused(view)) paused_since_request = 1;
            DWORD read = 0;
            if (!WinHttpReadData(r.request, buffer, want, &read)) {
                broken = 1;
                goto ended;
            }
            if (read == 0) break;
            // A file never grows past the size its signed manifest gives: a
            // host that keeps sending cannot fill the disk before the hash
            // check comes.
            if (size_limit > 0 && offset + bytes_this_call + read > size_limit) {
                oversized = 1;
                goto done;
            }
            DWORD written = 0;
            if (!WriteFile(file, buffer, read, &written, NULL) || written != read) goto done;
            available -= read;
            bytes_this_call += read;
            request_bytes += read;
            CountTransferBytes(t, read);
            ThrottleTransfer(view, read);
        }
        continue;
    ended:
        // A connection that closes early can look like the end of the body; a
        // short body is an interrupted download (the .part stays for resume),
        // never a finished one.
        if (!broken && (declared < 0 || (unsigned long long)declared == request_bytes)) {
            result = DOWNLOAD_DONE;
            break;
        }
        // Once per pause, the rest is asked for again before the download
        // counts as interrupted.
        if (!paused_since_request) {
            result = DOWNLOAD_RETRY;
            break;
        }
        paused_since_request = 0;
        request_bytes = 0;
        int reopened = ReopenAfterPause(&r, url, offset + bytes_this_call, &declared);
        if (reopened == 2) result = DOWNLOAD_DONE;
        if (reopened != 1) {
            if (reopened == 0) result = DOWNLOAD_RETRY;
            break;
        }
    }
done:
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    CloseRequest(&r);
    if (oversized) {
        // More bytes than the signed size can never hash right: nothing to resume.
        DeleteFileW(destination);
        LogLine("Download exceeds the signed file size; .part deleted");
        result = DOWNLOAD_FAILED;
    }
    if (TransfersStopped() && result != DOWNLOAD_DONE) result = DOWNLOAD_FAILED;
    return result;
}

int DownloadToFile(const wchar_t *url, const wchar_t *destination, unsigned long long size_limit) {
    TransferThread t;
    if (!TransferThreadStart(&t)) return 0;
    int result = DownloadToFileOn(&t, url, destination, size_limit);
    TransferThreadEnd(&t);
    if (result != DOWNLOAD_DONE) LogLine("Download interrupted; .part retained for resume");
    return result == DOWNLOAD_DONE;
}

// The first offset of a Content-Range answer ("bytes 100-199/1000"), or -1.
static long long ContentRangeStart(HINTERNET request) {
    return HeaderNumber(request, WINHTTP_QUERY_CONTENT_RANGE, L"bytes ");
}

// Writes the body of an answer to file at its position, at most count
// bytes, under the pause flag and the bandwidth limit, hashing it when hash
// is given; 1 when exactly count bytes came.
static int ReceiveBody(TransferThread *t, HttpRequest *r, HANDLE file, unsigned long long count,
                       Sha256State *hash, unsigned long long *received_out) {
    unsigned char *buffer = t->buffer;
    ThrottleWindow *view = &t->view;
    unsigned long long received = 0;
    for (;;) {
        if (WaitWhilePaused(view)) t->paused_in_request = 1;
        DWORD available = 0;
        if (TransfersStopped()) return 0;
        if (!WinHttpQueryDataAvailable(r->request, &available)) return 0;
        if (available == 0) break;
        while (available > 0) {
            DWORD want = available < (DWORD)kTransferBufferBytes ? available : (DWORD)kTransferBufferBytes;
            // Under a limit a read is at most a quarter second of it: the
            // throttle sleeps at most 500 ms a step, so whole buffers would
            // run ahead of a low limit on a short transfer.
            DWORD step = view->limit > 16 ? view->limit * 256 : 4096;
            if (view->limit > 0 && want > step) want = step;
            if (WaitWhilePaused(view)) t->paused_in_request = 1;
            DWORD read = 0;
            if (!WinHttpReadData(r->request, buffer, want, &read)) return 0;
            if (read == 0) break;
            if (received + read > count) return 0;  // never past the asked range
            if (hash && !Sha256Add(hash, buffer, read)) return 0;
            DWORD written = 0;
            if (!WriteFile(file, buffer, read, &written, NULL) || written != read) return 0;
            available -= read;
            received += read;
            *received_out = received;
            if (t->progress) {
                unsigned long long done = t->progress_base + received;
                OVERLAPPED at;
                FillZero(&at, sizeof(at));
                at.Offset = (DWORD)t->progress_at;
                at.OffsetHigh = (DWORD)(t->progress_at >> 32);
                DWORD n = 0;
                WriteFile(t->progress, &done, sizeof(done), &n, &at);
            }
            CountTransferBytes(t, read);
            ThrottleTransfer(view, read);
        }
    }
    return received == count;
}

int DownloadRange(TransferThread *t, const wchar_t *url, HANDLE file, unsigned long long first,
                  unsigned long long count, unsigned long long *received_out) {
    HttpRequest r = {NULL};
    int result = RANGE_FAILED;
    DWORD status = 0;
    wchar_t range[80];
    *received_out = 0;
    t->paused_in_request = 0;
    if (count == 0) return RANGE_FAILED;
    wsprintfW(range, L"Range: bytes=%I64u-%I64u\r\n", first, first + count - 1);
    for (int asked = 0;; ++asked) {
        if (!OpenAndSend(&r, url, 60000, range, 0)) goto done;
        if (!QueryStatus(r.request, &status)) status = 0;
        if (!(status == 206 && ContentRangeStart(r.request) != (long long)first)) break;
        // Another range than the asked one is dropped unread and asked for
        // once more; a host that keeps doing so cannot serve pieces.
        CloseRequest(&r);
        if (asked > 0) {
            result = RANGE_IGNORED;
            goto done;
        }
        LogLine("Range answer starts elsewhere; asked again");
    }
    // The whole body means the host cannot serve pieces: the caller takes
    // the whole file instead.
    if (status == 200) {
        result = RANGE_IGNORED;
        goto done;
    }
    if (status != 206) goto done;
    if (ReceiveBody(t, &r, file, count, NULL, received_out)) result = RANGE_DONE;
done:
    CloseRequest(&r);
    return result;
}

int DownloadObject(TransferThread *t, const wchar_t *url, HANDLE file, unsigned long long count,
                   Sha256State *hash, unsigned long long *received) {
    HttpRequest r = {NULL};
    int result = RANGE_FAILED;
    DWORD status = 0;
    *received = 0;
    t->paused_in_request = 0;
    if (OpenAndSend(&r, url, 60000, NULL, 0) && QueryStatus(r.request, &status)) {
        if (status == 404)
            result = OBJECT_MISSING;
        else if (status == 200 && ReceiveBody(t, &r, file, count, hash, received))
            result = RANGE_DONE;
    }
    CloseRequest(&r);
    return result;
}

unsigned long long HttpRangeLimitBytes(void) {
#ifdef ORV_TEST_HOOKS
    // ORV_TEST_RANGE_BYTES=<n>: smaller ranges, so a test can fetch a file
    // of a few MiB the way a file past the limit is fetched.
    wchar_t value[24];
    DWORD n = GetEnvironmentVariableW(L"ORV_TEST_RANGE_BYTES", value, 24);
    if (n > 0 && n < 24 && ParseWideDecimal(value) > 0) return ParseWideDecimal(value);
#endif
    return kLargeFileRangeBytes;
}

// Fetches count bytes at first into file (positioned there) with a few
// retries: a range cut by a fault is asked for again from where it ended,
// after a growing pause; one cut by a pause of the download is asked for
// again at once and costs no retry. RANGE_DONE, RANGE_IGNORED (the host
// answers ranges with the whole body) or RANGE_FAILED once the fault
// persists.
int DownloadRangeRetrying(TransferThread *t, const wchar_t *url, HANDLE file,
                          unsigned long long first, unsigned long long count) {
    int faults = 0;
    for (;;) {
        unsigned long long got = 0;
        int result = DownloadRange(t, url, file, first, count, &got);
        if (result != RANGE_FAILED) return result;
        first += got;
        count -= got;
        t->progress_base += got;
        if (TransfersStopped()) return RANGE_FAILED;
        if (t->paused_in_request) continue;
        if (faults >= kTransferRetries) return RANGE_FAILED;
        LogLine("Range transfer interrupted; asking again");
        RetryBackoff(faults++);
    }
}

void RetryBackoff(int faults) {
    // 0.5 s, 1 s, 2 s: a restarted host or a moment of lost network passes.
    DWORD wait = 500u << (faults < 3 ? faults : 3);
    for (DWORD slept = 0; slept < wait && !TransfersStopped(); slept += 50) Sleep(50);
}

// The rest of a file past the range limit, range by range, appended to the
// ".part" (kept for the next run when a range fails). DOWNLOAD_DONE when
// every byte up to the signed size is on disk (the caller's hash decides),
// DOWNLOAD_RETRY or DOWNLOAD_FAILED when a range failed, -1 when the host
// answered a range with the whole body (the caller then takes the whole file
// once; the part stays as it is).
static int DownloadInRanges(TransferThread *t, const wchar_t *url, const wchar_t *destination,
                            unsigned long long on_disk, unsigned long long size) {
    if (on_disk > size) {
        // More bytes than the signed size can never hash right.
        DeleteFileW(destination);
        on_disk = 0;
    }
    if (on_disk == size) return DOWNLOAD_DONE;
    CreateParentDirectory(destination);
    HANDLE file = CreateFileW(destination, GENERIC_WRITE, 0, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return DOWNLOAD_FAILED;
    LARGE_INTEGER at;
    at.QuadPart = (LONGLONG)on_disk;
    if (!SetFilePointerEx(file, at, NULL, FILE_BEGIN) || !SetEndOfFile(file)) {
        CloseHandle(file);
        return DOWNLOAD_FAILED;
    }
    if (on_disk > 0) {
        CountTransferBytes(t, (long long)on_disk);
        LogLine("HTTP Range resume accepted");
    }
    const unsigned long long step = HttpRangeLimitBytes();
    const unsigned long long counted_before = t->counted - on_disk;
    int result = DOWNLOAD_DONE;
    while (on_disk < size) {
        unsigned long long count = size - on_disk < step ? size - on_disk : step;
        int got = DownloadRangeRetrying(t, url, file, on_disk, count);
        if (got == RANGE_IGNORED) {
            // Whatever this call counted is counted again by the whole file.
            CountTransferBytes(t, -(long long)(t->counted - counted_before));
            result = -1;
            break;
        }
        if (got != RANGE_DONE) {
            result = DOWNLOAD_RETRY;
            break;
        }
        on_disk += count;
    }
    CloseHandle(file);
    return result;
}
