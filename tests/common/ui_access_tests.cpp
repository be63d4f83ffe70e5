// The accessible objects of the static-control windows in this process: an
// action answers for itself with its window's object as parent, its default
// action waits while its window is disabled (a box is up), and every object
// is disconnected once its window is gone.
#include <gtest/gtest.h>

#include <windows.h>
#include <oleacc.h>

#include "ui_access.h"
#include "ui_keys.h"

namespace {

const GUID kIidAccessible = {
    0x618736e0, 0x3c3d, 0x11cf, {0x81, 0x0c, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    LRESULT result = 0;
    if (message == WM_GETOBJECT && UiAnswerGetObject(window, wparam, lparam, &result))
        return result;
    if (UiKeyboardWindowMessage(window, message, wparam, lparam, nullptr, &result)) return result;
    return DefWindowProcW(window, message, wparam, lparam);
}

VARIANT Self() {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = CHILDID_SELF;
    return v;
}

std::wstring Name(IAccessible *object, HRESULT *hr) {
    BSTR text = nullptr;
    *hr = object->get_accName(Self(), &text);
    std::wstring name = text ? std::wstring(text) : std::wstring();
    if (text) SysFreeString(text);
    return name;
}

bool Disconnected(HRESULT hr) { return hr == CO_E_OBJNOTCONNECTED || hr == RPC_E_DISCONNECTED; }

}  // namespace

TEST(UiAccess, AnActionAnswersForItselfAndEveryObjectGoesWithItsWindow) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    WNDCLASSW wc = {};
    wc.lpfnWndProc = Proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"ORV_ACCESS_TEST";
    RegisterClassW(&wc);
    HWND window = CreateWindowExW(0, wc.lpszClassName, L"The window", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                  0, 0, 300, 200, nullptr, nullptr, wc.hInstance, nullptr);
    ASSERT_TRUE(window);
    HWND action = CreateWindowExW(0, L"STATIC", L"PLAY", WS_CHILD | WS_VISIBLE | SS_NOTIFY, 10,
                                  10, 80, 24, window, (HMENU)(INT_PTR)7, wc.hInstance, nullptr);
    ASSERT_TRUE(action);
    UiMakeAction(action);

    IAccessible *own = nullptr;
    ASSERT_EQ(S_OK, AccessibleObjectFromWindow(action, (DWORD)OBJID_CLIENT, kIidAccessible,
                                               (void **)&own));
    HRESULT hr = E_FAIL;
    EXPECT_EQ(L"PLAY", Name(own, &hr));
    VARIANT role;
    VariantInit(&role);
    EXPECT_EQ(S_OK, own->get_accRole(Self(), &role));
    EXPECT_EQ(ROLE_SYSTEM_PUSHBUTTON, role.lVal);
    IDispatch *parent_dispatch = nullptr;
    ASSERT_EQ(S_OK, own->get_accParent(&parent_dispatch));
    IAccessible *parent = nullptr;
    ASSERT_EQ(S_OK, parent_dispatch->QueryInterface(kIidAccessible, (void **)&parent));
    parent_dispatch->Release();
    EXPECT_EQ(L"The window", Name(parent, &hr));
    // The window's own parent is the system's object for its frame.
    IDispatch *frame = nullptr;
    EXPECT_EQ(S_OK, parent->get_accParent(&frame));
    EXPECT_TRUE(frame);
    if (frame) frame->Release();

    // While a box is up (it disables its owner) the default action is
    // refused and nothing is posted; then it clicks.
    MSG msg;
    while (PeekMessageW(&msg, window, WM_COMMAND, WM_COMMAND, PM_REMOVE)) {
    }
    EnableWindow(window, FALSE);
    EXPECT_EQ(E_FAIL, own->accDoDefaultAction(Self()));
    EXPECT_FALSE(PeekMessageW(&msg, window, WM_COMMAND, WM_COMMAND, PM_REMOVE));
    EnableWindow(window, TRUE);
    EXPECT_EQ(S_OK, own->accDoDefaultAction(Self()));
    ASSERT_TRUE(PeekMessageW(&msg, window, WM_COMMAND, WM_COMMAND, PM_REMOVE));
    EXPECT_EQ(7, LOWORD(msg.wParam));

    DestroyWindow(window);
    Name(own, &hr);
    EXPECT_TRUE(Disconnected(hr)) << std::hex << hr;
    long x = 0, y = 0, w = 0, h = 0;
    EXPECT_TRUE(Disconnected(own->accLocation(&x, &y, &w, &h, Self())));
    LONG count = 0;
    EXPECT_TRUE(Disconnected(parent->get_accChildCount(&count)));
    own->Release();
    parent->Release();
}
