#include "child_process.h"

namespace orv_test {

std::vector<std::pair<int, int>> ChildRun::Statuses() const {
    std::vector<std::pair<int, int>> out;
    for (const WorkerMessage &m : messages)
        if (m.message == WM_WORKER_STATUS) out.push_back({(int)m.wparam, (int)m.lparam});
    return out;
}

std::vector<WorkerMessage> ChildRun::Transfers() const {
    std::vector<WorkerMessage> out;
    for (const WorkerMessage &m : messages)
        if (m.message == WM_WORKER_TRANSFER) out.push_back(m);
    return out;
}

static LRESULT CALLBACK ParentProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    return DefWindowProcW(hwnd, msg, wp, lp);
}

static HWND CreateParentWindow() {
    static bool registered = false;
    if (!registered) {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = ParentProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"ORVELANT_TEST_PARENT";
        RegisterClassW(&wc);
        registered = true;
    }
    // A hidden top-level window, as the Shell's would be when minimised away.
    return CreateWindowExW(0, L"ORVELANT_TEST_PARENT", L"test parent", WS_OVERLAPPEDWINDOW, 0, 0,
                           100, 100, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
}

static double NowMs(LARGE_INTEGER start) {
    LARGE_INTEGER now, freq;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&freq);
    return (double)(now.QuadPart - start.QuadPart) * 1000.0 / (double)freq.QuadPart;
}

ChildRun RunChildProcess(const std::wstring &exe, const std::wstring &args,
                         const ChildOptions &options) {
    ChildRun run;
    HWND parent = CreateParentWindow();
    if (!parent) {
        run.error = "could not create the parent window";
        return run;
    }
    run.parent = (unsigned long long)(ULONG_PTR)parent;
    std::wstring tail = args;
    const std::wstring marker = L"{parent}";
    for (size_t at; (at = tail.find(marker)) != std::wstring::npos;)
        tail.replace(at, marker.size(), std::to_wstring(run.parent));
    std::wstring cmd = L"\"" + exe + L"\"" + tail;
    std::vector<wchar_t> buffer(cmd.begin(), cmd.end());
    buffer.push_back(0);

    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    if (!CreateProcessW(exe.c_str(), buffer.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &si, &pi)) {
        run.error = "CreateProcessW failed: error " + std::to_string(GetLastError());
        DestroyWindow(parent);
        return run;
    }
    run.started = true;
    CloseHandle(pi.hThread);

    auto drain = [&]() {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.hwnd == parent &&
                (msg.message == WM_WORKER_STATUS || msg.message == WM_WORKER_TRANSFER)) {
                WorkerMessage m{msg.message, (unsigned long long)msg.wParam, (long long)msg.lParam,
                                NowMs(start)};
                run.messages.push_back(m);
                if (options.on_message) options.on_message(m, pi.hProcess);
                continue;
            }
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    };
    for (;;) {
        double left = options.timeout_ms - NowMs(start);
        if (left <= 0) {
            run.timed_out = true;
            TerminateProcess(pi.hProcess, 255);
            WaitForSingleObject(pi.hProcess, 5000);
            break;
        }
        DWORD w = MsgWaitForMultipleObjects(1, &pi.hProcess, FALSE, (DWORD)left, QS_ALLINPUT);
        drain();
        if (w == WAIT_OBJECT_0) break;
    }
    drain();  // posts that were queued just before the exit
    GetExitCodeProcess(pi.hProcess, &run.exit_code);
    CloseHandle(pi.hProcess);
    DestroyWindow(parent);
    drain();
    return run;
}

}  // namespace orv_test
