// Runtime helpers shared by every program. Only operating-system calls;
// no allocation except the one buffer ReadWholeFile hands to its caller.
#include "runtime.h"

wchar_t g_install_dir[kInstallDirUnits];

void WideCopy(wchar_t *dst, const wchar_t *src, unsigned long long capacity) {
    if (capacity == 0) return;
    unsigned long long i = 0;
    if (src) {
        while (i + 1 < capacity && src[i] != 0) {
            dst[i] = src[i];
            ++i;
        }
    }
    dst[i] = 0;
}

wchar_t *WideAppend(wchar_t *dst, const wchar_t *src, unsigned long long capacity) {
    unsigned long long at = WideLength(dst);
    if (!src || at + 1 >= capacity) return dst;
    while (at + 1 < capacity && *src != 0) dst[at++] = *src++;
    dst[at] = 0;
    return dst;
}

unsigned long long WideLength(const wchar_t *s) {
    unsigned long long n = 0;
    if (s) while (s[n] != 0) ++n;
    return n;
}

unsigned long long NarrowLength(const char *s) {
    unsigned long long n = 0;
    if (s) while (s[n] != 0) ++n;
    return n;
}

wchar_t FoldAscii(wchar_t unit) {
    return unit >= L'A' && unit <= L'Z' ? (wchar_t)(unit - L'A' + L'a') : unit;
}

int WideEquals(const wchar_t *a, const wchar_t *b) {
    if (!a || !b) return 0;
    for (;; ++a, ++b) {
        if (*a != *b) return 0;
        if (*a == 0) return 1;
    }
}

int WideContains(const wchar_t *text, const wchar_t *needle) {
    if (!needle || needle[0] == 0) return 1;
    if (!text) return 0;
    for (; *text; ++text) {
        unsigned long long k = 0;
        while (needle[k] != 0 && text[k] == needle[k]) ++k;
        if (needle[k] == 0) return 1;
    }
    return 0;
}

unsigned long long ParseWideDecimal(const wchar_t *s) {
    unsigned long long value = 0;
    if (!s) return 0;
    while (*s >= L'0' && *s <= L'9') value = value * 10 + (unsigned long long)(*s++ - L'0');
    return value;
}

int Utf8ToWide(const char *src, wchar_t *dst, int capacity) {
    if (!src || !dst || capacity <= 0) return 0;
    int written = MultiByteToWideChar(CP_UTF8, 0, src, -1, dst, capacity);
    if (written <= 0) {
        dst[0] = 0;  // a text that does not fit becomes empty, never cut
        return 0;
    }
    return written;
}

void AppendDecimal(char *text, unsigned long long capacity, unsigned long long value) {
    char digits[20];
    int count = 0;
    do {
        digits[count++] = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0);
    unsigned long long at = NarrowLength(text);
    while (count > 0 && at + 1 < capacity) text[at++] = digits[--count];
    if (at < capacity) text[at] = 0;
}

char HexDigitLower(unsigned int value) {
    return (char)(value < 10 ? '0' + value : 'a' + (value - 10));
}

void FillZero(void *buffer, unsigned long long count) {
    volatile unsigned char *p = (volatile unsigned char *)buffer;
    while (count--) *p++ = 0;
}

void CopyBytes(void *dst, const void *src, unsigned long long count) {
    unsigned char *d = (unsigned char *)dst;
    const unsigned char *s = (const unsigned char *)src;
    while (count--) *d++ = *s++;
}

void GetInstallDirectory(void) {
    DWORD n = GetModuleFileNameW(NULL, g_install_dir, kInstallDirUnits - 1);
    g_install_dir[kInstallDirUnits - 1] = 0;
    if (n >= kInstallDirUnits) n = kInstallDirUnits - 1;
    for (DWORD i = n; i > 0; --i) {
        if (g_install_dir[i - 1] == L'\\' || g_install_dir[i - 1] == L'/') {
            g_install_dir[i - 1] = 0;
            return;
        }
    }
}

wchar_t *JoinPath(const wchar_t *base, const wchar_t *name, wchar_t *dst,
                  unsigned long long capacity) {
    WideCopy(dst, base, capacity);
    WideAppend(dst, L"\\", capacity);
    WideAppend(dst, name, capacity);
    return dst;
}

void InstallPath(const wchar_t *name, wchar_t *dst, unsigned long long capacity) {
    JoinPath(g_install_dir, name, dst, capacity);
}

