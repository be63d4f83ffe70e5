// Keyboard use of the static-control windows: tab stops, IsDialogMessage,
// Space on the action, the focus cue inside the action's paint.
#include "ui_keys.h"

#include "ui_access.h"

// On the top-level window: the control that had the focus when the window
// was last deactivated.
static const wchar_t kKeptFocusProperty[] = L"ORVELANT.KeptFocus";
// The top-level windows of this process whose focus cue shows (kept here
// because not every system answers WM_QUERYUISTATE; read on every paint of
// an action, so without a round trip to the window server).
static HWND g_cue_windows[4];
// On an action: Space went down on it and has not come up yet.
static const wchar_t kSpaceProperty[] = L"ORVELANT.SpaceDown";

static WNDPROC g_static_proc;
static LRESULT CALLBACK ActionProc(HWND control, UINT message, WPARAM wparam, LPARAM lparam);

int UiIsAction(HWND control) {
    return control && GetWindowLongPtrW(control, GWLP_WNDPROC) == (LONG_PTR)ActionProc;
}

static int IsEditControl(HWND control);

void UiMakeAction(HWND control) {
    if (!control || UiIsAction(control)) return;
    const LONG_PTR style = GetWindowLongPtrW(control, GWL_STYLE);
    if ((style & (WS_TABSTOP | WS_GROUP)) != (WS_TABSTOP | WS_GROUP))
        SetWindowLongPtrW(control, GWL_STYLE, style | WS_TABSTOP | WS_GROUP);
    // An edit field keeps its own keys and caret: a tab stop only.
    if (IsEditControl(control)) return;
    WNDPROC previous = (WNDPROC)SetWindowLongPtrW(control, GWLP_WNDPROC, (LONG_PTR)ActionProc);
    if (!g_static_proc) g_static_proc = previous;
}

// The control's own visibility: the window may not be shown yet.
int UiCanFocus(HWND control) {
    if (!control) return 0;
    const LONG_PTR style = GetWindowLongPtrW(control, GWL_STYLE);
    return (style & WS_TABSTOP) && (style & WS_VISIBLE) && !(style & WS_DISABLED);
}

static int IsEditControl(HWND control) {
    wchar_t cls[16];
    return control && GetClassNameW(control, cls, 16) > 0 && lstrcmpiW(cls, L"Edit") == 0;
}

static int CueWindowShown(HWND window) {
    if (!window) return 0;
    for (int i = 0; i < 4; ++i)
        if (g_cue_windows[i] == window) return 1;
    return 0;
}

static void SetCueWindow(HWND window, int shown) {
    for (int i = 0; i < 4; ++i)
        if (g_cue_windows[i] == window) g_cue_windows[i] = NULL;
    for (int i = 0; shown && i < 4; ++i)
        if (!g_cue_windows[i]) {
            g_cue_windows[i] = window;
            return;
        }
}

static int CueShown(HWND control) { return CueWindowShown(GetAncestor(control, GA_ROOT)); }

// The click's notification, as a mouse click on the static sends it.
static void Click(HWND control) {
    if (!IsWindowEnabled(control)) return;
    SendMessageW(GetParent(control), WM_COMMAND,
                 MAKEWPARAM(GetDlgCtrlID(control), STN_CLICKED), (LPARAM)control);
}

// A frame just inside the action, in its own text colour.
static void DrawFocusCue(HWND control, HDC dc) {
    int saved = SaveDC(dc);
    SendMessageW(GetParent(control), WM_CTLCOLORSTATIC, (WPARAM)dc, (LPARAM)control);
    HBRUSH brush = CreateSolidBrush(GetTextColor(dc));
    if (brush) {
        RECT r;
        GetClientRect(control, &r);
        int thickness = r.bottom > 24 ? 2 : 1;
        for (int i = 0; i < thickness; ++i) {
            FrameRect(dc, &r, brush);
            InflateRect(&r, -1, -1);
        }
        DeleteObject(brush);
    }
    if (saved) RestoreDC(dc, saved);
}

static LRESULT CALLBACK ActionProc(HWND control, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_PAINT: {
        // The static paints into our paint DC, then the cue goes on top: a
        // repaint for any reason draws both.
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(control, &ps);
        if (dc) {
            CallWindowProcW(g_static_proc, control, WM_PRINTCLIENT, (WPARAM)dc, PRF_CLIENT);
            if (CueShown(control) && GetFocus() == control) DrawFocusCue(control, dc);
        }
        EndPaint(control, &ps);
        return 0;
    }
    case WM_SETTEXT: {
        // Some static controls draw a new text at once, outside WM_PAINT,
        // which would paint over the cue: the text is stored and the control
        // repainted through WM_PAINT instead.
        LRESULT stored = DefWindowProcW(control, message, wparam, lparam);
        InvalidateRect(control, NULL, FALSE);
        return stored;
    }
    case WM_ENABLE:
        InvalidateRect(control, NULL, FALSE);
        UiAccessStateChanged(control, 0);
        return 0;
    case WM_GETOBJECT: {
        LRESULT answered = 0;
        if (UiAnswerGetObject(control, wparam, lparam, &answered)) return answered;
        break;
    }
    case WM_SETFOCUS:
        InvalidateRect(control, NULL, FALSE);
        break;
    case WM_KILLFOCUS:
        RemovePropW(control, kSpaceProperty);
        InvalidateRect(control, NULL, FALSE);
        break;
    case WM_GETDLGCODE:
        // A push button to the dialog manager (Enter runs the focused one);
        // characters stay with the action, so a Space is never taken for a
        // mnemonic of another control's text.
        return DLGC_BUTTON | DLGC_DEFPUSHBUTTON | DLGC_WANTCHARS;
    case WM_KEYDOWN:
        if (wparam != VK_SPACE) break;
        if (!(lparam & (1 << 30))) SetPropW(control, kSpaceProperty, (HANDLE)1);
        return 0;
    case WM_KEYUP:
        if (wparam != VK_SPACE) break;
        // As a push button: the click comes when Space is released.
        if (RemovePropW(control, kSpaceProperty)) Click(control);
        return 0;
    case WM_NCDESTROY:
        RemovePropW(control, kSpaceProperty);
        UiAccessWindowGone(control);
        break;
    default:
        break;
    }
    return CallWindowProcW(g_static_proc, control, message, wparam, lparam);
}

