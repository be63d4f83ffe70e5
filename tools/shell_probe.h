// Drives the Launcher Shell from another process, the way a user would:
// finds its window by class, reads every control (text, visibility, enabled
// state, rectangle), posts the WM_COMMAND a click produces, types into the
// library search field and answers the message boxes it shows. Used by the
// tests and by shell-driver.
//
// Child order: under Wine a new child window goes to the bottom of its
// siblings, so GW_CHILD .. GW_HWNDNEXT (and EnumChildWindows, which walks the
// same list) yields the children in creation order, first created first.
// ListControls keeps that order. It differs from creation order only where
// the program restacked a control itself (SetWindowPos without
// SWP_NOZORDER); the Shell does that for each progress fill, which sits
// directly above its track, i.e. just before it in this list.
#pragma once

#include <windows.h>

#include "ui_table.h"

#include <string>
#include <vector>

namespace orv_probe {

extern const wchar_t kShellClass[];    // "ORVELANT_LAUNCHER_SHELL_V10"
enum { kSearchEditId = 1314, kMessageBoxTextId = 0xFFFF };

struct ControlInfo {
    HWND hwnd;
    int id;
    std::wstring cls;
    std::wstring text;
    bool visible;   // the control's own WS_VISIBLE
    bool enabled;
    RECT rect;      // in the main window's client coordinates
    LONG style;
    int order;      // position in creation order, 0-based (see above)
};

// The Shell's visible top-level window of process pid (0: any process) that
// answers messages; polls until timeout_ms has passed, then returns null.
HWND FindShellWindow(DWORD pid, DWORD timeout_ms);

// The same for any window class (the Setup's window, for instance).
HWND FindTopLevelWindow(const wchar_t *cls, DWORD pid, DWORD timeout_ms);

// All direct children of main, in creation order.
std::vector<ControlInfo> ListControls(HWND main);
// The layout DPI a Shell or Setup window was laid out at: its own DPI where
// the window fits its screen, less where it does not (the headless test
// display is 1024 x 768). outer_w96: the window's outer width at 96 DPI.
int LayoutDpi(HWND main, int outer_w96);
// A 96-DPI rectangle as such a window lays it out: each edge scaled and
// rounded on its own.
RECT LayoutRect(int dpi, int x, int y, int w, int h);
// A 96-DPI rectangle of a Shell or Setup window at its layout DPI (the
// window's size read from the table its program carries).
RECT ShellRect(HWND main, int x, int y, int w, int h);
// Control `index` of a table row, the same way.
RECT RowRect(HWND main, const UiRow &row, int index = 0);
// Real key input (SendInput): the window is brought to the foreground, the
// modifiers (kShift, kControl) go down, the key is pressed and released, the
// modifiers come up; returns once the window's thread has handled it, with
// the id of the control that has the keyboard focus (0: none, -1: the
// window could not be made the foreground window).
enum { kShift = 1, kControl = 2 };
int PressKey(HWND main, WPARAM key, unsigned modifiers = 0);
// The id of the control with the keyboard focus in main's thread (0: none).
int FocusedId(HWND main);
// Makes main the foreground (active) window; false if it did not become it.
bool BringToFront(HWND main, DWORD timeout_ms = 3000);

// What a screen reader gets: main is asked for WM_GETOBJECT(OBJID_CLIENT)
// and the object it answers is read (itself and each child).
struct AccessibleItem {
    std::wstring name;
    long role = 0;
    long state = 0;
    std::wstring default_action;
    RECT location{};  // screen coordinates
};
struct AccessibleTree {
    HRESULT error = S_OK;  // first failing call, S_OK when all were read
    AccessibleItem self;
    std::vector<AccessibleItem> children;
    long focus = -1;       // get_accFocus: child id, 0 the window, -1 none
};
AccessibleTree ReadAccessible(HWND main);
// Runs the child's default action through the object (1-based id).
HRESULT DoAccessibleDefaultAction(HWND main, long child);
// What a reader hears when the focus moves: the key is pressed (PressKey)
// while the focus events of main's process are watched, and the object of
// the last one is read as a reader does (AccessibleObjectFromEvent), with
// its parent's name. error is the first failing call; E_ABORT when no focus
// event came.
struct HeardFocus {
    HRESULT error = S_OK;
    int id = 0;  // PressKey's answer: the focused control's id
    HWND hwnd = nullptr;  // the window the event named
    AccessibleItem item;
    std::wstring parent_name;
};
HeardFocus PressKeyHeard(HWND main, WPARAM key, unsigned modifiers = 0);
// Sends the window WM_DPICHANGED as Windows does when it moves to a monitor
// of that DPI (Wine never sends it): the suggested rectangle, its current
// one, is written into the window's process first.
bool SendDpiChanged(HWND main, int dpi);
const ControlInfo *ControlById(const std::vector<ControlInfo> &controls, int id);

// The window's text, read with WM_GETTEXT (the owner answers it, so an edit
// control's contents and a hidden control's text are current); falls back to
// the text Windows keeps for the window if the owner does not answer.
std::wstring ReadText(HWND window);

// Posts WM_COMMAND(MAKEWPARAM(id, code), the control's handle or null) to
// main, as a click on an SS_NOTIFY static does, and returns once the Shell
// has dispatched it (see WaitProcessed). false on timeout.
bool Command(HWND main, int id, int code = 0, DWORD timeout_ms = 10000);

// Sets the text of the search field 1314 with WM_SETTEXT (the edit control
// sends EN_CHANGE to the Shell while handling it), then waits as Command.
bool SetSearchText(HWND main, const std::wstring &text, DWORD timeout_ms = 10000);

// Returns once every message posted to main's thread before the call has
// been dispatched. A sent message alone (WM_NULL) does not prove that:
// GetMessage handles sent messages before it returns posted ones. So a
// marker is posted behind them, EM_SETLIMITTEXT with a value of our own to
// the Shell's edit control, and the limit is read back until it shows; then
// the original limit is restored. Without an edit control, three WM_NULL
// round trips are the best there is. false on timeout.
bool WaitProcessed(HWND main, DWORD timeout_ms = 10000);

// A visible message box (dialog class "#32770") of process pid (0: any);
// polls, null on timeout.
HWND FindMessageBox(DWORD pid, DWORD timeout_ms);
std::wstring MessageBoxCaption(HWND box);
std::wstring MessageBoxText(HWND box);
// Presses the button (posts its WM_COMMAND to the box) and waits up to
// timeout_ms for the box to go; false if the box has no such button or
// stays.
bool AnswerMessageBox(HWND box, int button = IDOK, DWORD timeout_ms = 5000);

RECT OuterRect(HWND main);             // GetWindowRect
SIZE ClientSize(HWND main);            // GetClientRect
POINT ClientOrigin(HWND main);         // client (0,0) in screen coordinates

DWORD WindowProcessId(HWND window);

}  // namespace orv_probe
