// Registration with Windows for the current user (uninstall entry, Desktop
// and Start-menu shortcuts) and the uninstall mode. Shortcuts and the
// deferred removal of the folders run in a hidden Windows PowerShell.
#include "setup.h"

#include "json.h"
#include "runtime.h"
#include "settings.h"

#define ORV_UNINSTALL_KEY L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ORVELANT Launcher"
#define ORV_POWERSHELL L"powershell.exe -NoProfile -ExecutionPolicy Bypass -WindowStyle Hidden -Command "

static const wchar_t kCreateShortcutsCommand[] =
    ORV_POWERSHELL
    L"\"$i=Join-Path $env:LOCALAPPDATA 'Programs\\ORVELANT Launcher';"
    L"$e=Join-Path $i 'ORVELANT Launcher.exe';"
    L"$ico=Join-Path $i 'assets\\origin-core.ico';"
    L"$w=New-Object -ComObject WScript.Shell;"
    L"$d=Join-Path ([Environment]::GetFolderPath('Desktop')) 'ORVELANT Launcher.lnk';"
    L"$s=$w.CreateShortcut($d);$s.TargetPath=$e;$s.WorkingDirectory=$i;"
    L"$s.Description='ORVELANT Launcher';$s.IconLocation=$ico;$s.Save();"
    L"$m=Join-Path $env:APPDATA 'Microsoft\\Windows\\Start Menu\\Programs\\ORVELANT Launcher.lnk';"
    L"$s=$w.CreateShortcut($m);$s.TargetPath=$e;$s.WorkingDirectory=$i;"
    L"$s.Description='ORVELANT Launcher';$s.IconLocation=$ico;$s.Save()\"";

static const wchar_t kRemoveShortcutsCommand[] =
    ORV_POWERSHELL
    L"\"$d=Join-Path ([Environment]::GetFolderPath('Desktop')) 'ORVELANT Launcher.lnk';"
    L"$m=Join-Path $env:APPDATA 'Microsoft\\Windows\\Start Menu\\Programs\\ORVELANT Launcher.lnk';"
    L"Remove-Item -LiteralPath $d -Force -ErrorAction SilentlyContinue;"
    L"Remove-Item -LiteralPath $m -Force -ErrorAction SilentlyContinue\"";

// The removals first wait for the uninstalling process (Uninstall.exe lives
// in the folder they remove, and a running program's file cannot be deleted).
static const wchar_t kRemoveLauncherScript[] =
    L"Start-Sleep -Milliseconds 1200;"
    L"$p=Join-Path $env:LOCALAPPDATA 'Programs\\ORVELANT Launcher';"
    L"Remove-Item -LiteralPath $p -Recurse -Force -ErrorAction SilentlyContinue\"";

static const wchar_t kRemoveLauncherAndLibraryScript[] =
    L"Start-Sleep -Milliseconds 1200;"
    L"$p=Join-Path $env:LOCALAPPDATA 'Programs\\ORVELANT Launcher';"
    L"$g=Join-Path $env:LOCALAPPDATA 'ORVELANT\\Games';"
    L"Remove-Item -LiteralPath $p -Recurse -Force -ErrorAction SilentlyContinue;"
    L"Remove-Item -LiteralPath $g -Recurse -Force -ErrorAction SilentlyContinue\"";

static void BuildRemovalCommand(const wchar_t *script, wchar_t *line, unsigned int capacity) {
    wchar_t pid[24];
    wsprintfW(pid, L"%lu", GetCurrentProcessId());
    WideCopy(line, ORV_POWERSHELL L"\"Wait-Process -Id ", capacity);
    WideAppend(line, pid, capacity);
    WideAppend(line, L" -ErrorAction SilentlyContinue;", capacity);
    WideAppend(line, script, capacity);
}

// After a library move the default folder is not the Game Library: the
// cataloged products' folders under the current root go, and the root only
// when nothing else is left in it. Nothing outside the root is touched.
static void RemoveMovedLibrary(void) {
    ResolveSetupDirectories();
    ResolveLibraryRoot();
    wchar_t current[1200];
    wchar_t standard[1200];
    if (!GetFullPathNameW(g_library_root, 1200, current, NULL) ||
        !GetFullPathNameW(g_library_default, 1200, standard, NULL))
        return;
    unsigned long long k = 0;
    while (current[k] && FoldAscii(current[k]) == FoldAscii(standard[k])) ++k;
    if (current[k] == standard[k]) return;  // the removal command takes the default root
    wchar_t path[1200];
    InstallPath(L"catalog.json", path, 1200);
    unsigned int length = 0;
    char *doc = ReadWholeFile(path, &length);
    if (!doc) return;
    JsonOffset cursor = 0, array_end = 0, from = 0, end = 0;
    if (JsonArrayBounds(doc, length, "\"products\"", &cursor, &array_end)) {
        while (JsonNextObject(doc, &cursor, array_end, &from, &end)) {
            char id[80], install_dir[220];
            wchar_t folder[180];
            if (!JsonGetString(doc, from, end, "id", id, sizeof(id)) || !IsSafeId(id) ||
                !JsonGetString(doc, from, end, "install_dir", install_dir, sizeof(install_dir)) ||
                !IsSafeRelativePath(install_dir) || !HasNamedComponent(install_dir) ||
                Utf8ToWide(install_dir, folder, 180) <= 0)
                continue;
            JoinPath(g_library_root, folder, path, 1200);
            if (IsInsideLibraryRoot(path) && DirectoryExists(path)) DeleteTree(path);
        }
    }
    HeapFree(GetProcessHeap(), 0, doc);
    RemoveDirectoryW(g_library_root);  // only when empty
}

