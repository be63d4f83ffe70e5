// Update Worker entry: directories, command line, mode choice, crash guard.
// The process serves one task, posts its statuses to the Shell's window and
// exits with the mode's code.
#include "worker.h"

#include "runtime.h"
#include "settings.h"

WorkerCommandLine g_command;
TransferProgress g_transfer;

static int MatchAt(const wchar_t *text, const wchar_t *word) {
    for (; *word; ++text, ++word)
        if (*text != *word) return 0;
    return 1;
}

void ScanWorkerCommandLine(const wchar_t *cmd, WorkerCommandLine *out) {
    FillZero(out, sizeof(*out));
    if (!cmd) return;
    unsigned long long i = 0;
    while (cmd[i] != 0) {
        if (MatchAt(cmd + i, L"/parent:")) {
            out->parent_window = ParseWideDecimal(cmd + i + 8);
        }
        if (MatchAt(cmd + i, L"/product:")) {
            unsigned long long j = i + 9;
            int count = 0;
            while (cmd[j] != 0 && cmd[j] != L' ' && count < kProductIdUnits - 1)
                out->product_id[count++] = cmd[j++];
            out->product_id[count] = 0;
            if (cmd[j] == 0) break;
            i = j + 1;  // the character that stopped the copy is not looked at again
            continue;
        }
        ++i;
    }
    out->repair = WideContains(cmd, L"/repair");
    out->sync = WideContains(cmd, L"/sync");
    out->self_update = WideContains(cmd, L"/self-update");
}

void PostWorkerStatus(int code, int percent) {
    if (g_command.parent_window == 0) return;
    PostMessageW((HWND)(ULONG_PTR)g_command.parent_window, WM_WORKER_STATUS, (WPARAM)code,
                 (LPARAM)percent);
}

void PostWorkerTransfer(void) {
    unsigned long long now = GetTickCount64();
    if (g_command.parent_window == 0) return;
    if (now - g_transfer.last_post_tick < 300 && g_transfer.done_bytes < g_transfer.expected_bytes)
        return;
    g_transfer.last_post_tick = now;
    unsigned long long elapsed = now - g_transfer.start_tick;
    unsigned long long speed = elapsed > 0 ? (g_transfer.done_bytes * 1000 / elapsed) >> 10 : 0;
    unsigned long long remaining = 0;
    if (g_transfer.expected_bytes > g_transfer.done_bytes)
        remaining = (g_transfer.expected_bytes - g_transfer.done_bytes + 1048575) >> 20;
    PostMessageW((HWND)(ULONG_PTR)g_command.parent_window, WM_WORKER_TRANSFER,
                 (WPARAM)(unsigned int)speed, (LPARAM)(unsigned int)remaining);
}

// Any structured exception that escapes the running mode ends here: one log
// line, the mode's failure status and exit code 99.
static LONG WINAPI WorkerCrashGuard(EXCEPTION_POINTERS *info) {
    (void)info;
    LogLine("Caught fatal exception inside isolated update worker");
    if (g_command.self_update)
        PostWorkerStatus(SELF_UPDATE_FAILED, 100);
    else if (g_command.sync)
        PostWorkerStatus(SYNC_UNAVAILABLE, 100);
    else
        PostWorkerStatus(PRODUCT_FAILED, 100);
    ExitProcess(EXIT_FATAL_EXCEPTION);
    return EXCEPTION_EXECUTE_HANDLER;
}

#ifdef ORV_TEST_HOOKS
#include "transport.h"
#include "test_hooks.inc"
#include "product_hooks.inc"
#endif

static int RunChosenMode(void) {
#ifdef ORV_TEST_HOOKS
    int hooked = 0;
    int code = RunTestHooks(&hooked);
    if (hooked) return code;
#endif
    if (g_command.self_update) return RunSelfUpdate();
    if (g_command.sync) return RunSignedSync();
    return RunProductJob();
}

extern "C" void WorkerEntry(void) {
    GetInstallDirectory();
    ResolveLibraryRoot();
    CreateDirectoryTree(g_library_root);
    ScanWorkerCommandLine(GetCommandLineW(), &g_command);
    SetUnhandledExceptionFilter(WorkerCrashGuard);
    int code = RunChosenMode();
    ExitProcess((UINT)code);
}
