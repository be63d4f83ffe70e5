// shell-driver <command> [<command>...]
// Drives a running Launcher Shell from outside; the commands run in the
// order given, and the first that fails ends the run with exit code 1.
//   wait [timeout_ms]   waits (default 30000) for the Shell's window, prints its handle
//   dump                one line per control, tab-separated:
//                       order id class visible enabled x,y,w,h style text
//                       (client coordinates; text with \\ \n \r \t escaped)
//   screen              the screen's size as Wine reports it ("WxH")
//   outer               x y w h of the outer window, the client size and the
//                       client origin on the screen: "x y w h cw ch cx cy"
//   command <id>        the WM_COMMAND a click on control <id> produces
//   search <text>       sets the library search text (\uXXXX escapes allowed)
//   box [timeout_ms]    caption and text of the Shell's open message box,
//                       one line each (fails if none within 2000 ms)
//   answer [button]     presses a button (default IDOK = 1) of that box
//   pick <folder>       selects <folder> in the Shell's open folder picker and
//                       presses its OK button
//   close               WM_CLOSE to the window, then waits up to 15 s for it to go
//   key <vk>            a key press (WM_KEYDOWN and WM_KEYUP of that virtual-key
//                       code) posted to the window's thread
//   sleep <ms>
// "--class <name>" before the commands drives the top-level window of that
// class instead (the Setup's "ORVELANT_LAUNCHER_SETUP_V07").
// Output is UTF-8. Exit codes: 0 done, 1 a command failed, 2 usage.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "shell_probe.h"

using namespace orv_probe;

static void Write(const std::wstring &text) {
    if (text.empty()) return;
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0, nullptr,
                                nullptr);
    std::string bytes(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), &bytes[0], n, nullptr,
                        nullptr);
    fwrite(bytes.data(), 1, bytes.size(), stdout);
}

static void Fail(const std::wstring &message) {
    fflush(stdout);
    int n = WideCharToMultiByte(CP_UTF8, 0, message.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(n > 0 ? n : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, message.c_str(), -1, &bytes[0], n, nullptr, nullptr);
    fprintf(stderr, "shell-driver: %s\n", bytes.c_str());
}

// The picker's selection message carries a pointer into its own process:
// the path is written there first.
static bool PickFolder(HWND dialog, const wchar_t *folder) {
    DWORD pid = 0;
    GetWindowThreadProcessId(dialog, &pid);
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, pid);
    if (!process) return false;
    SIZE_T bytes = (wcslen(folder) + 1) * sizeof(wchar_t);
    void *remote = VirtualAllocEx(process, nullptr, bytes, MEM_COMMIT, PAGE_READWRITE);
    bool ok = remote && WriteProcessMemory(process, remote, folder, bytes, nullptr);
    if (ok) SendMessageW(dialog, WM_USER + 103, TRUE, (LPARAM)remote);  // BFFM_SETSELECTIONW
    if (remote) VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    CloseHandle(process);
    return ok && AnswerMessageBox(dialog, IDOK);
}

static std::wstring Escape(const std::wstring &text) {
    std::wstring out;
    for (wchar_t ch : text) {
        switch (ch) {
        case L'\\': out += L"\\\\"; break;
        case L'\n': out += L"\\n"; break;
        case L'\r': out += L"\\r"; break;
        case L'\t': out += L"\\t"; break;
        default: out += ch;
        }
    }
    return out;
}

