// Registered in the test prefix as the handler of https links: appends the
// command line it was started with to "opened.txt" beside itself, so a test
// sees exactly what the Shell's ShellExecuteW "open" handed on.
#include <windows.h>

#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t path[4096];
    DWORD n = GetModuleFileNameW(nullptr, path, 4096);
    std::wstring file(path, n);
    file = file.substr(0, file.find_last_of(L"\\/")) + L"\\opened.txt";
    std::wstring line = std::wstring(GetCommandLineW()) + L"\r\n";
    int bytes = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), (int)line.size(), nullptr, 0,
                                    nullptr, nullptr);
    std::string text(bytes, '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.c_str(), (int)line.size(), &text[0], bytes, nullptr,
                        nullptr);
    for (int attempt = 0; attempt < 50; ++attempt) {
        HANDLE h = CreateFileW(file.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            Sleep(20);
            continue;
        }
        DWORD written = 0;
        WriteFile(h, text.data(), (DWORD)text.size(), &written, nullptr);
        CloseHandle(h);
        break;
    }
    return 0;
}
