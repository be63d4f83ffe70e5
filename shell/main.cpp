// Launcher Shell entry: start-up, the message loop and the fatal-error guard.
#include "window.h"
#include "library_ops.h"

#include "runtime.h"
#include "settings.h"
#include "ui_scale.h"


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

// One launcher per install directory in the user's session: a named mutex
// says whether one runs, a window property on its window says which one it
// is. A second start brings that window forward and ends, touching nothing.
static HANDLE g_instance_mutex;
static const wchar_t kInstanceProperty[] = L"ORVELANT.LauncherInstance";

static unsigned long long InstanceKey(void) {
    static unsigned long long key;
    if (!key) key = ShellInstanceKey(g_install_dir);
    return key;
}

// 1 when another Shell of this install directory runs and was brought to
// the front; 0 when this one goes on (it then holds the mutex).
static int HandOverToRunningShell(void) {
    unsigned long long key = InstanceKey();
    wchar_t name[64] = L"Local\\ORVELANT_LAUNCHER_SHELL_V10_";
    wchar_t hex[17];
    for (int i = 0; i < 16; ++i) hex[i] = L"0123456789abcdef"[(key >> (60 - 4 * i)) & 15];
    hex[16] = 0;
    WideAppend(name, hex, 64);
    g_instance_mutex = CreateMutexW(NULL, TRUE, name);
    if (!g_instance_mutex || GetLastError() != ERROR_ALREADY_EXISTS) return 0;
    // The other one may still be opening its window, or be on its way out.
    for (int round = 0; round < 100; ++round) {
        for (HWND w = NULL; (w = FindWindowExW(NULL, w, ORV_SHELL_CLASS, NULL)) != NULL;) {
            if ((unsigned long long)(ULONG_PTR)GetPropW(w, kInstanceProperty) != key) continue;
            if (IsIconic(w)) ShowWindow(w, SW_RESTORE);
            SetForegroundWindow(w);
            return 1;
        }
        DWORD wait = WaitForSingleObject(g_instance_mutex, 100);
        if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) return 0;
    }
    return 1;
}

void ReleaseShellInstance(void) {
    if (!g_instance_mutex) return;
    ReleaseMutex(g_instance_mutex);
    CloseHandle(g_instance_mutex);
    g_instance_mutex = NULL;
}

// On the window from its first frame until every page exists and the
// start-up work is under way: what drives the window from outside waits
// while it is there.
static const wchar_t kPagesPendingProperty[] = L"ORVELANT.PagesPending";

void FinishShellStartup(void) {
    if (!GetPropW(g_main_window, kPagesPendingProperty)) return;
    CreateOtherPages();
    StartupStep("other pages");
    WatchRecordedGames();
    LogLine("Shell UI ready; starting catalog/news/control sync in isolated worker");
    if (!ResumeLibraryMove()) StartSyncWorker();
    RemovePropW(g_main_window, kPagesPendingProperty);
    StartupStep("sync worker started");
}

static int RunShell(void) {
    HINSTANCE instance = GetModuleHandleW(NULL);
    GetInstallDirectory();
    if (HandOverToRunningShell()) return SHELL_EXIT_OK;
    ResolveLibraryRoot();
    StartupStep("process start and directories");
    g_model.bandwidth_kbps = (int)ReadSettingNumber(L"BandwidthKbps", 0);
    CreateDirectoryTree(g_library_root);
    StartupStep("settings and library folder");
    g_model.worker.active_product = -1;
    g_model.paused = IsPauseFlagSet();
    ReloadRemoteData();
    ReadProductsOnDisk();
    StartupStep("documents and lists");
    LogLine("==== ORVELANT Launcher 1.0.0 release-candidate shell startup ====");
    CreateShellBrushesAndFonts();
    StartupStep("brushes");

    // Before anything whose size follows the DPI (the icon, the window).
    UiEnableDpiAwareness();
    HICON icon = LoadShellIcon();

#ifdef ORV_TEST_HOOKS
    TestHookBeforeRegisterClass(instance);
#endif
    if (!UiRegisterWindowClass(instance, ShellWindowProc, g_brushes[BRUSH_WINDOW], icon,
                               ORV_SHELL_CLASS)) {
        LogFailure("RegisterClassExW failed");
        if (icon) DestroyIcon(icon);
        MessageBoxW(NULL, L"ORVELANT Launcher Shellを開始できませんでした。", ORV_SHELL_CAPTION,
                    MB_ICONERROR | MB_OK);
        return SHELL_EXIT_REGISTER_CLASS;
    }
    StartupStep("window class");
    g_main_window = CreateShellWindow(instance);
    StartupStep("main window and fonts");
    if (!g_main_window) {
        LogFailure("CreateWindowExW failed");
        return SHELL_EXIT_CREATE_WINDOW;
    }
    SetPropW(g_main_window, kInstanceProperty, (HANDLE)(ULONG_PTR)InstanceKey());
    SetPropW(g_main_window, kPagesPendingProperty, (HANDLE)1);
    CreateShellControls(instance);
    StartShellKeyboard();
    StartupStep("controls and first views");
    ShowWindow(g_main_window, SW_SHOW);
    StartupStep("window shown");
    UpdateWindow(g_main_window);
    StartupStep("first paint");
    PostMessageW(g_main_window, WM_SHELL_AFTER_FIRST_FRAME, 0, 0);

    MSG msg;
    for (;;) {
        BOOL got = GetMessageW(&msg, NULL, 0, 0);
        if (got == 0) return SHELL_EXIT_OK;
        if (got == -1) {
            LogFailure("GetMessageW failed");
            return SHELL_EXIT_MESSAGE_LOOP;
        }
        if (!HandleShellKey(&msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        // The move's own post of its end may have been refused.
        if (LibraryMoveEndedUnseen()) {
            HandleLibraryMoveDone();
            RenderShell();
        }
    }
}

extern "C" void ShellEntry(void) {
    SetUnhandledExceptionFilter(ShellCrashGuard);
    ExitProcess((UINT)RunShell());
}
