// Launcher Shell entry: start-up, the message loop and the fatal-error guard.
#include "window.h"
#include "library_ops.h"

#include "runtime.h"
#include "settings.h"


#ifdef ORV_TEST_HOOKS
#include "shell_hooks.inc"
#endif

enum ShellExitCode {
    SHELL_EXIT_OK = 0,
    SHELL_EXIT_REGISTER_CLASS = 1,
    SHELL_EXIT_CREATE_WINDOW = 2,
    SHELL_EXIT_MESSAGE_LOOP = 3,
    SHELL_EXIT_FATAL = 100,
};

// Every fault of the UI thread that nothing else handled ends up here: the
// whole run, the window procedure included, is covered.
static LONG WINAPI ShellCrashGuard(EXCEPTION_POINTERS *) {
    // A second fault (another thread, or the box's own loop) ends at once.
    if (InterlockedExchange(&g_fatal_guard_started, 1) != 0) ExitProcess(SHELL_EXIT_FATAL);
    LogLine("Caught fatal exception in launcher shell");
    MessageBoxW(NULL,
                L"Launcher Shellで予期しないエラーを検出しました。\n\n"
                L"logs\\launcher.log を確認してください。",
                ORV_SHELL_CAPTION, MB_ICONERROR | MB_OK);
    ExitProcess(SHELL_EXIT_FATAL);
    return EXCEPTION_EXECUTE_HANDLER;
}

static int RunShell(void) {
    HINSTANCE instance = GetModuleHandleW(NULL);
    GetInstallDirectory();
    ResolveLibraryRoot();
    g_bandwidth_kbps = (int)ReadSettingNumber(L"BandwidthKbps", 0);
    CreateDirectoryTree(g_library_root);
    ReloadRemoteData();
    LogLine("==== ORVELANT Launcher 1.0.0 release-candidate shell startup ====");
    CreateShellBrushesAndFonts();

#ifdef ORV_TEST_HOOKS
    TestHookBeforeRegisterClass(instance);
#endif
    WNDCLASSEXW wc;
    FillZero(&wc, sizeof(wc));
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = ShellWindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(NULL, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    wc.hbrBackground = g_brushes[BRUSH_WINDOW];
    wc.lpszClassName = ORV_SHELL_CLASS;
    if (!RegisterClassExW(&wc)) {
        LogFailure("RegisterClassExW failed");
        MessageBoxW(NULL, L"ORVELANT Launcher Shellを開始できませんでした。", ORV_SHELL_CAPTION,
                    MB_ICONERROR | MB_OK);
        return SHELL_EXIT_REGISTER_CLASS;
    }
    g_main_window = CreateWindowExW(0, ORV_SHELL_CLASS, ORV_SHELL_CAPTION,
                                    WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, 70, 35, 1320, 830,
                                    NULL, NULL, instance, NULL);
    if (!g_main_window) {
        LogFailure("CreateWindowExW failed");
        return SHELL_EXIT_CREATE_WINDOW;
    }
    CreateShellControls(instance);
    ShowWindow(g_main_window, SW_SHOW);
    UpdateWindow(g_main_window);
    LogLine("Shell UI ready; starting catalog/news/control sync in isolated worker");
    StartSyncWorker();
    ResumeLibraryMove();

    MSG msg;
    for (;;) {
        BOOL got = GetMessageW(&msg, NULL, 0, 0);
        if (got == 0) return SHELL_EXIT_OK;
        if (got == -1) {
            LogFailure("GetMessageW failed");
            return SHELL_EXIT_MESSAGE_LOOP;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

extern "C" void ShellEntry(void) {
    SetUnhandledExceptionFilter(ShellCrashGuard);
    ExitProcess((UINT)RunShell());
}
