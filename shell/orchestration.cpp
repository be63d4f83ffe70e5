// The Shell's side of the Update Worker: every network, signature and commit
// task runs in a separate Worker process that reports back by window message.
#include "shell.h"

#include "runtime.h"
#include "settings.h"

WorkerState g_worker = {0, 0, -1, 0, 0, 0, 0, {}, 0};

static void WorkerProgramPath(wchar_t *dst) {
    InstallPath(L"ORVELANT Update Worker.exe", dst, 1200);
}

static void AppendWindowHandle(wchar_t *line, unsigned long long capacity) {
    wchar_t number[40];
    FormatUnsigned64(number, 40, (unsigned long long)(ULONG_PTR)g_main_window);
    WideAppend(line, number, capacity);
}

static int StartWorkerProcess(const wchar_t *program, wchar_t *command_line) {
    STARTUPINFOW startup;
    PROCESS_INFORMATION process;
    FillZero(&startup, sizeof(startup));
    FillZero(&process, sizeof(process));
    startup.cb = sizeof(startup);
    if (!CreateProcessW(program, command_line, NULL, NULL, FALSE, CREATE_NO_WINDOW, NULL,
                        g_install_dir, &startup, &process))
        return 0;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 1;
}

int StartSyncWorker(void) {
    if (g_worker.sync_running) return 1;
    wchar_t program[1200];
    WorkerProgramPath(program);
    if (!FileExists(program)) return 0;
    wchar_t line[1700];
    WideCopy(line, L"\"", 1700);
    WideAppend(line, program, 1700);
    WideAppend(line, L"\"", 1700);
    WideAppend(line, L" /sync /parent:", 1700);
    AppendWindowHandle(line, 1700);
    if (!StartWorkerProcess(program, line)) {
        LogFailure("CreateProcess sync worker failed");
        return 0;
    }
    g_worker.sync_running = 1;
    SetSignalLabel(L"SIGNAL // SYNCING");
    return 1;
}

void HandleWorkerStatus(int code, int percent) {
    if (percent >= 0) SetProgress(percent);
    switch (code) {
    case SYNC_STARTED:
        g_worker.sync_running = 1;
        SetSignalLabel(L"SIGNAL // SYNCING");
        return;
    case SYNC_DONE:
        g_worker.sync_running = 0;
        ReloadRemoteData();
        SetSignalLabel(g_control.signal[0] ? g_control.signal : L"SIGNAL // CURRENT");
        ShowPage(g_ui.current_page);
        return;
    case SYNC_UNAVAILABLE:
        g_worker.sync_running = 0;
        SetSignalLabel(L"SIGNAL // LOCAL");
        ShowPage(g_ui.current_page);
        return;
    default:
        break;
    }
    RefreshHomeView();
    RefreshLibraryView();
    RefreshDownloadsView();
}

void HandleWorkerTransfer(int speed, int remaining) {
    g_worker.transfer_speed_kbps = speed;
    g_worker.transfer_remaining_mb = remaining;
    RefreshDownloadsView();
}

static void PauseFlagPath(wchar_t *dst) { InstallPath(ORV_PAUSE_FLAG_NAME, dst, 1200); }

void SetDownloadPaused(int on) {
    wchar_t path[1200];
    PauseFlagPath(path);
    if (on) {
        HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    } else {
        DeleteFileW(path);
    }
}

int IsDownloadPaused(void) {
    wchar_t path[1200];
    PauseFlagPath(path);
    return FileExists(path);
}
