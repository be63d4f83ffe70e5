// Launcher Setup entry: the choice of mode, the silent update the Worker
// starts, and the install transaction shared by install, update, reinstall
// and silent update.
#include "setup.h"

#include "process.h"
#include "runtime.h"
#include "settings.h"

wchar_t g_library_default[1024];
HWND g_setup_window;

static const wchar_t *const kShellName = L"ORVELANT Launcher.exe";
static const wchar_t *const kShellTemp = L"ORVELANT Launcher.new";
static const wchar_t *const kWorkerName = L"ORVELANT Update Worker.exe";
static const wchar_t *const kWorkerTemp = L"ORVELANT Update Worker.new";

int ContainsSwitch(const wchar_t *command_line, const wchar_t *name) {
    if (!name || name[0] == 0) return 1;
    if (!command_line) return 0;
    for (const wchar_t *at = command_line; *at; ++at) {
        unsigned long long k = 0;
        while (name[k] != 0 && at[k] != 0 && FoldAscii(at[k]) == FoldAscii(name[k])) ++k;
        if (name[k] == 0) return 1;
    }
    return 0;
}

DWORD ParseWaitPid(const wchar_t *command_line) {
    static const wchar_t kWait[] = L"/waitpid:";
    if (!command_line) return 0;
    for (const wchar_t *at = command_line; *at; ++at) {
        unsigned long long k = 0;
        while (kWait[k] != 0 && at[k] == kWait[k]) ++k;
        if (kWait[k] != 0) continue;
        DWORD pid = 0;
        for (const wchar_t *d = at + k; *d >= L'0' && *d <= L'9'; ++d)
            pid = pid * 10 + (DWORD)(*d - L'0');  // 32-bit, wraps
        return pid;
    }
    return 0;
}

void ResolveSetupDirectories(void) {
    DefaultInstallDirectory(g_install_dir, kInstallDirUnits);
    DefaultLibraryRoot(g_library_default, 1024);
}

static void ShowSetupError(const wchar_t *text) {
    MessageBoxW(g_setup_window, text, ORV_SETUP_CAPTION, MB_ICONERROR | MB_OK);
}

static const wchar_t kUpdateFailedText[] =
    L"既存Launcherを更新できませんでした。\n\nLauncherを終了してから再実行してください。";
static const wchar_t kRemoveFailedText[] =
    L"既存ランチャーを削除できませんでした。\n\n"
    L"ORVELANT Launcher が起動中の場合は終了してから再実行してください。";

// The launcher core, in the order of its renames. The Shell comes last: the
// launcher's release is the Shell's, so until its rename a kill leaves the old
// release (which the next sync offers to update again) with some files
// already new, and after it every file is new. Each file is first written
// whole under its temporary name; the old file is kept under its backup name
// until the whole core is in place.
enum { kCoreFiles = 14, kCoreDocumentFirst = 9, kCoreUninstall = 12, kCoreShell = 13 };
struct CoreFile {
    const wchar_t *name;
    const wchar_t *temp;
    const wchar_t *backup;
    int payload;  // 0: the running Setup's own file
};
static const CoreFile kCore[kCoreFiles] = {
    {kWorkerName, kWorkerTemp, L"ORVELANT Update Worker.old", PAYLOAD_WORKER},
    // The newest root of trust this Setup was built with; the Worker takes it
    // when it is newer than the one built into the Worker.
    {L"carried-root.json", L"carried-root.new", L"carried-root.old", PAYLOAD_ROOT},
    {L"assets\\orvelant-wordmark.bmp", L"assets\\orvelant-wordmark.new",
     L"assets\\orvelant-wordmark.old", PAYLOAD_WORDMARK},
    {L"assets\\origin-core.bmp", L"assets\\origin-core-bmp.new", L"assets\\origin-core-bmp.old",
     PAYLOAD_CORE},
    {L"assets\\origin-core.ico", L"assets\\origin-core-ico.new", L"assets\\origin-core-ico.old",
     PAYLOAD_ICON},
    // Twice the size, the Shell's source on displays scaled past 100 %.
    {L"assets\\orvelant-wordmark-2x.bmp", L"assets\\orvelant-wordmark-2x.new",
     L"assets\\orvelant-wordmark-2x.old", PAYLOAD_WORDMARK_2X},
    {L"assets\\origin-core-2x.bmp", L"assets\\origin-core-2x.new", L"assets\\origin-core-2x.old",
     PAYLOAD_CORE_2X},
    {L"launcher_config.json", L"launcher_config.new", L"launcher_config.old",
     PAYLOAD_LAUNCHER_CONFIG},
    {L"README.txt", L"README.new", L"README.old", PAYLOAD_README},
    {L"catalog.json", L"catalog.setup-new", L"catalog.setup-old", PAYLOAD_CATALOG},
    {L"news.json", L"news.setup-new", L"news.setup-old", PAYLOAD_NEWS},
    {L"control.json", L"control.setup-new", L"control.setup-old", PAYLOAD_CONTROL},
    {L"Uninstall.exe", L"Uninstall.new", L"Uninstall.old", 0},
    {kShellName, kShellTemp, L"ORVELANT Launcher.old", PAYLOAD_SHELL},
};

