// HTTPS transfers from the update host: documents into memory, files into a
// resumable ".part" with pause and bandwidth limit. Synchronous WinHTTP on the
// Worker's only thread; no content checks here (that is the caller's hash or
// signature step).
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
// the process ends (the Worker is single-threaded and short-lived).
static HINTERNET g_session;
static HINTERNET g_connection;

struct HttpRequest {
    HINTERNET request;
};

static void CloseRequest(HttpRequest *r) {
    if (r->request) WinHttpCloseHandle(r->request);
    r->request = NULL;
}

static int OpenConnection(int log_open_failure) {
    if (g_connection) return 1;
    if (!g_session) {
        g_session = WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
        if (!g_session) {
            if (log_open_failure) LogFailure("WinHttpOpen failed");
            return 0;
        }
    }
    g_connection = WinHttpConnect(g_session, kUpdateHost, INTERNET_DEFAULT_HTTPS_PORT, 0);
    return g_connection ? 1 : 0;
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
    *out_body = NULL;
    *out_length = 0;
    HttpRequest r = {NULL};
    HANDLE heap = GetProcessHeap();
    char *body = NULL;
    unsigned long long capacity = 0;
    unsigned long long length = 0;
    int ok = 0;
    DWORD status = 0;
    if (!OpenAndSend(&r, url, 18000, NULL, 1)) goto done;
    if (QueryStatus(r.request, &status) && (status < 200 || status >= 300)) goto done;
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
    ok = 1;
done:
    if (body) HeapFree(heap, 0, body);
    CloseRequest(&r);
    return ok;
}

// What another process may change while a download runs: the pause flag (a
// file in the install directory) and the bandwidth limit (the settings key).
// Both are watched by change notifications, so the look at every read is one
// wait on the two with no timeout; the file is tested and the value read
// again only when something changed, and in any case after 150 ms without a
// look (a folder or registry that gives no notifications still works, as
// fast as the pause poll).
static void WatchArmSettings(ThrottleWindow *window) {
    if (!window->changes) return;
    if (RegNotifyChangeKeyValue(window->software, TRUE,
                                REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
                                window->changes, TRUE) != ERROR_SUCCESS) {
        CloseHandle(window->changes);
        window->changes = NULL;
    }
}

static void WatchStopFolder(ThrottleWindow *window) {
    if (window->folder != INVALID_HANDLE_VALUE) {
        // The pending read must be over before its buffer goes away.
        DWORD n = 0;
        if (CancelIo(window->folder)) GetOverlappedResult(window->folder, &window->folder_io, &n, TRUE);
        CloseHandle(window->folder);
    }
    if (window->folder_io.hEvent) CloseHandle(window->folder_io.hEvent);
    window->folder = INVALID_HANDLE_VALUE;
    window->folder_io.hEvent = NULL;
}

// A name made, deleted or renamed in the install directory completes the read.
static void WatchArmFolder(ThrottleWindow *window) {
    if (window->folder == INVALID_HANDLE_VALUE) return;
    ResetEvent(window->folder_io.hEvent);
    if (!ReadDirectoryChangesW(window->folder, window->folder_changes,
                               sizeof(window->folder_changes), FALSE,
                               FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME, NULL,
                               &window->folder_io, NULL))
        WatchStopFolder(window);
}

static void WatchStart(ThrottleWindow *window) {
    FillZero(&window->folder_io, sizeof(window->folder_io));
    window->folder = CreateFileW(g_install_dir, FILE_LIST_DIRECTORY,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED,
                                 NULL);
    if (window->folder != INVALID_HANDLE_VALUE) {
        window->folder_io.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
        if (window->folder_io.hEvent)
            WatchArmFolder(window);
        else
            WatchStopFolder(window);
    }
    window->software = NULL;
    window->changes = NULL;
    // The whole of HKCU\Software: the settings key may be made, deleted or
    // made anew while the download runs.
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_NOTIFY, &window->software) ==
        ERROR_SUCCESS) {
        window->changes = CreateEventW(NULL, FALSE, FALSE, NULL);
        WatchArmSettings(window);
    } else {
        window->software = NULL;
    }
    window->key = NULL;
}

