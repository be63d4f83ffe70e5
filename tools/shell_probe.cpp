#include "shell_probe.h"

#include "layout_reader.h"

#include <oleacc.h>

#include <algorithm>

namespace orv_probe {

const wchar_t kShellClass[] = L"ORVELANT_LAUNCHER_SHELL_V10";

static const UINT kSendFlags = SMTO_ABORTIFHUNG | SMTO_BLOCK;

static DWORD Elapsed(DWORD start) { return GetTickCount() - start; }

DWORD WindowProcessId(HWND window) {
    DWORD pid = 0;
    if (window) GetWindowThreadProcessId(window, &pid);
    return pid;
}

static bool Answers(HWND window, DWORD timeout_ms) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(window, WM_NULL, 0, 0, kSendFlags, timeout_ms, &result) != 0;
}

HWND FindShellWindow(DWORD pid, DWORD timeout_ms) {
    return FindTopLevelWindow(kShellClass, pid, timeout_ms);
}

HWND FindTopLevelWindow(const wchar_t *cls, DWORD pid, DWORD timeout_ms) {
    DWORD start = GetTickCount();
    for (;;) {
        HWND window = nullptr;
        while ((window = FindWindowExW(nullptr, window, cls, nullptr)) != nullptr) {
            if (pid != 0 && WindowProcessId(window) != pid) continue;
            // Visible and answering: its loop runs. The Shell paints its first
            // frame before it makes its other pages, and marks the window
            // until they exist.
            if (IsWindowVisible(window) && Answers(window, 2000) &&
                !GetPropW(window, L"ORVELANT.PagesPending"))
                return window;
        }
        if (Elapsed(start) >= timeout_ms) return nullptr;
        Sleep(50);
    }
}

std::wstring ReadText(HWND window) {
    // The text may change between the length and the copy: a copy that
    // fills the buffer may have been cut, so it is read again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        DWORD_PTR length = 0;
        if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, kSendFlags, 5000, &length)) break;
        // The length may be an upper bound; the copy says how much it wrote.
        std::vector<wchar_t> buffer(length + 2, L'\0');
        DWORD_PTR copied = 0;
        if (!SendMessageTimeoutW(window, WM_GETTEXT, buffer.size(), (LPARAM)buffer.data(),
                                 kSendFlags, 5000, &copied))
            break;
        copied = std::min<DWORD_PTR>(copied, buffer.size() - 1);
        if (copied < buffer.size() - 1 || attempt == 4) return std::wstring(buffer.data(), copied);
    }
    wchar_t text[4096];
    int n = GetWindowTextW(window, text, 4096);
    return std::wstring(text, n > 0 ? n : 0);
}

std::vector<ControlInfo> ListControls(HWND main) {
    std::vector<ControlInfo> out;
    // Bounded: a child destroyed or restacked while we walk must not loop us.
    HWND child = GetWindow(main, GW_CHILD);
    for (int guard = 0; child && guard < 4096; ++guard, child = GetWindow(child, GW_HWNDNEXT)) {
        ControlInfo info{};
        info.hwnd = child;
        info.id = (int)GetWindowLongPtrW(child, GWLP_ID);
        wchar_t cls[256];
        int n = GetClassNameW(child, cls, 256);
        info.cls.assign(cls, n > 0 ? n : 0);
        info.style = GetWindowLongW(child, GWL_STYLE);
        info.visible = (info.style & WS_VISIBLE) != 0;
        info.enabled = IsWindowEnabled(child) != 0;
        RECT r{};
        GetWindowRect(child, &r);
        MapWindowPoints(HWND_DESKTOP, main, (POINT *)&r, 2);
        info.rect = r;
        info.text = ReadText(child);
        info.order = (int)out.size();
        out.push_back(info);
    }
    return out;
}

const ControlInfo *ControlById(const std::vector<ControlInfo> &controls, int id) {
    for (const ControlInfo &c : controls)
        if (c.id == id) return &c;
    return nullptr;
}