void UiShowFocusCue(HWND window) {
    if (window && !CueWindowShown(window))
        SendMessageW(window, WM_CHANGEUISTATE, MAKEWPARAM(UIS_CLEAR, UISF_HIDEFOCUS), 0);
}

void UiFocusControl(HWND window, HWND control) {
    if (!window || !control) return;
    if (GetActiveWindow() != window) {
        // Focus now would activate the window, taking it from the program
        // the player is in: it is given when the window is activated again.
        SetPropW(window, kKeptFocusProperty, control);
        return;
    }
    SetFocus(control);
    if (IsEditControl(control)) SendMessageW(control, EM_SETSEL, 0, -1);
}

void UiStartKeyboard(HWND window, HWND first) {
    if (!window) return;
    SendMessageW(window, WM_UPDATEUISTATE, MAKEWPARAM(UIS_SET, UISF_HIDEFOCUS | UISF_HIDEACCEL),
                 0);
    if (!first) first = GetNextDlgTabItem(window, NULL, FALSE);
    if (first) SetPropW(window, kKeptFocusProperty, first);
    if (first && GetActiveWindow() == window) SetFocus(first);
}

int UiDialogMessage(HWND window, MSG *msg, int cancel_id) {
    if (!window || (msg->hwnd != window && !IsChild(window, msg->hwnd))) return 0;
    // The texts have no mnemonics (an "&" is shown as it is): Alt+key is
    // the system's (Alt+Space, the window menu), never a control's.
    if (msg->message == WM_SYSCHAR) return 0;
    if (msg->message == WM_KEYDOWN) {
        HWND focus = GetFocus();
        switch (msg->wParam) {
        case VK_TAB:
        case VK_LEFT:
        case VK_RIGHT:
        case VK_UP:
        case VK_DOWN:
            UiShowFocusCue(window);
            break;
        case VK_RETURN:
            // Only a focused, enabled action runs, once per press; no
            // default action answers Enter anywhere else.
            if (!UiIsAction(focus) || !IsWindowEnabled(focus) || (msg->lParam & (1 << 30)))
                return 1;
            break;
        case VK_ESCAPE: {
            HWND cancel = cancel_id ? GetDlgItem(window, cancel_id) : NULL;
            if (cancel && IsWindowVisible(cancel) && !(msg->lParam & (1 << 30))) Click(cancel);
            return 1;
        }
        default:
            break;
        }
    }
    return IsDialogMessageW(window, msg) ? 1 : 0;
}

int UiKeyboardWindowMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                            HWND fallback, LRESULT *result) {
    switch (message) {
    case WM_ACTIVATE: {
        *result = 0;
        if (LOWORD(wparam) == WA_INACTIVE) {
            HWND focus = GetFocus();
            if (focus && IsChild(window, focus)) SetPropW(window, kKeptFocusProperty, focus);
            return 1;
        }
        if (HIWORD(wparam)) return 1;  // minimized: nothing to focus
        HWND kept = (HWND)GetPropW(window, kKeptFocusProperty);
        if (!(kept && IsWindow(kept) && IsChild(window, kept) && UiCanFocus(kept)))
            kept = UiCanFocus(fallback) ? fallback : GetNextDlgTabItem(window, NULL, FALSE);
        SetFocus(kept ? kept : window);
        if (kept && IsEditControl(kept)) SendMessageW(kept, EM_SETSEL, 0, -1);
        return 1;
    }
    case WM_CHANGEUISTATE: {
        // Top-level: decide, then tell the window and its controls.
        const int hide = (HIWORD(wparam) & UISF_HIDEFOCUS) != 0;
        const int shown = CueWindowShown(window);
        const int action = LOWORD(wparam);
        if (hide && ((action == UIS_CLEAR && !shown) || (action == UIS_SET && shown)))
            SendMessageW(window, WM_UPDATEUISTATE, wparam, lparam);
        *result = 0;
        return 1;
    }
    case WM_UPDATEUISTATE: {
        if (HIWORD(wparam) & UISF_HIDEFOCUS) {
            SetCueWindow(window, LOWORD(wparam) == UIS_CLEAR);
            HWND focus = GetFocus();
            if (UiIsAction(focus) && IsChild(window, focus)) InvalidateRect(focus, NULL, FALSE);
        }
        // The system passes it on to the controls.
        *result = DefWindowProcW(window, message, wparam, lparam);
        return 1;
    }
    case WM_DESTROY:
        UiAccessWindowGone(window);
        SetCueWindow(window, 0);
        RemovePropW(window, kKeptFocusProperty);
        return 0;
    default:
        return 0;
    }
}
