// Keyboard use of the static-control windows (the Shell and the Setup), the
// dialog manager's way: the actions are tab stops, IsDialogMessage moves the
// focus and runs the focused action on Enter, the action itself runs on
// Space, and the focus cue is drawn inside the action's own paint, shown
// once the keyboard is used (WM_CHANGEUISTATE / WM_UPDATEUISTATE).
#pragma once

#include <windows.h>

// Makes a clickable static (SS_NOTIFY, non-zero id) an action: a tab stop
// (and a group of its own) that paints the focus cue and clicks on Space.
// An edit field only becomes a tab stop.
void UiMakeAction(HWND control);
// 1 for an action made by UiMakeAction.
int UiIsAction(HWND control);
// 1 for a control the focus may go to: a visible, enabled tab stop.
int UiCanFocus(HWND control);

// The window's keys, before TranslateMessage/DispatchMessage: Tab and
// Shift+Tab, Enter on the focused action (once per press, never on a
// disabled one), Esc as a click on cancel_id (0: Esc does nothing).
// Returns 1 when msg was handled (dispatched or dropped).
int UiDialogMessage(HWND window, MSG *msg, int cancel_id);
// The keyboard was used to move around: the focus cue shows from now on.
void UiShowFocusCue(HWND window);

// Focus to control when the window is the active one; otherwise the control
// gets it when the window is activated again. An edit's text is selected.
void UiFocusControl(HWND window, HWND control);
// Before the window is first shown: the cue hidden (as after a start with
// the mouse) and first as the control to get the focus.
void UiStartKeyboard(HWND window, HWND first);

// WM_ACTIVATE, WM_CHANGEUISTATE and WM_UPDATEUISTATE of the window: the
// focus kept while the window is inactive and given back (fallback when the
// kept control can no longer have it), the cue state kept and repainted.
// Returns 1 when handled (the procedure returns *result).
int UiKeyboardWindowMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                            HWND fallback, LRESULT *result);