// Per file of one install: 1 when it takes part, whether an old file was
// kept under the backup name (else the file is new to the install directory),
// and whether putting it back failed (its backup is then kept for the next run).
static int g_core_used[kCoreFiles];
static int g_core_had_old[kCoreFiles];
static int g_core_unrestored[kCoreFiles];

// The restore a run could not finish: one line per file, "R <backup>\t<name>"
// (the old file to put back) or "D <name>" (a new file to remove), relative
// to the install directory. The next run finishes it before anything else.
static const wchar_t kRestoreRecord[] = L"setup-restore.pending";
static const wchar_t kRestoreRecordTemp[] = L"setup-restore.new";

#ifdef ORV_TEST_HOOKS
void SetupTestHookAfterCoreRename(const wchar_t *target);
#endif

static void CorePath(const wchar_t *name, wchar_t *dst) { InstallPath(name, dst, kSetupPathUnits); }

static int MoveWaitingOutLocks(const wchar_t *from, const wchar_t *to) {
    for (int attempt = 0;; ++attempt) {
        if (MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 1;
        if (!WaitOutBriefLock(attempt, 1)) return 0;
    }
}

static int DeleteWaitingOutLocks(const wchar_t *path) {
    for (int attempt = 0;; ++attempt) {
        if (DeleteFileW(path) || GetLastError() == ERROR_FILE_NOT_FOUND) return 1;
        if (!WaitOutBriefLock(attempt, 1)) return 0;
    }
}

// The running Setup's own file, copied and on the disk.
static int WriteSelfCopy(const wchar_t *path) {
    wchar_t self[kSetupPathUnits];
    DWORD n = GetModuleFileNameW(NULL, self, kSetupPathUnits);
    if (n == 0 || n >= kSetupPathUnits || !CopyFileW(self, path, FALSE)) return 0;
    return FlushFileToDisk(path);
}

// Whether two paths name the same file (not just the same text).
static int SameFile(const wchar_t *a, const wchar_t *b) {
    BY_HANDLE_FILE_INFORMATION info[2];
    const wchar_t *paths[2] = {a, b};
    for (int i = 0; i < 2; ++i) {
        HANDLE h = CreateFileW(paths[i], 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
        if (h == INVALID_HANDLE_VALUE) return 0;
        int ok = GetFileInformationByHandle(h, &info[i]) != 0;
        CloseHandle(h);
        if (!ok) return 0;
    }
    return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
           info[0].nFileIndexHigh == info[1].nFileIndexHigh &&
           info[0].nFileIndexLow == info[1].nFileIndexLow;
}

// A running program's file cannot be opened for writing: the programs are
// asked before anything is written, so a refusal changes nothing.
static int ProgramsReplaceable(void) {
    const wchar_t *const programs[2] = {kShellName, kWorkerName};
    for (int i = 0; i < 2; ++i) {
        wchar_t path[kSetupPathUnits];
        CorePath(programs[i], path);
        if (!FileExists(path)) continue;
        HANDLE h = INVALID_HANDLE_VALUE;
        for (int attempt = 0;; ++attempt) {
            h = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
            if (h != INVALID_HANDLE_VALUE || !WaitOutBriefLock(attempt, 0)) break;
        }
        if (h == INVALID_HANDLE_VALUE) {
            LogFailedStep("Launcher program in use", GetLastError(), path, NULL);
            return 0;
        }
        CloseHandle(h);
    }
    return 1;
}

// Temporary and backup files that an earlier, interrupted install left; the
// backup of a file whose restore failed stays for the next run.
static void RemoveCoreLeftovers(void) {
    wchar_t path[kSetupPathUnits];
    for (int i = 0; i < kCoreFiles; ++i) {
        CorePath(kCore[i].temp, path);
        DeleteFileW(path);
        if (g_core_unrestored[i]) continue;
        CorePath(kCore[i].backup, path);
        DeleteFileW(path);
    }
}

// One step of a restore: the old file back from its backup (backup given),
// or a file new to the install removed. Logged when it fails.
static int RestoreOne(const wchar_t *backup, const wchar_t *target) {
    if (backup ? MoveWaitingOutLocks(backup, target) : DeleteWaitingOutLocks(target)) return 1;
    LogFailedStep(backup ? "Core file restore failed" : "Core file removal failed",
                  GetLastError(), backup ? backup : target, backup ? target : NULL);
    return 0;
}

// Records the files whose restore failed (their backups are kept); 1 when
// the record is written, or when nothing is left to restore and the record
// is gone.
static int WriteRestoreRecord(void) {
    wchar_t record[kSetupPathUnits];
    wchar_t temp[kSetupPathUnits];
    CorePath(kRestoreRecord, record);
    CorePath(kRestoreRecordTemp, temp);
    wchar_t text[kCoreFiles * 96];
    text[0] = 0;
    for (int i = 0; i < kCoreFiles; ++i) {
        if (!g_core_unrestored[i]) continue;
        if (g_core_had_old[i]) {
            WideAppend(text, L"R ", CountOf(text));
            WideAppend(text, kCore[i].backup, CountOf(text));
            WideAppend(text, L"\t", CountOf(text));
        } else {
            WideAppend(text, L"D ", CountOf(text));
        }
        WideAppend(text, kCore[i].name, CountOf(text));
        WideAppend(text, L"\n", CountOf(text));
    }
    if (text[0] == 0) return DeleteWaitingOutLocks(record);
    const unsigned int bytes = (unsigned int)(WideLength(text) * sizeof(wchar_t));
    if (ReplaceFileWithBytes(record, temp, text, bytes)) return 1;
    LogFailedStep("Core restore record could not be written", GetLastError(), record, NULL);
    return 0;
}

// Puts back the old file of every core file renamed so far (the first
// `renamed` of the table) and removes the ones that were new. 1 when all
// came back; otherwise the rest is recorded for the next run.
static int RestoreCore(int renamed) {
    int all = 1;
    wchar_t target[kSetupPathUnits];
    wchar_t backup[kSetupPathUnits];
    for (int i = renamed - 1; i >= 0; --i) {
        if (!g_core_used[i]) continue;
        CorePath(kCore[i].name, target);
        CorePath(kCore[i].backup, backup);
        g_core_unrestored[i] = !RestoreOne(g_core_had_old[i] ? backup : NULL, target);
        if (g_core_unrestored[i]) all = 0;
    }
    if (!all) WriteRestoreRecord();
    return all;
}

// A restore an earlier run could not finish (a file was held): finished now,
// before anything of this run is written, so the core is whole again. 0 when
// it still cannot be finished; the record and its backups then stay.
static int FinishPendingRestore(void) {
    wchar_t record[kSetupPathUnits];
    CorePath(kRestoreRecord, record);
    unsigned int size = 0;
    char *bytes = ReadWholeFile(record, &size);
    if (!bytes) return 1;
    const wchar_t *text = (const wchar_t *)bytes;
    const unsigned int units = size / sizeof(wchar_t);
    int all = 1;
    for (unsigned int at = 0; at < units;) {
        wchar_t line[2 * kSetupPathUnits];
        unsigned int n = 0;
        while (at < units && text[at] != L'\n') {
            if (n + 1 < CountOf(line)) line[n++] = text[at];
            ++at;
        }
        ++at;
        line[n] = 0;
        if (n < 3 || (line[0] != L'R' && line[0] != L'D') || line[1] != L' ') continue;
        wchar_t *name = line + 2;
        wchar_t *backup_name = NULL;
        if (line[0] == L'R') {
            backup_name = name;
            while (*name && *name != L'\t') ++name;
            if (*name == 0) continue;
            *name++ = 0;
        }
        wchar_t target[kSetupPathUnits];
        wchar_t backup[kSetupPathUnits];
        CorePath(name, target);
        if (backup_name) CorePath(backup_name, backup);
        // A backup already gone was put back by an earlier try.
        if (backup_name && !FileExists(backup)) continue;
        int done = RestoreOne(backup_name ? backup : NULL, target);
        // What is left is kept in the table's terms for the next record.
        for (int i = 0; i < kCoreFiles; ++i) {
            if (!WideEquals(kCore[i].name, name)) continue;
            g_core_unrestored[i] = !done;
            g_core_had_old[i] = backup_name != NULL;
        }
        if (!done) all = 0;
    }
    HeapFree(GetProcessHeap(), 0, bytes);
    if (!all) {
        WriteRestoreRecord();
        return 0;
    }
    DeleteFileW(record);
    LogLine("Core restore left by an earlier run finished");
    return 1;
}

// Writes every file of the core under its temporary name, each flushed;
// 0 with failed_index set at the first that fails.
static int StageCore(int *failed_index) {
    wchar_t temp[kSetupPathUnits];
    for (int i = 0; i < kCoreFiles; ++i) {
        if (!g_core_used[i]) continue;
        CorePath(kCore[i].temp, temp);
        int ok = kCore[i].payload ? WritePayload(kCore[i].payload, temp) : WriteSelfCopy(temp);
        if (!ok) {
            LogFailedStep("Core file write failed", GetLastError(), temp, NULL);
            *failed_index = i;
            return 0;
        }
    }
    return 1;
}

// Renames the staged files into place in table order, keeping each old file
// under its backup name; 0 with *renamed telling how far it came.
static int CommitCore(int *renamed) {
    wchar_t target[kSetupPathUnits];
    wchar_t temp[kSetupPathUnits];
    wchar_t backup[kSetupPathUnits];
    for (int i = 0; i < kCoreFiles; ++i) {
        *renamed = i;
        if (!g_core_used[i]) continue;
        CorePath(kCore[i].name, target);
        CorePath(kCore[i].temp, temp);
        CorePath(kCore[i].backup, backup);
        g_core_had_old[i] = FileExists(target);
        // A copy, not a second name: the target itself is never missing, and
        // a backup never shares its bytes with a file written later.
        if (g_core_had_old[i]) {
            int copied = 0;
            for (int attempt = 0; !(copied = CopyFileW(target, backup, FALSE) != 0); ++attempt)
                if (!WaitOutBriefLock(attempt, 0)) break;
            if (!copied) {
                LogFailedStep("Core file backup failed", GetLastError(), target, backup);
                return 0;
            }
        }
        if (!MoveWaitingOutLocks(temp, target)) {
            LogFailedStep("Core file commit failed", GetLastError(), temp, target);
            return 0;
        }
#ifdef ORV_TEST_HOOKS
        SetupTestHookAfterCoreRename(target);
#endif
    }
    *renamed = kCoreFiles;
    return 1;
}

int InstallLauncherCore(int reinstall) {
    CreateDirectoryTree(g_install_dir);
    CreateDirectoryTree(g_library_default);
    // A reinstall resets the whole core, which it refuses while a program of
    // it runs; the files are then replaced like an update's, never deleted.
    if (reinstall && !RemoveLauncherCore()) {
        ShowSetupError(kRemoveFailedText);
        return 0;
    }
    const wchar_t *const folders[4] = {L".orvelant-staging", L".orvelant-backup", L"logs",
                                       L"assets"};
    wchar_t path[kSetupPathUnits];
    for (int i = 0; i < 4; ++i) {
        InstallPath(folders[i], path, kSetupPathUnits);
        CreateDirectoryTree(path);
    }
    for (int i = 0; i < kCoreFiles; ++i) g_core_unrestored[i] = 0;
    // An earlier run left old and new files mixed: nothing is written over
    // its backups before they are back in place.
    if (!FinishPendingRestore()) {
        ShowSetupError(reinstall ? kRemoveFailedText : kUpdateFailedText);
        return 0;
    }
    RemoveCoreLeftovers();

    // "Uninstall.exe" started by hand would replace itself with itself.
    wchar_t self[kSetupPathUnits];
    DWORD n = GetModuleFileNameW(NULL, self, kSetupPathUnits);
    CorePath(L"Uninstall.exe", path);
    if (n == 0 || n >= kSetupPathUnits || SameFile(self, path)) {
        LogFailedStep("Setup cannot replace its own file", ERROR_SHARING_VIOLATION, path, NULL);
        ShowSetupError(kUpdateFailedText);
        return 0;
    }
    if (!ProgramsReplaceable()) {
        ShowSetupError(reinstall ? kRemoveFailedText : kUpdateFailedText);
        return 0;
    }

    // The cached, signed copies of the last sync survive install and update.
    for (int i = 0; i < kCoreFiles; ++i) {
        g_core_used[i] = 1;
        g_core_had_old[i] = 0;
        if (i >= kCoreDocumentFirst && i < kCoreUninstall && !reinstall) {
            CorePath(kCore[i].name, path);
            g_core_used[i] = !FileExists(path);
        }
    }
    int failed = 0;
    if (!StageCore(&failed)) {
        RemoveCoreLeftovers();
        // The silent update shows only the Shell's box, so that the Shell that
        // is there starts again at once.
        if (failed == kCoreShell)
            ShowSetupError(L"Launcher Shellを書き込めませんでした。");
        else if (g_setup_window)
            ShowSetupError(kUpdateFailedText);
        return 0;
    }
    int renamed = 0;
    if (!CommitCore(&renamed)) {
        RestoreCore(renamed);
        RemoveCoreLeftovers();
        if (renamed == kCoreShell || g_setup_window)
            ShowSetupError(reinstall ? kRemoveFailedText : kUpdateFailedText);
        return 0;
    }
    RemoveCoreLeftovers();

    CreateShortcuts();
    WriteUninstallEntry(g_install_dir);
    return 1;
}

// The reinstall's check that the launcher's programs can go (none runs).
int RemoveLauncherCore(void) { return ProgramsReplaceable(); }

int StartInstalledShell(const wchar_t *directory) {
    wchar_t application[kSetupPathUnits];
    wchar_t command_line[1400];
    JoinPath(directory, kShellName, application, kSetupPathUnits);
    WideCopy(command_line, L"\"", 1400);
    WideAppend(command_line, application, 1400);
    WideAppend(command_line, L"\"", 1400);
    // The Setup never waits for the Shell.
    return StartProgram(application, command_line, 0, directory, NULL);
}

int RunHidden(wchar_t *command_line) {
    // Windows PowerShell by its full path: a "powershell.exe" beside the
    // Setup (a Downloads folder) or in the current directory must never run.
    wchar_t program[MAX_PATH + 64];
    UINT n = GetSystemDirectoryW(program, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return 0;
    WideAppend(program, L"\\WindowsPowerShell\\v1.0\\powershell.exe", MAX_PATH + 64);
    STARTUPINFOW startup;
    FillZero(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process;
    FillZero(&process, sizeof(process));
    if (!CreateProcessW(program, command_line, NULL, NULL, FALSE, CREATE_NO_WINDOW, NULL, NULL,
                        &startup, &process))
        return 0;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 1;
}

void FinishSetup(const wchar_t *word) {
    wchar_t message[512];
    wsprintfW(message,
              L"ORVELANT Launcher の%sが完了しました。\n\n"
              L"Game LibraryはLauncher本体と分離され、複数タイトルを管理できる構成になりました。\n\n"
              L"今すぐ起動しますか？",
              word);
    DeleteWindowBitmaps();
    if (MessageBoxW(g_setup_window, message, ORV_SETUP_CAPTION,
                    MB_ICONINFORMATION | MB_YESNO) == IDYES)
        StartInstalledShell(g_install_dir);
    ExitProcess(0);
}

static int RunSilentUpdate(const wchar_t *command_line) {
    DWORD pid = ParseWaitPid(command_line);
    ResolveSetupDirectories();
    if (pid != 0) {
        // The Shell that started the update: replace its files only once it
        // has gone, or after 30 seconds whatever it does.
        HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
        if (process) {
            WaitForSingleObject(process, 30000);
            CloseHandle(process);
        }
    }
    Sleep(900);
    // A failed install has put every old file back: the Shell that is there
    // starts again, so the player is never left without a launcher.
    int installed = InstallLauncherCore(0);
    StartInstalledShell(g_install_dir);
    return installed ? 0 : 2;
}

extern "C" void SetupEntry(void) {
    const wchar_t *command_line = GetCommandLineW();
    if (ContainsSwitch(command_line, L"/uninstall")) RunUninstall();  // does not return
    if (ContainsSwitch(command_line, L"/silent-update"))
        ExitProcess((UINT)RunSilentUpdate(command_line));
    ExitProcess((UINT)RunSetupWindow());
}