int CreateShortcuts(void) {
    wchar_t line[4096];
    WideCopy(line, kCreateShortcutsCommand, 4096);
    return RunHidden(line);
}

int RemoveShortcuts(void) {
    wchar_t line[3072];
    WideCopy(line, kRemoveShortcutsCommand, 3072);
    return RunHidden(line);
}

static void SetTextValue(HKEY key, const wchar_t *name, const wchar_t *text) {
    RegSetValueExW(key, name, 0, REG_SZ, (const BYTE *)text,
                   (DWORD)((WideLength(text) + 1) * 2));
}

static void SetNumberValue(HKEY key, const wchar_t *name, DWORD value) {
    RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE *)&value, sizeof(value));
}

LONG WriteUninstallEntry(const wchar_t *install_dir) {
    HKEY key = NULL;
    LONG status = RegCreateKeyExW(HKEY_CURRENT_USER, ORV_UNINSTALL_KEY, 0, NULL,
                                  REG_OPTION_NON_VOLATILE, KEY_WRITE, NULL, &key, NULL);
    if (status != ERROR_SUCCESS) return status;
    wchar_t uninstaller[kSetupPathUnits];
    wchar_t icon[kSetupPathUnits];
    wchar_t command[kSetupPathUnits + 16];
    JoinPath(install_dir, L"Uninstall.exe", uninstaller, kSetupPathUnits);
    JoinPath(install_dir, L"assets\\origin-core.ico", icon, kSetupPathUnits);
    WideCopy(command, L"\"", kSetupPathUnits + 16);
    WideAppend(command, uninstaller, kSetupPathUnits + 16);
    WideAppend(command, L"\" /uninstall", kSetupPathUnits + 16);
    SetTextValue(key, L"DisplayName", L"ORVELANT Launcher");
    SetTextValue(key, L"DisplayVersion", L"1.0.0");
    SetTextValue(key, L"Publisher", L"ORVELANT");
    SetTextValue(key, L"InstallLocation", install_dir);
    SetTextValue(key, L"DisplayIcon", icon);
    SetTextValue(key, L"UninstallString", command);
    SetNumberValue(key, L"NoModify", 1);
    SetNumberValue(key, L"NoRepair", 1);
    return RegCloseKey(key);
}

LONG DeleteUninstallEntry(void) { return RegDeleteTreeW(HKEY_CURRENT_USER, ORV_UNINSTALL_KEY); }

void RunUninstall(void) {
    if (MessageBoxW(NULL, L"ORVELANT Launcher をアンインストールします。\n\n続行しますか？",
                    ORV_UNINSTALL_CAPTION, MB_ICONQUESTION | MB_YESNO) != IDYES)
        ExitProcess(0);
    int with_library =
        MessageBoxW(NULL,
                    L"インストール済みゲームも削除しますか？\n\n"
                    L"[はい] Launcher + Game Library を削除\n"
                    L"[いいえ] Launcherだけ削除し、Game Libraryを保持\n\n"
                    L"セーブデータはどちらでも削除しません。",
                    ORV_UNINSTALL_CAPTION, MB_ICONQUESTION | MB_YESNO) == IDYES;
    RemoveShortcuts();
    DeleteUninstallEntry();
    if (with_library) RemoveMovedLibrary();
    wchar_t line[4096];
    BuildRemovalCommand(with_library ? kRemoveLauncherAndLibraryScript : kRemoveLauncherScript,
                        line, 4096);
    if (!RunHidden(line)) {
        MessageBoxW(NULL,
                    L"Launcherの削除を開始できませんでした。\n"
                    L"インストールフォルダーを手動で削除してください。",
                    L"ORVELANT Launcher", MB_ICONERROR | MB_OK);
        ExitProcess(0);
    }
    MessageBoxW(NULL,
                with_library ? L"LauncherとGame Libraryの削除を開始しました。\n"
                               L"セーブデータは保持されます。"
                             : L"Launcherの削除を開始しました。\n"
                               L"Game Libraryとセーブデータは保持されます。",
                L"ORVELANT Launcher", MB_ICONINFORMATION | MB_OK);
    ExitProcess(0);
}
