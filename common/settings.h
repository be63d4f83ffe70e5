// Per-user settings key, the directory rules every program shares, and the
// download pause flag.
#pragma once

#include <windows.h>

#define ORV_SETTINGS_KEY L"Software\\ORVELANT\\Launcher"
#define ORV_PAUSE_FLAG_NAME L"pause.download"

enum {
    kLibraryRootUnits = 1024,
    kEnvironmentBaseUnits = 900,
};

// Game Library root of the Shell and the Worker, resolved once at start-up.
extern wchar_t g_library_root[kLibraryRootUnits];

int ReadSettingText(const wchar_t *name, wchar_t *dst, unsigned int capacity);
DWORD ReadSettingNumber(const wchar_t *name, DWORD fallback);
// ReadSettingNumber through a key the caller keeps open between reads: one
// registry call per read instead of three. Opens the key when *key is NULL,
// reopens it when it was deleted meanwhile; the caller closes a non-NULL *key.
DWORD ReadSettingNumberKept(HKEY *key, const wchar_t *name, DWORD fallback);
int WriteSettingText(const wchar_t *name, const wchar_t *text);
int WriteSettingNumber(const wchar_t *name, DWORD value);

// Copies the variable's value into dst (900 units), or the fallback when the
// variable is unset, empty or too long for the buffer.
void ReadEnvironmentBase(const wchar_t *name, const wchar_t *fallback,
                         wchar_t dst[kEnvironmentBaseUnits]);
void ResolveLibraryRoot(void);
// True when the path, taken as Windows resolves it, lies strictly below the
// Game Library root: never the root itself, never beside or above it. Every
// delete or move of a product folder checks its final path with this.
int IsInsideLibraryRoot(const wchar_t *path);
void DefaultInstallDirectory(wchar_t *dst, unsigned int capacity);
void DefaultLibraryRoot(wchar_t *dst, unsigned int capacity);
void SetupTempDirectory(wchar_t *dst, unsigned int capacity);
// The layout of an older release kept the product "first-title" (and only
// that product, wherever the catalog lists it) as a program under the
// install directory. True, with its path, when that program exists.
int LegacyExecutablePath(const wchar_t *product_id, wchar_t *dst, unsigned int capacity);

// The pause flag is an empty file in the install directory; only its presence
// counts (a directory of that name does not pause).
int IsPauseFlagSet(void);
int SetPauseFlag(void);
void ClearPauseFlag(void);