// Brings the pause state and the limit up to date. Two looks with nothing in
// between that waits (a read, a query, a sleep) would see the same: the
// second one is left out.
static void WatchRefresh(ThrottleWindow *window) {
    if (window->fresh) return;
    window->fresh = 1;
    unsigned long long now = GetTickCount64();
    int due = now - window->checked_tick >= 150;
    if (due) window->checked_tick = now;
    int folder_changed = 0, settings_changed = 0;
    if (window->folder != INVALID_HANDLE_VALUE && window->changes) {
        HANDLE handles[2] = {window->folder_io.hEvent, window->changes};
        DWORD r = WaitForMultipleObjects(2, handles, FALSE, 0);
        folder_changed = r == WAIT_OBJECT_0;
        settings_changed = r == WAIT_OBJECT_0 + 1;
        if (r == WAIT_FAILED) due = 1;
    } else {
        due = 1;  // nothing tells of a change: look every time
    }
    // Armed again before the look, so that a change after it is not missed.
    if (folder_changed) {
        DWORD n = 0;
        GetOverlappedResult(window->folder, &window->folder_io, &n, FALSE);
        WatchArmFolder(window);
    }
    if (settings_changed) WatchArmSettings(window);
    if (folder_changed || due) window->paused = IsPauseFlagSet();
    if (settings_changed || due) window->limit = ReadSettingNumberKept(&window->key, L"BandwidthKbps", 0);
}

// A download on an open watch (just opened, or kept from an earlier
// download): the pause flag and the limit are looked at now, and the budget
// starts anew.
static void ThrottleResume(ThrottleWindow *window) {
    window->paused = IsPauseFlagSet();
    window->limit = ReadSettingNumberKept(&window->key, L"BandwidthKbps", 0);
    window->checked_tick = GetTickCount64();
    window->fresh = 1;
    window->throttled_limit = window->limit;
    ThrottleRestart(window);
}

void ThrottleStart(ThrottleWindow *window) {
    WatchStart(window);
    ThrottleResume(window);
}

void ThrottleRestart(ThrottleWindow *window) {
    window->bytes = 0;
    window->start_tick = GetTickCount64();
}

void ThrottleEnd(ThrottleWindow *window) {
    WatchStopFolder(window);
    if (window->changes) CloseHandle(window->changes);
    if (window->software) RegCloseKey(window->software);
    if (window->key) RegCloseKey(window->key);
    window->changes = NULL;
    window->software = NULL;
    window->key = NULL;
}

// The limit is read anew at every step. The budget is the bytes of the window
// against the time since the window began; a changed limit starts a new
// window, so neither bytes fetched without a limit nor time spent under an
// older one are paid for or spent under the new one.
void ThrottleTransfer(ThrottleWindow *window, unsigned long long chunk_bytes) {
    WatchRefresh(window);
    DWORD limit = window->limit;
    if (limit != window->throttled_limit) {
        window->throttled_limit = limit;
        ThrottleRestart(window);
        return;
    }
    window->bytes += chunk_bytes;
    if (limit == 0 || window->bytes == 0) return;
    unsigned long long elapsed = GetTickCount64() - window->start_tick;
    unsigned long long target = window->bytes * 1000 / ((unsigned long long)limit * 1024);
    if (target > elapsed) {
        unsigned long long wait = target - elapsed;
        Sleep((DWORD)(wait < 500 ? wait : 500));
        window->fresh = 0;
    }
}

void TransferWaited(ThrottleWindow *window) { window->fresh = 0; }

int TransferPaused(ThrottleWindow *window) {
    WatchRefresh(window);
    return window->paused;
}

// 1 when the download was paused (and is no longer): a pause is no budget.
static int WaitWhilePaused(ThrottleWindow *window) {
    if (!TransferPaused(window)) return 0;
    do Sleep(150);
    while (IsPauseFlagSet());
    window->paused = 0;
    window->fresh = 0;
    ThrottleRestart(window);
    return 1;
}

// A host drops a connection that stays idle for long (nginx after a minute
// by default), which a pause does on purpose: the rest is asked for again
// from the bytes on disk. 1 with the new request open (206), 2 when nothing
// is left to fetch (416), 0 on any other answer.
static int ReopenAfterPause(HttpRequest *r, const wchar_t *url, unsigned long long on_disk,
                            long long *declared) {
    CloseRequest(r);
    wchar_t range[64];
    wsprintfW(range, L"Range: bytes=%I64u-\r\n", on_disk);
    DWORD status = 0;
    if (!OpenAndSend(r, url, 60000, range, 0) || !QueryStatus(r->request, &status)) return 0;
    if (status == 416) return 2;
    if (status != 206) return 0;
    *declared = DeclaredLength(r->request);
    LogLine("HTTP Range resume accepted");
    return 1;
}

// A body's length past 2^31 - 1 is not safe with every HTTP stack on the
// way (Wine's WinHTTP reads a larger Content-Length as 2^31 - 1 and ends the
// body there): a file larger than this is asked for in ranges of this size.
static const unsigned long long kLargeFileRangeBytes = 1ULL << 30;
static int DownloadInRanges(const wchar_t *url, const wchar_t *destination,
                            unsigned long long on_disk, unsigned long long size,
                            ThrottleWindow *window);

