// Small runtime each program carries: bounded UTF-16 strings, 8-bit text,
// the install directory, files, UTF-8 decoding and the text log.
// Every program links this without any language runtime.
#pragma once

#include <windows.h>

// Per-program differences of the runtime. Each program defines exactly one
// kRuntimeProfile in its own sources; the library reads it.
struct RuntimeProfile {
    unsigned int read_limit;            // ReadWholeFile: bytes read at most (0: not used)
    unsigned int tree_buffer_units;     // CreateDirectoryTree working copy, units
    int write_creates_parent;           // WriteWholeFile makes the parent directory first
    const wchar_t *log_name;            // relative log file, or null for no log
    int clear_setting_on_failure;       // ReadSettingText empties its destination on false
};
extern const RuntimeProfile kRuntimeProfile;

// Number of elements of a fixed array, taken from the array itself.
template <typename T, unsigned long long N>
constexpr unsigned int CountOf(T (&)[N]) {
    return (unsigned int)N;
}

enum {
    kInstallDirUnits = 1024,
    kMaxTreeBufferUnits = 2100,
    // Working copy of CreateParentDirectory and of LongPathForm: the longest
    // product file path (2048 units) with room for the long-path prefix.
    kLongPathUnits = 2100,
    kLogFailureBytes = 192,
};

// String helpers: no allocation, no OS calls. Capacities in units/bytes,
// terminator included; results that do not fit are cut without report.
void WideCopy(wchar_t *dst, const wchar_t *src, unsigned long long capacity);
wchar_t *WideAppend(wchar_t *dst, const wchar_t *src, unsigned long long capacity);
unsigned long long WideLength(const wchar_t *s);
unsigned long long NarrowLength(const char *s);
int WideEquals(const wchar_t *a, const wchar_t *b);
// A-Z to a-z; every other unit stays as it is.
wchar_t FoldAscii(wchar_t unit);
int WideContains(const wchar_t *text, const wchar_t *needle);
unsigned long long ParseWideDecimal(const wchar_t *s);
int Utf8ToWide(const char *src, wchar_t *dst, int capacity);
void AppendDecimal(char *text, unsigned long long capacity, unsigned long long value);
// Appends text, cut at the capacity (which counts the terminating zero).
void AppendNarrow(char *line, unsigned long long capacity, const char *text);
char HexDigitLower(unsigned int value);
void FillZero(void *buffer, unsigned long long count);
void CopyBytes(void *dst, const void *src, unsigned long long count);

// Install directory: the running program's folder (Shell, Worker) or the
// Setup's target. Filled once, read afterwards.
extern wchar_t g_install_dir[kInstallDirUnits];
void GetInstallDirectory(void);
void InstallPath(const wchar_t *name, wchar_t *dst, unsigned long long capacity);
wchar_t *JoinPath(const wchar_t *base, const wchar_t *name, wchar_t *dst,
                  unsigned long long capacity);

// Makes a path usable past MAX_PATH: an absolute path of 248 units or more
// (the directory limit) becomes "\\?\" and its full form ("\\?\UNC\" for a
// share); shorter paths, paths already in that form and results that would
// not fit the capacity stay as they are. The full form resolves "." and ".."
// and turns "/" into "\", which the prefixed form would take literally.
void LongPathForm(wchar_t *path, unsigned long long capacity);

int DirectoryExists(const wchar_t *path);
int FileExists(const wchar_t *path);
int CreateDirectoryTree(const wchar_t *path);
void CreateParentDirectory(const wchar_t *path);
unsigned long long GetFileSize64(const wchar_t *path);
char *ReadWholeFile(const wchar_t *path, unsigned int *out_size);
// The whole file, whatever the profile's read limit, when it holds at most
// max_bytes (NULL for a larger, missing or unreadable file); a terminator
// follows the bytes. The caller frees it.
char *ReadFileUpTo(const wchar_t *path, unsigned int max_bytes, unsigned int *out_size);
int WriteWholeFile(const wchar_t *path, const void *bytes, int length);
int WriteTextFile(const wchar_t *path, const char *text);
int DeleteFileIfPresent(const wchar_t *name);
// "." or "..", as a directory search lists them.
int IsDotEntry(const wchar_t *name);
// Deletes the tree; directory links are removed, never entered.
int DeleteTree(const wchar_t *path);

// After a failed create (move 0) or move (move 1): 1, after a short sleep,
// when the file is only briefly held by another program and worth another try.
int WaitOutBriefLock(int attempt, int move);

// Replacing a file that others read: the new bytes go to the temporary file,
// which is flushed to the disk and only then renamed over the target, so a
// reader (or a power cut) finds the old file or the new one, never a part.
// On failure the temporary file is deleted and the target left as it was;
// GetLastError then tells the failing call's error.
int ReplaceFileWithBytes(const wchar_t *target, const wchar_t *temporary, const void *bytes,
                         unsigned int length);
// The same for content written piece by piece: create the temporary file,
// write to it, then commit (written_ok 0: the writes failed; the file is
// discarded). Commit always closes the handle.
HANDLE CreateTemporaryFile(const wchar_t *temporary);
int CommitTemporaryFile(HANDLE file, int written_ok, const wchar_t *temporary,
                        const wchar_t *target);
// Puts a finished file's bytes on the disk (before it is renamed into place).
int FlushFileToDisk(const wchar_t *path);

void LogLine(const char *message);
void LogFailure(const char *message);
// A failed file or network step: the message, " (error N)" and the path or
// address it concerned, and " -> " and a second path when there is one
// (a copy or a rename).
void LogFailedStep(const char *message, DWORD error, const wchar_t *path, const wchar_t *other);
