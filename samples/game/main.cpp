// ORVELANT.exe: the sample game the demo and the tests install and start.
// It shows its title and exactly how it was started (command line, working
// directory), writes the same to "launch-record.txt" beside itself so that a
// test can read what the launcher passed, and ends when its window is closed
// or after the number of seconds in "game.txt" (0: stays open).
//
// game.txt, beside the program (UTF-8, one "key=value" per line):
//   title=HALCYRA
//   seconds=3
#include <windows.h>

#include <string>

namespace {

std::wstring g_text;

std::wstring ProgramDirectory() {
    wchar_t path[MAX_PATH * 4];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    std::wstring p(path, n);
    size_t cut = p.find_last_of(L"\\/");
    return cut == std::wstring::npos ? L"." : p.substr(0, cut);
}

std::string ReadSmallFile(const std::wstring &path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return std::string();
    char buffer[4096];
    DWORD got = 0;
    BOOL ok = ReadFile(h, buffer, sizeof(buffer), &got, nullptr);
    CloseHandle(h);
    return ok ? std::string(buffer, got) : std::string();
}

std::string Setting(const std::string &text, const std::string &key) {
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.compare(0, key.size() + 1, key + "=") == 0) return line.substr(key.size() + 1);
        at = end + 1;
    }
    return std::string();
}

std::wstring Wide(const std::string &s) {
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), nullptr, 0);
    std::wstring w(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), &w[0], n);
    return w;
}

std::string Utf8(const std::wstring &w) {
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), nullptr, 0, nullptr, nullptr);
    std::string s(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), &s[0], n, nullptr, nullptr);
    return s;
}

LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        RECT r;
        GetClientRect(hwnd, &r);
        FillRect(dc, &r, (HBRUSH)GetStockObject(BLACK_BRUSH));
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, RGB(184, 137, 73));
        InflateRect(&r, -16, -16);
        DrawTextW(dc, g_text.c_str(), -1, &r, DT_LEFT | DT_WORDBREAK);
        EndPaint(hwnd, &ps);
        return 0;
    }
    case WM_TIMER:
        DestroyWindow(hwnd);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    const std::wstring dir = ProgramDirectory();
    const std::string config = ReadSmallFile(dir + L"\\game.txt");
    std::wstring title = Wide(Setting(config, "title"));
    if (title.empty()) title = L"ORVELANT";
    const unsigned seconds = (unsigned)atoi(Setting(config, "seconds").c_str());

    wchar_t cwd[MAX_PATH * 4];
    DWORD n = GetCurrentDirectoryW(MAX_PATH * 4, cwd);
    const std::wstring command_line = GetCommandLineW();
    const std::wstring working_dir(cwd, n);

    std::string record = "title=" + Utf8(title) + "\r\ncommand_line=" + Utf8(command_line) +
                         "\r\nworking_directory=" + Utf8(working_dir) + "\r\n";
    // Written beside it and renamed into place: whoever waits for the record
    // finds it whole the moment it exists.
    const std::wstring record_path = dir + L"\\launch-record.txt";
    const std::wstring written_path = record_path + L".new";
    HANDLE h = CreateFileW(written_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        const BOOL whole = WriteFile(h, record.data(), (DWORD)record.size(), &written, nullptr) &&
                           written == record.size();
        CloseHandle(h);
        if (!whole || !MoveFileExW(written_path.c_str(), record_path.c_str(), MOVEFILE_REPLACE_EXISTING))
            DeleteFileW(written_path.c_str());
    }

    g_text = title + L"\n\nCommand line:\n" + command_line + L"\n\nWorking directory:\n" +
             working_dir;
    WNDCLASSW wc = {};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.lpszClassName = L"ORVELANT_SAMPLE_GAME";
    RegisterClassW(&wc);
    HWND hwnd = CreateWindowExW(0, wc.lpszClassName, title.c_str(), WS_OVERLAPPEDWINDOW,
                                CW_USEDEFAULT, CW_USEDEFAULT, 720, 360, nullptr, nullptr, instance,
                                nullptr);
    if (!hwnd) return 1;
    if (seconds > 0) SetTimer(hwnd, 1, seconds * 1000, nullptr);
    ShowWindow(hwnd, show);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