static HWND FindEdit(HWND main) {
    HWND edit = GetDlgItem(main, kSearchEditId);
    if (edit) return edit;
    for (HWND child = GetWindow(main, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t cls[16];
        if (GetClassNameW(child, cls, 16) && lstrcmpiW(cls, L"Edit") == 0) return child;
    }
    return nullptr;
}

bool WaitProcessed(HWND main, DWORD timeout_ms) {
    DWORD start = GetTickCount();
    HWND edit = FindEdit(main);
    if (!edit || GetWindowThreadProcessId(edit, nullptr) != GetWindowThreadProcessId(main, nullptr)) {
        for (int i = 0; i < 3; ++i)
            if (!Answers(main, timeout_ms)) return false;
        return true;
    }
    DWORD_PTR original = 0;
    if (!SendMessageTimeoutW(edit, EM_GETLIMITTEXT, 0, 0, kSendFlags, timeout_ms, &original))
        return false;
    // A limit no one sets: above any text length, different from the current.
    static unsigned counter;
    WPARAM marker = 0x60000000u + (++counter & 0xFFFFu);
    if (marker == original) ++marker;
    if (!PostMessageW(edit, EM_SETLIMITTEXT, marker, 0)) return false;
    bool seen = false;
    for (;;) {
        DWORD_PTR now = 0;
        DWORD left = timeout_ms > Elapsed(start) ? timeout_ms - Elapsed(start) : 1;
        if (!SendMessageTimeoutW(edit, EM_GETLIMITTEXT, 0, 0, kSendFlags, left, &now)) break;
        if (now == marker) {
            seen = true;
            break;
        }
        if (Elapsed(start) >= timeout_ms) break;
        Sleep(2);
    }
    DWORD_PTR ignored = 0;
    // Restore the limit only if our marker is still the one in place.
    DWORD_PTR current = 0;
    if (SendMessageTimeoutW(edit, EM_GETLIMITTEXT, 0, 0, kSendFlags, 5000, &current) &&
        current == marker)
        SendMessageTimeoutW(edit, EM_SETLIMITTEXT, original, 0, kSendFlags, 5000, &ignored);
    return seen;
}

bool Command(HWND main, int id, int code, DWORD timeout_ms) {
    HWND control = GetDlgItem(main, id);
    if (!PostMessageW(main, WM_COMMAND, MAKEWPARAM(id, code), (LPARAM)control)) return false;
    return WaitProcessed(main, timeout_ms);
}

bool SetSearchText(HWND main, const std::wstring &text, DWORD timeout_ms) {
    HWND edit = GetDlgItem(main, kSearchEditId);
    if (!edit) return false;
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(edit, WM_SETTEXT, 0, (LPARAM)text.c_str(), kSendFlags, timeout_ms,
                             &result))
        return false;
    return WaitProcessed(main, timeout_ms);
}

namespace {
struct BoxSearch {
    DWORD pid;
    HWND found;
};
}  // namespace

static BOOL CALLBACK FindBoxProc(HWND window, LPARAM lparam) {
    BoxSearch *search = (BoxSearch *)lparam;
    wchar_t cls[16];
    if (!GetClassNameW(window, cls, 16) || lstrcmpW(cls, L"#32770") != 0) return TRUE;
    if (search->pid != 0 && WindowProcessId(window) != search->pid) return TRUE;
    if (!IsWindowVisible(window)) return TRUE;
    search->found = window;
    return FALSE;
}

HWND FindMessageBox(DWORD pid, DWORD timeout_ms) {
    DWORD start = GetTickCount();
    for (;;) {
        BoxSearch search{pid, nullptr};
        EnumWindows(FindBoxProc, (LPARAM)&search);
        if (search.found) return search.found;
        if (Elapsed(start) >= timeout_ms) return nullptr;
        Sleep(50);
    }
}

std::wstring MessageBoxCaption(HWND box) { return ReadText(box); }

