// Settings key values, directory resolution and the pause flag.
#include "settings.h"
#include "runtime.h"

wchar_t g_library_root[kLibraryRootUnits];

int ReadSettingText(const wchar_t *name, wchar_t *dst, unsigned int capacity) {
    if (!dst || capacity == 0) return 0;
    HKEY key = NULL;
    int ok = 0;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, ORV_SETTINGS_KEY, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        DWORD type = 0;
        DWORD bytes = capacity * 2;
        LONG rc = RegQueryValueExW(key, name, NULL, &type, (BYTE *)dst, &bytes);
        RegCloseKey(key);
        dst[capacity - 1] = 0;
        ok = rc == ERROR_SUCCESS && type == REG_SZ && dst[0] != 0;
    }
    if (!ok && kRuntimeProfile.clear_setting_on_failure) dst[0] = 0;
    return ok;
}

DWORD ReadSettingNumber(const wchar_t *name, DWORD fallback) {
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, ORV_SETTINGS_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return fallback;
    DWORD type = 0;
    DWORD value = 0;
    DWORD bytes = sizeof(value);
    LONG rc = RegQueryValueExW(key, name, NULL, &type, (BYTE *)&value, &bytes);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS && type == REG_DWORD ? value : fallback;
}

DWORD ReadSettingNumberKept(HKEY *key, const wchar_t *name, DWORD fallback) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!*key && RegOpenKeyExW(HKEY_CURRENT_USER, ORV_SETTINGS_KEY, 0, KEY_READ, key) !=
                         ERROR_SUCCESS) {
            *key = NULL;
            return fallback;
        }
        DWORD type = 0;
        DWORD value = 0;
        DWORD bytes = sizeof(value);
        LONG rc = RegQueryValueExW(*key, name, NULL, &type, (BYTE *)&value, &bytes);
        if (rc != ERROR_KEY_DELETED) return rc == ERROR_SUCCESS && type == REG_DWORD ? value : fallback;
        // Deleted (and perhaps made anew) since it was opened: open it again.
        RegCloseKey(*key);
        *key = NULL;
    }
    return fallback;
}

static int WriteSettingValue(const wchar_t *name, DWORD type, const void *data, DWORD bytes) {
    HKEY key = NULL;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, ORV_SETTINGS_KEY, 0, NULL, REG_OPTION_NON_VOLATILE,
                        KEY_WRITE, NULL, &key, NULL) != ERROR_SUCCESS)
        return 0;
    LONG rc = RegSetValueExW(key, name, 0, type, (const BYTE *)data, bytes);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

int WriteSettingText(const wchar_t *name, const wchar_t *text) {
    return WriteSettingValue(name, REG_SZ, text, (DWORD)(WideLength(text) + 1) * 2);
}

int WriteSettingNumber(const wchar_t *name, DWORD value) {
    return WriteSettingValue(name, REG_DWORD, &value, sizeof(value));
}

void ReadEnvironmentBase(const wchar_t *name, const wchar_t *fallback,
                         wchar_t dst[kEnvironmentBaseUnits]) {
    DWORD n = GetEnvironmentVariableW(name, dst, kEnvironmentBaseUnits);
    if (n == 0 || n >= kEnvironmentBaseUnits) WideCopy(dst, fallback, kEnvironmentBaseUnits);
}

void ResolveLibraryRoot(void) {
    if (ReadSettingText(L"LibraryRoot", g_library_root, kLibraryRootUnits)) return;
    wchar_t base[kEnvironmentBaseUnits];
    ReadEnvironmentBase(L"LOCALAPPDATA", g_install_dir, base);
    WideCopy(g_library_root, base, kLibraryRootUnits);
    WideAppend(g_library_root, L"\\ORVELANT\\Games", kLibraryRootUnits);
}


// Absolute form of a path as Windows opens it ("." and ".." resolved, "/"
// made "\\", trailing dots and blanks of the last name dropped), without a
// trailing separator; 0 when it does not fit.
static DWORD FullPathOf(const wchar_t *path, wchar_t *dst, DWORD capacity) {
    DWORD n = GetFullPathNameW(path, capacity, dst, NULL);
    if (n == 0 || n >= capacity) return 0;
    while (n > 0 && dst[n - 1] == L'\\') dst[--n] = 0;
    return n;
}

int IsInsideLibraryRoot(const wchar_t *path) {
    wchar_t root[1200];
    wchar_t full[1600];
    DWORD n = FullPathOf(g_library_root, root, 1200);
    DWORD m = FullPathOf(path, full, 1600);
    if (n == 0 || m <= n + 1) return 0;
    // Case differences outside ASCII count as different: refused, never wrongly allowed.
    for (DWORD k = 0; k < n; ++k)
        if (FoldAscii(full[k]) != FoldAscii(root[k])) return 0;
    return full[n] == L'\\';
}

static void BaseWithSuffix(const wchar_t *variable, const wchar_t *suffix, wchar_t *dst,
                           unsigned int capacity) {
    wchar_t base[kEnvironmentBaseUnits];
    ReadEnvironmentBase(variable, L".", base);
    WideCopy(dst, base, capacity);
    WideAppend(dst, suffix, capacity);
}

void DefaultInstallDirectory(wchar_t *dst, unsigned int capacity) {
    BaseWithSuffix(L"LOCALAPPDATA", L"\\Programs\\ORVELANT Launcher", dst, capacity);
}

void DefaultLibraryRoot(wchar_t *dst, unsigned int capacity) {
    BaseWithSuffix(L"LOCALAPPDATA", L"\\ORVELANT\\Games", dst, capacity);
}

void SetupTempDirectory(wchar_t *dst, unsigned int capacity) {
    BaseWithSuffix(L"TEMP", L"\\ORVELANT_Setup_1.0.0", dst, capacity);
}

int LegacyExecutablePath(const wchar_t *product_id, wchar_t *dst, unsigned int capacity) {
    if (capacity > 0) dst[0] = 0;
    if (!product_id || !WideEquals(product_id, L"first-title")) return 0;
    InstallPath(L"game\\ORVELANT_First_Title.exe", dst, capacity);
    return FileExists(dst);
}

int IsPauseFlagSet(void) {
    wchar_t path[1200];
    InstallPath(ORV_PAUSE_FLAG_NAME, path, 1200);
    return FileExists(path);
}

int SetPauseFlag(void) {
    wchar_t path[1200];
    InstallPath(ORV_PAUSE_FLAG_NAME, path, 1200);
    HANDLE h = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) return 0;
    CloseHandle(h);
    return 1;
}

void ClearPauseFlag(void) {
    wchar_t path[1200];
    InstallPath(ORV_PAUSE_FLAG_NAME, path, 1200);
    DeleteFileW(path);
}