static std::wstring Unescape(const std::wstring &text) {
    std::wstring out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'\\' && i + 5 < text.size() && text[i + 1] == L'u') {
            std::wstring hex = text.substr(i + 2, 4);
            wchar_t *end = nullptr;
            unsigned long value = wcstoul(hex.c_str(), &end, 16);
            if (hex.size() == 4 && end && *end == L'\0') {
                out += (wchar_t)value;
                i += 5;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

static bool ParseNumber(const wchar_t *text, long *value) {
    if (!text || !*text) return false;
    wchar_t *end = nullptr;
    long v = wcstol(text, &end, 0);
    if (!end || *end != L'\0') return false;
    *value = v;
    return true;
}

static HWND g_main;
// "--class <name>" first drives another window class (the Setup's).
static std::wstring g_class = kShellClass;

static HWND Main() {
    if (!g_main || !IsWindow(g_main)) g_main = FindTopLevelWindow(g_class.c_str(), 0, 5000);
    if (!g_main) Fail(L"no window of class " + g_class);
    return g_main;
}

static HWND FindShellBox(DWORD timeout_ms) {
    HWND main = g_main && IsWindow(g_main) ? g_main : FindTopLevelWindow(g_class.c_str(), 0, 0);
    DWORD pid = main ? WindowProcessId(main) : 0;
    DWORD start = GetTickCount();
    for (;;) {
        HWND box = FindMessageBox(pid, 0);
        // Without the main window, only a box of ours by its caption.
        if (box && (pid != 0 || MessageBoxCaption(box).rfind(L"ORVELANT", 0) == 0)) return box;
        if (GetTickCount() - start >= timeout_ms) return nullptr;
        Sleep(50);
    }
}

static int Usage() {
    fprintf(stderr,
            "usage: shell-driver [--class <window class>] wait [ms] | dump | screen | outer | command <id> | search <text> | box [ms] |"
            " answer [button] | close | key <vk> | sleep <ms> ...\n");
    return 2;
}

int wmain(int argc, wchar_t **argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    if (argc < 2) return Usage();
    for (int i = 1; i < argc; ++i) {
        std::wstring cmd = argv[i];
        const wchar_t *arg = i + 1 < argc ? argv[i + 1] : nullptr;
        long number = 0;
        if (cmd == L"--class" && arg) {
            g_class = arg;
            ++i;
        } else if (cmd == L"wait") {
            long timeout = 30000;
            if (arg && ParseNumber(arg, &number)) {
                timeout = number;
                ++i;
            }
            g_main = FindTopLevelWindow(g_class.c_str(), 0, (DWORD)timeout);
            if (!g_main) {
                Fail(L"no Shell window within " + std::to_wstring(timeout) + L" ms");
                return 1;
            }
            printf("0x%llx\n", (unsigned long long)(ULONG_PTR)g_main);
        } else if (cmd == L"dump") {
            HWND main = Main();
            if (!main) return 1;
            std::wstring out;
            wchar_t line[256];
            for (const ControlInfo &c : ListControls(main)) {
                swprintf(line, 256, L"%d\t%d\t", c.order, c.id);
                out += line;
                out += c.cls;
                swprintf(line, 256, L"\t%d\t%d\t%ld,%ld,%ld,%ld\t0x%08lX\t", c.visible ? 1 : 0,
                         c.enabled ? 1 : 0, c.rect.left, c.rect.top, c.rect.right - c.rect.left,
                         c.rect.bottom - c.rect.top, (unsigned long)c.style);
                out += line;
                out += Escape(c.text);
                out += L"\n";
            }
            Write(out);
        } else if (cmd == L"screen") {
            printf("%dx%d\n", GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
        } else if (cmd == L"outer") {
            HWND main = Main();
            if (!main) return 1;
            RECT r = OuterRect(main);
            SIZE client = ClientSize(main);
            POINT origin = ClientOrigin(main);
            printf("%ld %ld %ld %ld %ld %ld %ld %ld\n", r.left, r.top, r.right - r.left,
                   r.bottom - r.top, client.cx, client.cy, origin.x, origin.y);
        } else if (cmd == L"command") {
            if (!ParseNumber(arg, &number)) return Usage();
            ++i;
            HWND main = Main();
            if (!main) return 1;
            if (!Command(main, (int)number)) {
                Fail(L"command " + std::wstring(arg) + L" was not processed in time");
                return 1;
            }
        } else if (cmd == L"search") {
            if (!arg) return Usage();
            ++i;
            HWND main = Main();
            if (!main) return 1;
            if (!SetSearchText(main, Unescape(arg))) {
                Fail(L"could not set the search text");
                return 1;
            }
        } else if (cmd == L"box") {
            long timeout = 2000;
            if (arg && ParseNumber(arg, &number)) {
                timeout = number;
                ++i;
            }
            HWND box = FindShellBox((DWORD)timeout);
            if (!box) {
                Fail(L"no message box");
                return 1;
            }
            Write(Escape(MessageBoxCaption(box)) + L"\n" + Escape(MessageBoxText(box)) + L"\n");
        } else if (cmd == L"answer") {
            long button = IDOK;
            if (arg && ParseNumber(arg, &number)) {
                button = number;
                ++i;
            }
            HWND box = FindShellBox(2000);
            if (!box) {
                Fail(L"no message box");
                return 1;
            }
            if (!AnswerMessageBox(box, (int)button)) {
                Fail(L"the message box has no button " + std::to_wstring(button) +
                     L" or did not close");
                return 1;
            }
        } else if (cmd == L"pick") {
            if (!arg) return Usage();
            ++i;
            HWND dialog = FindShellBox(2000);
            if (!dialog || !PickFolder(dialog, arg)) {
                Fail(L"no folder picker, or it did not take the folder");
                return 1;
            }
        } else if (cmd == L"close") {
            HWND main = Main();
            if (!main) return 1;
            PostMessageW(main, WM_CLOSE, 0, 0);
            DWORD start = GetTickCount();
            while (IsWindow(main)) {
                if (GetTickCount() - start >= 15000) {
                    Fail(L"the Shell window is still there 15 s after WM_CLOSE");
                    return 1;
                }
                Sleep(50);
            }
            g_main = nullptr;
        } else if (cmd == L"key") {
            if (!ParseNumber(arg, &number) || number <= 0) return Usage();
            ++i;
            HWND main = Main();
            if (!main) return 1;
            PostMessageW(main, WM_KEYDOWN, (WPARAM)number, 1);
            PostMessageW(main, WM_KEYUP, (WPARAM)number, 0xC0000001);
            Sleep(100);
        } else if (cmd == L"sleep") {
            if (!ParseNumber(arg, &number) || number < 0) return Usage();
            ++i;
            Sleep((DWORD)number);
        } else {
            return Usage();
        }
        fflush(stdout);
    }
    return 0;
}
