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

// Puts a payload program in place through a temporary file, so that a
// failed or interrupted write never leaves a cut program behind.
static int ReplaceProgram(int id, const wchar_t *temp_name, const wchar_t *final_name,
                          int *write_failed) {
    wchar_t temp[kSetupPathUnits];
    wchar_t target[kSetupPathUnits];
    InstallPath(temp_name, temp, kSetupPathUnits);
    InstallPath(final_name, target, kSetupPathUnits);
    *write_failed = 0;
    if (!WritePayload(id, temp)) {
        DeleteFileW(temp);
        *write_failed = 1;
        return 0;
    }
    if (!MoveFileExW(temp, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(temp);
        return 0;
    }
    return 1;
}

static int WriteInstallPayload(int id, const wchar_t *name) {
    wchar_t path[kSetupPathUnits];
    InstallPath(name, path, kSetupPathUnits);
    return WritePayload(id, path);
}

int InstallLauncherCore(int reinstall) {
    CreateDirectoryTree(g_install_dir);
    CreateDirectoryTree(g_library_default);
    if (reinstall && !RemoveLauncherCore()) {
        ShowSetupError(L"既存ランチャーを削除できませんでした。\n\n"
                       L"ORVELANT Launcher が起動中の場合は終了してから再実行してください。");
        return 0;
    }
    const wchar_t *const folders[4] = {L".orvelant-staging", L".orvelant-backup", L"logs",
                                       L"assets"};
    wchar_t path[kSetupPathUnits];
    for (int i = 0; i < 4; ++i) {
        InstallPath(folders[i], path, kSetupPathUnits);
        CreateDirectoryTree(path);
    }

    int write_failed = 0;
    if (!ReplaceProgram(PAYLOAD_SHELL, kShellTemp, kShellName, &write_failed)) {
        if (write_failed)
            ShowSetupError(L"Launcher Shellを書き込めませんでした。");
        else
            ShowSetupError(L"既存Launcherを更新できませんでした。\n\n"
                           L"Launcherを終了してから再実行してください。");
        return 0;
    }
    if (!ReplaceProgram(PAYLOAD_WORKER, kWorkerTemp, kWorkerName, &write_failed)) return 0;

    if (!WriteInstallPayload(PAYLOAD_WORDMARK, L"assets\\orvelant-wordmark.bmp")) return 0;
    if (!WriteInstallPayload(PAYLOAD_CORE, L"assets\\origin-core.bmp")) return 0;
    if (!WriteInstallPayload(PAYLOAD_ICON, L"assets\\origin-core.ico")) return 0;
    if (!WriteInstallPayload(PAYLOAD_LAUNCHER_CONFIG, L"launcher_config.json")) return 0;
    if (!WriteInstallPayload(PAYLOAD_README, L"README.txt")) return 0;

    // The cached, signed copies of the last sync survive install and update.
    const wchar_t *const documents[3] = {L"catalog.json", L"news.json", L"control.json"};
    const int document_ids[3] = {PAYLOAD_CATALOG, PAYLOAD_NEWS, PAYLOAD_CONTROL};
    for (int i = 0; i < 3; ++i) {
        InstallPath(documents[i], path, kSetupPathUnits);
        if (!reinstall && FileExists(path)) continue;
        if (!WritePayload(document_ids[i], path)) return 0;
    }

    // "Uninstall.exe" is always the Setup that ran last.
    wchar_t self[kSetupPathUnits];
    DWORD n = GetModuleFileNameW(NULL, self, kSetupPathUnits);
    if (n == 0 || n >= kSetupPathUnits) return 0;
    InstallPath(L"Uninstall.exe", path, kSetupPathUnits);
    if (!CopyFileW(self, path, FALSE)) return 0;

    CreateShortcuts();
    WriteUninstallEntry(g_install_dir);
    return 1;
}

int RemoveLauncherCore(void) {
    if (!DeleteFileIfPresent(kShellName)) return 0;
    if (!DeleteFileIfPresent(kWorkerName)) return 0;
    const wchar_t *const names[8] = {
        L"launcher_config.json", L"catalog.json", L"news.json", L"control.json", L"README.txt",
        L"assets\\orvelant-wordmark.bmp", L"assets\\origin-core.bmp", L"assets\\origin-core.ico"};
    for (int i = 0; i < 8; ++i) DeleteFileIfPresent(names[i]);
    return 1;
}

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
    if (!InstallLauncherCore(0)) return 2;
    StartInstalledShell(g_install_dir);
    return 0;
}

extern "C" void SetupEntry(void) {
    const wchar_t *command_line = GetCommandLineW();
    if (ContainsSwitch(command_line, L"/uninstall")) RunUninstall();  // does not return
    if (ContainsSwitch(command_line, L"/silent-update"))
        ExitProcess((UINT)RunSilentUpdate(command_line));
    ExitProcess((UINT)RunSetupWindow());
}