std::wstring MessageBoxText(HWND box) {
    HWND text = GetDlgItem(box, kMessageBoxTextId);
    return text ? ReadText(text) : std::wstring();
}

bool AnswerMessageBox(HWND box, int button, DWORD timeout_ms) {
    HWND control = GetDlgItem(box, button);
    if (!control) return false;
    if (!PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), (LPARAM)control))
        return false;
    DWORD start = GetTickCount();
    while (IsWindow(box) && IsWindowVisible(box)) {
        if (Elapsed(start) >= timeout_ms) return false;
        Sleep(20);
    }
    return true;
}

RECT OuterRect(HWND main) {
    RECT r{};
    GetWindowRect(main, &r);
    return r;
}

SIZE ClientSize(HWND main) {
    RECT r{};
    GetClientRect(main, &r);
    return SIZE{r.right - r.left, r.bottom - r.top};
}

POINT ClientOrigin(HWND main) {
    POINT p{0, 0};
    ClientToScreen(main, &p);
    return p;
}


// The layout helper's rounding (UiScale); the probe is linked into tools that
// do not carry the launcher's runtime.
static int LayoutScale(int value96, int dpi) { return (value96 * dpi + 48) / 96; }

int LayoutDpi(HWND main, int outer_w96) {
    RECT client = {0, 0, 0, 0};
    RECT frame = {0, 0, 0, 0};
    if (!GetClientRect(main, &client) ||
        !AdjustWindowRectEx(&frame, (DWORD)GetWindowLongW(main, GWL_STYLE), FALSE,
                            (DWORD)GetWindowLongW(main, GWL_EXSTYLE)))
        return 96;
    const int client_w96 = outer_w96 - (frame.right - frame.left);
    for (int dpi = 96 * 3; dpi >= 48; --dpi)
        if (LayoutScale(client_w96, dpi) == client.right - client.left) return dpi;
    return 96;
}

RECT LayoutRect(int dpi, int x, int y, int w, int h) {
    RECT r = {LayoutScale(x, dpi), LayoutScale(y, dpi), LayoutScale(x + w, dpi),
              LayoutScale(y + h, dpi)};
    return r;
}

// The outer width the window's own program lays it out for, from the table
// its program file carries (0 when it cannot be read).
static int ProgramOuterWidth(HWND main) {
    HANDLE process =
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, WindowProcessId(main));
    if (!process) return 0;
    wchar_t path[MAX_PATH * 2];
    DWORD units = MAX_PATH * 2;
    const bool named = QueryFullProcessImageNameW(process, 0, path, &units) != 0;
    CloseHandle(process);
    const UiWindowTable *table = named ? ProgramLayoutTable(path) : nullptr;
    return table ? table->outer_w : 0;
}

RECT ShellRect(HWND main, int x, int y, int w, int h) {
    return LayoutRect(LayoutDpi(main, ProgramOuterWidth(main)), x, y, w, h);
}

RECT RowRect(HWND main, const UiRow &row, int index) {
    int x, y, w, h;
    UiRowRect(&row, index, &x, &y, &w, &h);
    return ShellRect(main, x, y, w, h);
}

bool SendDpiChanged(HWND main, int dpi) {
    DWORD pid = WindowProcessId(main);
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, pid);
    if (!process) return false;
    RECT suggested;
    bool ok = false;
    void *remote = VirtualAllocEx(process, nullptr, sizeof(suggested), MEM_COMMIT | MEM_RESERVE,
                                  PAGE_READWRITE);
    if (remote && GetWindowRect(main, &suggested) &&
        WriteProcessMemory(process, remote, &suggested, sizeof(suggested), nullptr)) {
        DWORD_PTR result = 0;
        ok = SendMessageTimeoutW(main, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), (LPARAM)remote,
                                 kSendFlags, 10000, &result) != 0;
    }
    if (remote) VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    CloseHandle(process);
    return ok;
}

int FocusedId(HWND main) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof(info);
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(main, nullptr), &info) || !info.hwndFocus)
        return 0;
    return GetDlgCtrlID(info.hwndFocus);
}

