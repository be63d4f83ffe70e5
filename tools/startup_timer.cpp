// startup-timer <window class> <program> [<working directory> [<arguments>]]
// Starts the program and prints two figures in milliseconds from
// CreateProcess: until a visible top-level window of that class belonging to
// it has painted and answers messages (the first frame), and until it
// answers input with every page built (the window no longer carries the
// "ORVELANT.PagesPending" property, and answers a message again; a window
// that never carries it answers input with its first frame). Then closes it
// and waits for the process to end.
// Exit codes: 0 measured, 1 no window within 60 s, 2 usage or start failure.
#include <windows.h>

#include <cstdio>
#include <string>

struct Search {
    DWORD pid;
    const wchar_t *cls;
    HWND found;
};

static BOOL CALLBACK FindOwnWindow(HWND window, LPARAM param) {
    Search *s = reinterpret_cast<Search *>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    wchar_t cls[128];
    if (pid == s->pid && IsWindowVisible(window) && GetClassNameW(window, cls, 128) &&
        lstrcmpW(cls, s->cls) == 0) {
        s->found = window;
        return FALSE;
    }
    return TRUE;
}

int wmain(int argc, wchar_t **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: startup-timer <window class> <program> [<working directory>]\n");
        return 2;
    }
    std::wstring command = L"\"" + std::wstring(argv[2]) + L"\"";
    if (argc > 4) command += L" " + std::wstring(argv[4]);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    LARGE_INTEGER frequency, start, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    if (!CreateProcessW(argv[2], &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                        argc > 3 && argv[3][0] ? argv[3] : nullptr, &si, &pi)) {
        fprintf(stderr, "startup-timer: cannot start the program (%lu)\n", GetLastError());
        return 2;
    }
    Search s = {pi.dwProcessId, argv[1], nullptr};
    double ms = -1, input_ms = -1;
    for (int i = 0; i < 60000 && !s.found; ++i) {
        EnumWindows(FindOwnWindow, reinterpret_cast<LPARAM>(&s));
        if (!s.found) Sleep(1);
    }
    if (s.found) {
        // Shown, and the thread is back in its message loop: the first paint is done.
        DWORD_PTR ignored;
        SendMessageTimeoutW(s.found, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &ignored);
        QueryPerformanceCounter(&now);
        ms = (now.QuadPart - start.QuadPart) * 1000.0 / frequency.QuadPart;
        for (int i = 0; i < 60000 && GetPropW(s.found, L"ORVELANT.PagesPending"); ++i) Sleep(1);
        SendMessageTimeoutW(s.found, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &ignored);
        QueryPerformanceCounter(&now);
        input_ms = (now.QuadPart - start.QuadPart) * 1000.0 / frequency.QuadPart;
        PostMessageW(s.found, WM_CLOSE, 0, 0);
    }
    if (WaitForSingleObject(pi.hProcess, 15000) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 9);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    if (ms < 0) {
        fprintf(stderr, "startup-timer: no window of class %ls\n", argv[1]);
        return 1;
    }
    printf("%.1f %.1f\n", ms, input_ms);
    return 0;
}
