// What a screen reader gets from the static-control windows (the Shell and
// the Setup). The window answers WM_GETOBJECT(OBJID_CLIENT) with an
// accessible object of its own whose children are its visible actions (push
// buttons named by their text, with their default action and states) and
// its named images; the system's own objects for static controls say
// "static text" at best, and some systems give none at all.
#pragma once

#include <windows.h>

// The accessible name of an image control; name must outlive the control.
void UiSetImageName(HWND control, const wchar_t *name);

// WM_GETOBJECT of the window or of one of its actions (which answers with
// the object its window gives for it): 1 when answered (the procedure
// returns *result), 0 to leave it to DefWindowProc.
int UiAnswerGetObject(HWND window, WPARAM wparam, LPARAM lparam, LRESULT *result);
// The window or action is being destroyed: its objects are disconnected.
void UiAccessWindowGone(HWND window);
// Tells readers an action's state changed (selected: it became the
// selected one of its group).
void UiAccessStateChanged(HWND control, int selected);
