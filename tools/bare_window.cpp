// A bare Win32 window of the Shell's outer size and background, shown and
// painted once: the peer the Shell's start-up time is measured against.
//   bare-window [<labels> [<hidden labels>]] | drawn <texts>
// With a number, that many visible STATIC labels with text in one font are
// made before the window is shown (in rows down the client area): the peer
// that tells how much of the Shell's first frame is the cost of painting
// its visible controls at all. With a second number, that many hidden
// labels are made after the first frame, as the Shell makes its other
// pages (the window carries "ORVELANT.PagesPending" until they exist): the
// peer for the first input with every control made. With "drawn", the
// window paints that many texts itself, in the same places, with no child
// window: what the same first frame costs drawn without controls.
#include <windows.h>

#include "shell_layout.h"

#include <cwchar>
#include <cstdlib>

static HBRUSH g_background;
static HFONT g_font;
static int g_hidden_labels;
static int g_drawn_texts;
static const UINT kMakeHiddenLabels = WM_APP + 1;

static void LabelText(int i, wchar_t *text, RECT *place) {
    swprintf(text, 32, L"LABEL %d // TEXT", i + 1);
    SetRect(place, 40 + (i / 25) * 400, 20 + (i % 25) * 30, 420 + (i / 25) * 400,
            44 + (i % 25) * 30);
}

static LRESULT CALLBACK BareProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_PAINT && g_drawn_texts > 0) {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(window, &ps);
        HGDIOBJ old = SelectObject(dc, g_font);
        SetTextColor(dc, RGB(238, 233, 223));
        SetBkMode(dc, TRANSPARENT);
        for (int i = 0; i < g_drawn_texts; ++i) {
            wchar_t text[32];
            RECT place;
            LabelText(i, text, &place);
            DrawTextW(dc, text, -1, &place, DT_LEFT | DT_WORDBREAK | DT_NOPREFIX);
        }
        SelectObject(dc, old);
        EndPaint(window, &ps);
        return 0;
    }
    if (message == WM_CTLCOLORSTATIC) {
        HDC dc = (HDC)wparam;
        SetTextColor(dc, RGB(238, 233, 223));
        SetBkMode(dc, TRANSPARENT);
        return (LRESULT)g_background;
    }
    if (message == kMakeHiddenLabels) {
        for (int i = 0; i < g_hidden_labels; ++i) {
            HWND label = CreateWindowExW(0, L"STATIC", L"HIDDEN LABEL // TEXT", WS_CHILD | SS_LEFT,
                                         40, 20, 380, 24, window, nullptr, nullptr, nullptr);
            SendMessageW(label, WM_SETFONT, (WPARAM)g_font, FALSE);
        }
        RemovePropW(window, L"ORVELANT.PagesPending");
        return 0;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR command_line, int) {
    const wchar_t *second = command_line ? wcschr(command_line, L' ') : nullptr;
    const bool drawn = command_line && wcsncmp(command_line, L"drawn ", 6) == 0;
    const int labels = !drawn && command_line && command_line[0] ? _wtoi(command_line) : 0;
    g_hidden_labels = !drawn && second ? _wtoi(second + 1) : 0;
    g_drawn_texts = drawn ? _wtoi(second + 1) : 0;
    g_background = CreateSolidBrush(RGB(5, 5, 5));
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = BareProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
    wc.hbrBackground = g_background;
    wc.lpszClassName = L"ORV_BARE_WINDOW";
    if (!RegisterClassExW(&wc)) return 1;
    // The Shell's place, size and frame, from its layout table.
    const UiWindowTable &shell = kShellWindowTable;
    HWND window = CreateWindowExW(0, wc.lpszClassName, L"Bare window", shell.style, shell.x,
                                  shell.y, shell.outer_w, shell.outer_h, nullptr, nullptr,
                                  instance, nullptr);
    if (!window) return 2;
    if (labels > 0 || g_hidden_labels > 0 || g_drawn_texts > 0) {
        g_font = CreateFontW(-15, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                             DEFAULT_PITCH, L"Segoe UI");
    }
    if (labels > 0) {
        for (int i = 0; i < labels; ++i) {
            wchar_t text[32];
            RECT place;
            LabelText(i, text, &place);
            HWND label = CreateWindowExW(0, L"STATIC", text, WS_CHILD | WS_VISIBLE | SS_LEFT,
                                         place.left, place.top, place.right - place.left,
                                         place.bottom - place.top, window, nullptr, instance,
                                         nullptr);
            SendMessageW(label, WM_SETFONT, (WPARAM)g_font, FALSE);
        }
    }
    if (g_hidden_labels > 0) SetPropW(window, L"ORVELANT.PagesPending", (HANDLE)1);
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
    if (g_hidden_labels > 0) PostMessageW(window, kMakeHiddenLabels, 0, 0);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