int DownloadToFile(const wchar_t *url, const wchar_t *destination, unsigned long long size_limit) {
    unsigned long long bytes_this_call = 0;
    HANDLE heap = GetProcessHeap();
    unsigned char *buffer = (unsigned char *)HeapAlloc(heap, 0, kTransferBufferBytes);
    if (!buffer) return 0;
    // The watch (the install folder and the settings key) is opened by the
    // first download and kept for the Worker's run: a job of many files does
    // not open and arm it again per file. The Worker is single-threaded.
    static ThrottleWindow window;
    static int watching;
    if (!watching) {
        ThrottleStart(&window);
        watching = 1;
    } else {
        ThrottleResume(&window);
    }
    unsigned long long offset = FileExists(destination) ? GetFileSize64(destination) : 0;
    if (size_limit > HttpRangeLimitBytes()) {
        int ranged = DownloadInRanges(url, destination, offset, size_limit, &window);
        if (ranged >= 0) {
            HeapFree(heap, 0, buffer);
            return ranged;
        }
        // The host answers ranges with the whole body: one request, as for
        // any other file.
        offset = FileExists(destination) ? GetFileSize64(destination) : 0;
    }
    HttpRequest r = {NULL};
    HANDLE file = INVALID_HANDLE_VALUE;
    int ok = 0;
    int oversized = 0;
    int paused_since_request = 0;
    unsigned long long request_bytes = 0;
    DWORD status = 0;
    long long declared = -1;
    wchar_t range[64];
    if (offset > 0) wsprintfW(range, L"Range: bytes=%I64u-\r\n", offset);
    if (!OpenAndSend(&r, url, 60000, offset > 0 ? range : NULL, 0)) goto done;
    if (!QueryStatus(r.request, &status)) status = 0;
    if (status == 416 && offset > 0) {
        ok = 1;  // nothing beyond what is on disk; the caller's hash decides
        goto done;
    }
    if (status < 200 || status >= 300) goto done;
    declared = DeclaredLength(r.request);
    // A cache may answer the range past a complete file with the whole body
    // instead of 416. When the file on disk already has the signed size and
    // the body is that long too, nothing is missing: the hash check decides,
    // and only a mismatch fetches the file again.
    if (status == 200 && offset > 0 && size_limit > 0 && offset == size_limit &&
        declared >= 0 && (unsigned long long)declared == size_limit) {
        LogLine("Staged file already complete; whole-file answer to its range not read");
        ok = 1;
        goto done;
    }
    CreateParentDirectory(destination);
    if (offset > 0 && status == 206) {
        file = CreateFileW(destination, GENERIC_WRITE, 0, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           NULL);
        if (file == INVALID_HANDLE_VALUE) goto done;
        LARGE_INTEGER zero;
        zero.QuadPart = 0;
        if (!SetFilePointerEx(file, zero, NULL, FILE_END)) goto done;
        g_transfer.done_bytes += offset;
        PostWorkerTransfer();
        LogLine("HTTP Range resume accepted");
    } else {
        offset = 0;
        file = CreateFileW(destination, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, NULL);
        if (file == INVALID_HANDLE_VALUE) goto done;
    }
    for (;;) {
        if (WaitWhilePaused(&window)) paused_since_request = 1;
        DWORD available = 0;
        int broken = 0;
        if (!WinHttpQueryDataAvailable(r.request, &available)) {
            broken = 1;
            goto ended;
        }
        TransferWaited(&window);
        if (available == 0) goto ended;
        while (available > 0) {
            DWORD want = available < (DWORD)kTransferBufferBytes ? available : (DWORD)kTransferBufferBytes;
            if (WaitWhilePaused(&window)) paused_since_request = 1;
            DWORD read = 0;
            if (!WinHttpReadData(r.request, buffer, want, &read)) {
                broken = 1;
                goto ended;
            }
            TransferWaited(&window);
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
            g_transfer.done_bytes += read;
            bytes_this_call += read;
            request_bytes += read;
            PostWorkerTransfer();
            ThrottleTransfer(&window, read);
        }
        continue;
    ended:
        // A connection that closes early can look like the end of the body; a
        // short body is an interrupted download (the .part stays for resume),
        // never a finished one.
        if (!broken && (declared < 0 || (unsigned long long)declared == request_bytes)) {
            ok = 1;
            break;
        }
        // Once per pause, the rest is asked for again before the download
        // counts as interrupted.
        if (!paused_since_request) break;
        paused_since_request = 0;
        request_bytes = 0;
        int reopened = ReopenAfterPause(&r, url, offset + bytes_this_call, &declared);
        if (reopened == 2) ok = 1;
        if (reopened != 1) break;
    }
done:
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    CloseRequest(&r);
    HeapFree(heap, 0, buffer);
    if (oversized) {
        // More bytes than the signed size can never hash right: nothing to resume.
        DeleteFileW(destination);
        LogLine("Download exceeds the signed file size; .part deleted");
    }
    if (!ok) LogLine("Download interrupted; .part retained for resume");
    return ok;
}