bool BringToFront(HWND main, DWORD timeout_ms) {
    DWORD start = GetTickCount();
    while (GetForegroundWindow() != main) {
        SetForegroundWindow(main);
        if (GetForegroundWindow() == main) break;
        if (Elapsed(start) >= timeout_ms) return false;
        Sleep(20);
    }
    return true;
}

static void AddKey(std::vector<INPUT> &inputs, WORD key, bool up) {
    INPUT in{};
    in.type = INPUT_KEYBOARD;
    in.ki.wVk = key;
    in.ki.wScan = (WORD)MapVirtualKeyW(key, MAPVK_VK_TO_VSC);
    in.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    inputs.push_back(in);
}

int PressKey(HWND main, WPARAM key, unsigned modifiers) {
    if (!BringToFront(main)) return -1;
    std::vector<INPUT> inputs;
    if (modifiers & kControl) AddKey(inputs, VK_CONTROL, false);
    if (modifiers & kShift) AddKey(inputs, VK_SHIFT, false);
    AddKey(inputs, (WORD)key, false);
    AddKey(inputs, (WORD)key, true);
    if (modifiers & kShift) AddKey(inputs, VK_SHIFT, true);
    if (modifiers & kControl) AddKey(inputs, VK_CONTROL, true);
    if (SendInput((UINT)inputs.size(), inputs.data(), sizeof(INPUT)) != inputs.size()) return 0;
    // The keys are in the window thread's input queue now; its loop takes
    // posted messages before input, so one posted marker may come back
    // before the keys are read. Rounds with a pause between them give the
    // loop its turn at the input.
    for (int round = 0; round < 3; ++round) {
        Sleep(30);
        if (!WaitProcessed(main)) return 0;
    }
    return FocusedId(main);
}

// ---- what a screen reader gets ----------------------------------------------

// IID_IAccessible, spelled out (the import library's symbol is a thunk,
// not the GUID, in this toolchain).
static const GUID kIidAccessible = {
    0x618736e0, 0x3c3d, 0x11cf, {0x81, 0x0c, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

static IAccessible *AccessibleOf(HWND main, HRESULT *error) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutW(main, WM_GETOBJECT, 0, (LPARAM)OBJID_CLIENT, kSendFlags, 10000,
                             &answer)) {
        *error = HRESULT_FROM_WIN32(ERROR_TIMEOUT);
        return nullptr;
    }
    if (FAILED((HRESULT)answer) || answer == 0) {
        *error = answer == 0 ? E_NOINTERFACE : (HRESULT)answer;
        return nullptr;
    }
    IAccessible *object = nullptr;
    *error = ObjectFromLresult((LRESULT)answer, kIidAccessible, 0, (void **)&object);
    return SUCCEEDED(*error) ? object : nullptr;
}

static std::wstring TakeString(BSTR text) {
    std::wstring out = text ? std::wstring(text, SysStringLen(text)) : std::wstring();
    if (text) SysFreeString(text);
    return out;
}

static HRESULT ReadItem(IAccessible *object, long id, AccessibleItem *item) {
    VARIANT child;
    VariantInit(&child);
    child.vt = VT_I4;
    child.lVal = id;
    BSTR text = nullptr;
    HRESULT hr = object->get_accName(child, &text);
    if (FAILED(hr)) return hr;
    item->name = TakeString(text);
    VARIANT value;
    VariantInit(&value);
    hr = object->get_accRole(child, &value);
    if (FAILED(hr)) return hr;
    item->role = value.vt == VT_I4 ? value.lVal : -1;
    VariantClear(&value);
    hr = object->get_accState(child, &value);
    if (FAILED(hr)) return hr;
    item->state = value.vt == VT_I4 ? value.lVal : -1;
    VariantClear(&value);
    text = nullptr;
    hr = object->get_accDefaultAction(child, &text);
    if (FAILED(hr)) return hr;
    item->default_action = TakeString(text);
    long x = 0, y = 0, w = 0, h = 0;
    hr = object->accLocation(&x, &y, &w, &h, child);
    if (FAILED(hr)) return hr;
    item->location = RECT{x, y, x + w, y + h};
    return S_OK;
}