static int HasLongPathPrefix(const wchar_t *path) {
    return path[0] == L'\\' && path[1] == L'\\' && (path[2] == L'?' || path[2] == L'.') &&
           path[3] == L'\\';
}

void LongPathForm(wchar_t *path, unsigned long long capacity) {
    const unsigned long long n = WideLength(path);
    if (n < MAX_PATH - 12 || HasLongPathPrefix(path)) return;
    wchar_t full[kLongPathUnits];
    DWORD got = GetFullPathNameW(path, kLongPathUnits, full, NULL);
    if (got == 0 || got >= kLongPathUnits) return;
    wchar_t prefixed[kLongPathUnits + 8];
    if (full[0] == L'\\' && full[1] == L'\\') {
        WideCopy(prefixed, L"\\\\?\\UNC", kLongPathUnits + 8);
        WideAppend(prefixed, full + 1, kLongPathUnits + 8);  // keeps one "\\" before the server
    } else {
        WideCopy(prefixed, L"\\\\?\\", kLongPathUnits + 8);
        WideAppend(prefixed, full, kLongPathUnits + 8);
    }
    if (WideLength(prefixed) + 1 > capacity) return;
    WideCopy(path, prefixed, capacity);
}

int DirectoryExists(const wchar_t *path) {
    DWORD a = GetFileAttributesW(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

int FileExists(const wchar_t *path) {
    DWORD a = GetFileAttributesW(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

int CreateDirectoryTree(const wchar_t *path) {
    wchar_t work[kMaxTreeBufferUnits];
    WideCopy(work, path, kRuntimeProfile.tree_buffer_units);
    unsigned long long n = WideLength(work);
    // Start at 3 so that a drive root ("C:\") is never split off or created;
    // in the long form, 3 after the prefix ("\\?\C:\").
    unsigned long long start = HasLongPathPrefix(work) ? 7 : 3;
    for (unsigned long long i = start; i + 1 <= n; ++i) {
        wchar_t c = work[i];
        if (c != L'\\' && c != L'/') continue;
        work[i] = 0;
        if (!DirectoryExists(work)) CreateDirectoryW(work, NULL);
        work[i] = c;
    }
    if (!DirectoryExists(work)) return CreateDirectoryW(work, NULL) ? 1 : 0;
    return 1;
}

void CreateParentDirectory(const wchar_t *path) {
    wchar_t work[kLongPathUnits];
    WideCopy(work, path, kLongPathUnits);
    for (unsigned long long i = WideLength(work); i > 0; --i) {
        if (work[i - 1] == L'\\' || work[i - 1] == L'/') {
            work[i - 1] = 0;
            // Most files of a product share their folder with the one before:
            // one look instead of one per level.
            if (!DirectoryExists(work)) CreateDirectoryTree(work);
            return;
        }
    }
}

unsigned long long GetFileSize64(const wchar_t *path) {
    HANDLE h = CreateFileW(path, GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) return 0;
    LARGE_INTEGER size;
    unsigned long long result = GetFileSizeEx(h, &size) ? (unsigned long long)size.QuadPart : 0;
    CloseHandle(h);
    return result;
}

char *ReadWholeFile(const wchar_t *path, unsigned int *out_size) {
    const unsigned int limit = kRuntimeProfile.read_limit;
    if (out_size) *out_size = 0;
    char *buffer = (char *)HeapAlloc(GetProcessHeap(), 0, (SIZE_T)limit + 1);
    if (!buffer) return NULL;
    // Delete sharing: the programs replace a file by renaming a new one over
    // it, and a reader must neither make that rename fail nor miss the file
    // while it happens (it reads the old version or the new one, whole).
    HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        HeapFree(GetProcessHeap(), 0, buffer);
        return NULL;
    }
    unsigned int total = 0;
    while (total < limit) {
        DWORD want = limit - total < 32768 ? limit - total : 32768;
        DWORD got = 0;
        if (!ReadFile(h, buffer + total, want, &got, NULL)) {
            CloseHandle(h);
            HeapFree(GetProcessHeap(), 0, buffer);
            return NULL;
        }
        if (got == 0) break;
        total += got;
    }
    CloseHandle(h);
    buffer[total] = 0;
    if (out_size) *out_size = total;
    return buffer;
}

char *ReadFileUpTo(const wchar_t *path, unsigned int max_bytes, unsigned int *out_size) {
    *out_size = 0;
    HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    if (h == INVALID_HANDLE_VALUE) return NULL;
    LARGE_INTEGER size;
    char *buffer = NULL;
    if (GetFileSizeEx(h, &size) && size.QuadPart <= (LONGLONG)max_bytes)
        buffer = (char *)HeapAlloc(GetProcessHeap(), 0, (SIZE_T)size.QuadPart + 1);
    unsigned int total = 0;
    while (buffer && total < (unsigned int)size.QuadPart) {
        DWORD want = (unsigned int)size.QuadPart - total;
        if (want > 1048576) want = 1048576;
        DWORD got = 0;
        if (!ReadFile(h, buffer + total, want, &got, NULL) || got == 0) {
            // Shorter than it said, or unreadable: nothing half read is handed out.
            HeapFree(GetProcessHeap(), 0, buffer);
            buffer = NULL;
            break;
        }
        total += got;
    }
    CloseHandle(h);
    if (!buffer) return NULL;
    buffer[total] = 0;
    *out_size = total;
    return buffer;
}

int WriteWholeFile(const wchar_t *path, const void *bytes, int length) {
    if (kRuntimeProfile.write_creates_parent) CreateParentDirectory(path);
    HANDLE h = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) return 0;
    DWORD written = 0;
    BOOL ok = length >= 0 && WriteFile(h, bytes, (DWORD)length, &written, NULL);
    // On the disk before anyone renames it into place: a power cut must not
    // leave a renamed but empty file.
    if (ok) ok = FlushFileBuffers(h);
    CloseHandle(h);
    return ok && written == (DWORD)length;
}

HANDLE CreateTemporaryFile(const wchar_t *temporary) {
    return CreateFileW(temporary, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                       NULL);
}

int CommitTemporaryFile(HANDLE file, int written_ok, const wchar_t *temporary,
                        const wchar_t *target) {
    if (file == INVALID_HANDLE_VALUE) return 0;
    int ok = written_ok && FlushFileBuffers(file);
    DWORD error = ok ? 0 : GetLastError();
    CloseHandle(file);
    // A reader of the target (an antivirus, the other program) holds it only
    // for a moment: worth a few more tries.
    for (int attempt = 0; ok; ++attempt) {
        if (MoveFileExW(temporary, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return 1;
        if (!WaitOutBriefLock(attempt, 1)) ok = 0;
    }
    if (error == 0) error = GetLastError();
    DeleteFileW(temporary);
    SetLastError(error);
    return 0;
}

int ReplaceFileWithBytes(const wchar_t *target, const wchar_t *temporary, const void *bytes,
                         unsigned int length) {
    if (kRuntimeProfile.write_creates_parent) CreateParentDirectory(temporary);
    HANDLE file = CreateTemporaryFile(temporary);
    if (file == INVALID_HANDLE_VALUE) return 0;
    DWORD written = 0;
    int ok = WriteFile(file, bytes, length, &written, NULL) != 0;
    if (ok && written != length) {
        ok = 0;
        SetLastError(ERROR_DISK_FULL);  // a short write is a full disk
    }
    return CommitTemporaryFile(file, ok, temporary, target);
}

int FlushFileToDisk(const wchar_t *path) {
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int attempt = 0;; ++attempt) {
        h = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, NULL);
        if (h != INVALID_HANDLE_VALUE || !WaitOutBriefLock(attempt, 0)) break;
    }
    if (h == INVALID_HANDLE_VALUE) return 0;
    int ok = FlushFileBuffers(h) != 0;
    DWORD error = ok ? 0 : GetLastError();
    CloseHandle(h);
    if (!ok) SetLastError(error);
    return ok;
}

int WriteTextFile(const wchar_t *path, const char *text) {
    return WriteWholeFile(path, text, (int)NarrowLength(text));
}

int DeleteFileIfPresent(const wchar_t *name) {
    wchar_t path[1200];
    JoinPath(g_install_dir, name, path, 1200);
    if (!FileExists(path)) return 1;
    return DeleteFileW(path) ? 1 : 0;
}

int IsDotEntry(const wchar_t *name) {
    return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

// The walk keeps one path buffer for the whole tree: a name is appended on
// the way down and cut off on the way up, so a deep tree costs little stack
// and no level's path is cut short.
static int DescendInto(wchar_t *path, unsigned long long length, const wchar_t *name) {
    if (length + 2 + WideLength(name) >= kLongPathUnits) return 0;
    path[length] = L'\\';
    WideCopy(path + length + 1, name, (unsigned int)(kLongPathUnits - length - 1));
    return 1;
}

static int DeleteTreeAt(wchar_t *path, unsigned long long length) {
    WIN32_FIND_DATAW entry;
    HANDLE search = INVALID_HANDLE_VALUE;
    if (DescendInto(path, length, L"*")) search = FindFirstFileW(path, &entry);
    path[length] = 0;
    if (search != INVALID_HANDLE_VALUE) {
        int ok = 1;
        do {
            if (IsDotEntry(entry.cFileName)) continue;
            if (!DescendInto(path, length, entry.cFileName))
                ok = 0;
            else if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                ok = DeleteFileW(path) != 0;
            else if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
                RemoveDirectoryW(path);  // the link goes; its target is never entered
            else
                ok = DeleteTreeAt(path, WideLength(path));
            path[length] = 0;
        } while (ok && FindNextFileW(search, &entry));
        FindClose(search);
        if (!ok) return 0;
    }
    if (RemoveDirectoryW(path)) return 1;
    return !DirectoryExists(path);
}

int DeleteTree(const wchar_t *path) {
    wchar_t work[kLongPathUnits];
    WideCopy(work, path, kLongPathUnits);
    return DeleteTreeAt(work, WideLength(work));
}

// Lines from several threads (the Worker's transfer threads) each land
// whole: the open, the seek to the end and the write go one at a time.
static SRWLOCK g_log_lock = SRWLOCK_INIT;

static void LogLineLocked(const char *message);

void LogLine(const char *message) {
    if (!kRuntimeProfile.log_name) return;
    AcquireSRWLockExclusive(&g_log_lock);
    LogLineLocked(message);
    ReleaseSRWLockExclusive(&g_log_lock);
}

static void LogLineLocked(const char *message) {
    wchar_t dir[1100];
    wchar_t path[1200];
    InstallPath(L"logs", dir, 1100);
    CreateDirectoryTree(dir);
    InstallPath(kRuntimeProfile.log_name, path, 1200);
    HANDLE h = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) return;
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    SetFilePointerEx(h, zero, NULL, FILE_END);
    DWORD written = 0;
    WriteFile(h, message, (DWORD)NarrowLength(message), &written, NULL);
    WriteFile(h, "\r\n", 2, &written, NULL);
    CloseHandle(h);
}

void LogFailure(const char *message) {
    DWORD error = GetLastError();
    char line[kLogFailureBytes];
    unsigned long long n = 0;
    while (message && message[n] != 0 && n + 1 < kLogFailureBytes) {
        line[n] = message[n];
        ++n;
    }
    line[n] = 0;
    if (n + 2 < kLogFailureBytes) {
        line[n++] = ' ';
        line[n++] = '(';
        line[n] = 0;
    }
    AppendDecimal(line, kLogFailureBytes, (unsigned long long)error);
    n = NarrowLength(line);
    if (n + 1 < kLogFailureBytes) {
        line[n++] = ')';
        line[n] = 0;
    }
    LogLine(line);
}

void AppendNarrow(char *line, unsigned long long capacity, const char *text) {
    unsigned long long n = NarrowLength(line);
    while (text && *text && n + 1 < capacity) line[n++] = *text++;
    line[n] = 0;
}

// The path in UTF-8 after the text's end; a path that does not fit whole is
// left out rather than cut inside a character.
static void AppendPath(char *line, unsigned int capacity, const wchar_t *path) {
    unsigned long long n = NarrowLength(line);
    if (!path || n + 1 >= capacity) return;
    int got = WideCharToMultiByte(CP_UTF8, 0, path, -1, line + n, (int)(capacity - n), NULL, NULL);
    if (got <= 0) line[n] = 0;
}

void LogFailedStep(const char *message, DWORD error, const wchar_t *path, const wchar_t *other) {
    // Room for two long paths (up to three UTF-8 bytes a unit).
    enum { kLineBytes = 2 * 3 * kLongPathUnits + 256 };
    char line[kLineBytes];
    line[0] = 0;
    AppendNarrow(line, kLineBytes, message);
    AppendNarrow(line, kLineBytes, " (error ");
    AppendDecimal(line, kLineBytes, (unsigned long long)error);
    AppendNarrow(line, kLineBytes, ")");
    if (path) {
        AppendNarrow(line, kLineBytes, " ");
        AppendPath(line, kLineBytes, path);
    }
    if (other) {
        AppendNarrow(line, kLineBytes, " -> ");
        AppendPath(line, kLineBytes, other);
    }
    LogLine(line);
}