// The first offset of a Content-Range answer ("bytes 100-199/1000"), or -1.
static long long ContentRangeStart(HINTERNET request) {
    return HeaderNumber(request, WINHTTP_QUERY_CONTENT_RANGE, L"bytes ");
}

int DownloadRange(const wchar_t *url, HANDLE file, unsigned long long first,
                  unsigned long long count, ThrottleWindow *window) {
    HANDLE heap = GetProcessHeap();
    unsigned char *buffer = (unsigned char *)HeapAlloc(heap, 0, kTransferBufferBytes);
    if (!buffer || count == 0) {
        if (buffer) HeapFree(heap, 0, buffer);
        return RANGE_FAILED;
    }
    HttpRequest r = {NULL};
    int result = RANGE_FAILED;
    unsigned long long received = 0;
    DWORD status = 0;
    wchar_t range[80];
    wsprintfW(range, L"Range: bytes=%I64u-%I64u\r\n", first, first + count - 1);
    if (!OpenAndSend(&r, url, 60000, range, 0)) goto done;
    if (!QueryStatus(r.request, &status)) status = 0;
    // Anything but the asked range (the whole body, another range) means the
    // host cannot serve pieces: the caller takes the whole file instead.
    if (status == 200 || (status == 206 && ContentRangeStart(r.request) != (long long)first)) {
        result = RANGE_IGNORED;
        goto done;
    }
    if (status != 206) goto done;
    for (;;) {
        WaitWhilePaused(window);
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(r.request, &available)) goto done;
        TransferWaited(window);
        if (available == 0) break;
        while (available > 0) {
            DWORD want = available < (DWORD)kTransferBufferBytes ? available : (DWORD)kTransferBufferBytes;
            WaitWhilePaused(window);
            DWORD read = 0;
            if (!WinHttpReadData(r.request, buffer, want, &read)) goto done;
            TransferWaited(window);
            if (read == 0) break;
            if (received + read > count) goto done;  // never past the asked range
            DWORD written = 0;
            if (!WriteFile(file, buffer, read, &written, NULL) || written != read) goto done;
            available -= read;
            received += read;
            g_transfer.done_bytes += read;
            PostWorkerTransfer();
            ThrottleTransfer(window, read);
        }
    }
    if (received == count) result = RANGE_DONE;
done:
    CloseRequest(&r);
    HeapFree(heap, 0, buffer);
    if (result == RANGE_FAILED) LogLine("Download interrupted; .part retained for resume");
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

// The rest of a file past the range limit, range by range, appended to the
// ".part" (kept for the next run when a range fails). 1 when every byte up to
// the signed size is on disk (the caller's hash decides), 0 when a range
// failed, -1 when the host answered a range with the whole body (nothing was
// written by this call).
static int DownloadInRanges(const wchar_t *url, const wchar_t *destination,
                            unsigned long long on_disk, unsigned long long size,
                            ThrottleWindow *window) {
    if (on_disk > size) {
        // More bytes than the signed size can never hash right.
        DeleteFileW(destination);
        on_disk = 0;
    }
    if (on_disk == size) return 1;
    CreateParentDirectory(destination);
    HANDLE file = CreateFileW(destination, GENERIC_WRITE, 0, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return 0;
    LARGE_INTEGER at;
    at.QuadPart = (LONGLONG)on_disk;
    if (!SetFilePointerEx(file, at, NULL, FILE_BEGIN) || !SetEndOfFile(file)) {
        CloseHandle(file);
        return 0;
    }
    if (on_disk > 0) {
        g_transfer.done_bytes += on_disk;
        PostWorkerTransfer();
        LogLine("HTTP Range resume accepted");
    }
    const unsigned long long step = HttpRangeLimitBytes();
    int result = 1;
    int first = 1;
    int retried_after_pause = 0;
    while (on_disk < size) {
        unsigned long long count = size - on_disk < step ? size - on_disk : step;
        unsigned long long before = g_transfer.done_bytes;
        int was_paused = TransferPaused(window);
        int got = DownloadRange(url, file, on_disk, count, window);
        if (got == RANGE_IGNORED && first) {
            result = -1;
            break;
        }
        if (got != RANGE_DONE) {
            // A pause longer than the host's idle timeout drops the
            // connection: the rest of the range is asked for once more.
            unsigned long long written = g_transfer.done_bytes - before;
            if (got == RANGE_FAILED && (was_paused || written > 0) && !retried_after_pause) {
                retried_after_pause = 1;
                on_disk += written;
                continue;
            }
            result = 0;
            break;
        }
        first = 0;
        retried_after_pause = 0;
        on_disk += count;
    }
    CloseHandle(file);
    return result;
}