AccessibleTree ReadAccessible(HWND main) {
    AccessibleTree tree;
    IAccessible *object = AccessibleOf(main, &tree.error);
    if (!object) return tree;
    long count = 0;
    tree.error = object->get_accChildCount(&count);
    if (SUCCEEDED(tree.error)) tree.error = ReadItem(object, CHILDID_SELF, &tree.self);
    for (long id = 1; SUCCEEDED(tree.error) && id <= count; ++id) {
        AccessibleItem item;
        tree.error = ReadItem(object, id, &item);
        tree.children.push_back(item);
    }
    VARIANT focus;
    VariantInit(&focus);
    if (SUCCEEDED(tree.error) && object->get_accFocus(&focus) == S_OK && focus.vt == VT_I4)
        tree.focus = focus.lVal;
    VariantClear(&focus);
    if (SUCCEEDED(tree.error)) tree.error = S_OK;
    object->Release();
    return tree;
}

static HWND g_heard_hwnd;
static LONG g_heard_object, g_heard_child;

static void CALLBACK OnFocusEvent(HWINEVENTHOOK, DWORD, HWND hwnd, LONG object, LONG child, DWORD,
                                  DWORD) {
    g_heard_hwnd = hwnd;
    g_heard_object = object;
    g_heard_child = child;
}

HeardFocus PressKeyHeard(HWND main, WPARAM key, unsigned modifiers) {
    HeardFocus heard;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    g_heard_hwnd = nullptr;
    HWINEVENTHOOK hook =
        SetWinEventHook(EVENT_OBJECT_FOCUS, EVENT_OBJECT_FOCUS, nullptr, OnFocusEvent,
                        WindowProcessId(main), 0, WINEVENT_OUTOFCONTEXT);
    heard.id = PressKey(main, key, modifiers);
    // The events come to this thread's message queue.
    DWORD start = GetTickCount();
    MSG msg;
    do {
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        Sleep(10);
    } while (Elapsed(start) < 300);
    if (hook) UnhookWinEvent(hook);
    heard.hwnd = g_heard_hwnd;
    if (!hook || !heard.hwnd) {
        heard.error = E_ABORT;
        return heard;
    }
    IAccessible *object = nullptr;
    VARIANT child;
    VariantInit(&child);
    heard.error = AccessibleObjectFromEvent(heard.hwnd, (DWORD)g_heard_object,
                                            (DWORD)g_heard_child, &object, &child);
    if (FAILED(heard.error) || !object) return heard;
    heard.error = ReadItem(object, child.vt == VT_I4 ? child.lVal : CHILDID_SELF, &heard.item);
    IDispatch *parent = nullptr;
    if (SUCCEEDED(heard.error)) heard.error = object->get_accParent(&parent);
    IAccessible *parent_object = nullptr;
    if (parent) parent->QueryInterface(kIidAccessible, (void **)&parent_object);
    if (parent_object) {
        VARIANT self;
        VariantInit(&self);
        self.vt = VT_I4;
        self.lVal = CHILDID_SELF;
        BSTR name = nullptr;
        if (SUCCEEDED(parent_object->get_accName(self, &name))) heard.parent_name = TakeString(name);
        parent_object->Release();
    }
    if (parent) parent->Release();
    object->Release();
    if (SUCCEEDED(heard.error)) heard.error = S_OK;
    return heard;
}

HRESULT DoAccessibleDefaultAction(HWND main, long id) {
    HRESULT error = S_OK;
    IAccessible *object = AccessibleOf(main, &error);
    if (!object) return error;
    VARIANT child;
    VariantInit(&child);
    child.vt = VT_I4;
    child.lVal = id;
    error = object->accDoDefaultAction(child);
    object->Release();
    return error;
}

}  // namespace orv_probe
