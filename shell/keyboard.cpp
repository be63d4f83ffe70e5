// The Shell window's keyboard and what a screen reader gets: page keys,
// the platform's dialog keys, focus across page switches and activation,
// the selected marks and the artwork's names.
#include "window.h"

#include "runtime.h"
#include "ui_access.h"
#include "ui_keys.h"

// The page's first action the focus can go to; its navigation entry when
// the page has none (DOWNLOADS while nothing can be paused).
static HWND PageFocusTarget(int page) {
    HWND first = FirstPageAction(page);
    if (first) return first;
    return page >= 0 && page < kPageCount ? ShellControl(ROW_NAV_HOME + page) : NULL;
}

void SettleFocusAfterPageShown(int page, int switched, HWND had_focus) {
    // Hiding the focused control took the focus to the window.
    if (!switched && had_focus && IsChild(g_main_window, had_focus) && UiCanFocus(had_focus)) {
        if (GetFocus() != had_focus) UiFocusControl(g_main_window, had_focus);
        return;
    }
    if (switched || GetFocus() == g_main_window)
        UiFocusControl(g_main_window, PageFocusTarget(page));
}

void StartShellKeyboard(void) {
    UiSetImageName(ShellControl(ROW_WORDMARK_IMAGE), L"ORVELANT");
    UiSetImageName(ShellControl(ROW_HOME_ART), ORV_SHELL_CAPTION);
    UiStartKeyboard(g_main_window, PageFocusTarget(g_model.ui.current_page));
}

// Ctrl+Tab and Ctrl+Page Down show the next page, Ctrl+Shift+Tab and
// Ctrl+Page Up the previous one, as a click on its navigation entry does;
// the rest is the dialog keys of the window's actions.
int HandleShellKey(MSG *msg) {
    if (msg->message == WM_KEYDOWN && GetKeyState(VK_CONTROL) < 0 && g_main_window &&
        (msg->hwnd == g_main_window || IsChild(g_main_window, msg->hwnd))) {
        int step = 0;
        if (msg->wParam == VK_TAB) step = GetKeyState(VK_SHIFT) < 0 ? -1 : 1;
        if (msg->wParam == VK_NEXT) step = 1;
        if (msg->wParam == VK_PRIOR) step = -1;
        if (step != 0) {
            int page = (g_model.ui.current_page + kPageCount + step) % kPageCount;
            UiShowFocusCue(g_main_window);
            SendMessageW(g_main_window, WM_COMMAND, MAKEWPARAM(ID_NAV_HOME + page, 0),
                         (LPARAM)ShellControl(ROW_NAV_HOME + page));
            return 1;
        }
    }
    return UiDialogMessage(g_main_window, msg, 0);
}

int HandleShellUiMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                         LRESULT *result) {
    if (message == WM_GETOBJECT) return UiAnswerGetObject(window, wparam, lparam, result);
    HWND fallback = message == WM_ACTIVATE ? PageFocusTarget(g_model.ui.current_page) : NULL;
    return UiKeyboardWindowMessage(window, message, wparam, lparam, fallback, result);
}
