// The Shell window's controls, GDI resources and colour groups.
#pragma once

#include "shell.h"

enum ShellBrush { BRUSH_WINDOW, BRUSH_FIELD, BRUSH_BUTTON, BRUSH_ACCENT, BRUSH_TRACK, kBrushCount };

extern HBRUSH g_brushes[kBrushCount];
void CreateShellBrushesAndFonts(void);
// The main window, placed and sized for its monitor's DPI and work area.
HWND CreateShellWindow(HINSTANCE instance);
void HandleShellDpiChanged(WPARAM wparam, LPARAM lparam);
// Keyboard use of the window; 1 when msg was handled (not to be dispatched).
int HandleShellKey(MSG *msg);
// Activation, the focus cue's state and the accessible object: 1 when
// handled (the window procedure returns *result).
int HandleShellUiMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                         LRESULT *result);
// Before the window is shown: the initial focus, the artwork's names.
void StartShellKeyboard(void);
// After a page is shown: on a switch, the focus to the new page's first
// action; the same page shown again keeps the focus where it was.
void SettleFocusAfterPageShown(int page, int switched, HWND had_focus);
// Posted once the first frame is painted: the work that can wait for it.
#define WM_SHELL_AFTER_FIRST_FRAME (WM_APP + 14)

void CreateShellControls(HINSTANCE instance);
// The pages not needed for the first frame; once, right after it.
void CreateOtherPages(void);
HICON LoadShellIcon(void);
LRESULT CALLBACK ShellWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);


// The render step: the controls brought up to date with g_model.changed.
void RenderShell(void);
// Shows a page: its controls, its view, the navigation's current mark.
// 1 when it was not the page shown before.
int ShowPage(int page);
// The views, run by the render step only.
void RefreshHomeView(void);
void RefreshStoreView(void);
void RefreshLibraryView(void);
void RefreshDownloadsView(void);
void RefreshSettingsView(void);
void PlaytimeText(int slot, wchar_t *dst, unsigned long long capacity);
// Both progress fills at percent of their tracks.
void ShowProgress(int percent);

// Control `index` of a row of the Shell's layout table (null until made).
HWND ShellControl(int row, int index = 0);
int ControlColorGroup(HWND control);
void SetControlText(HWND control, const wchar_t *text);
void ShowControl(HWND control, int show);

// Shows the page's controls except those its view shows (the list rows),
// hides the other pages'.
void ShowPageControls(int page);
// The page's first control the focus can go to, in tab order (null: none).
HWND FirstPageAction(int page);
