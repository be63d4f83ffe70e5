// Static controls used as labels, badges, images and buttons (SS_NOTIFY
// reports clicks): the fonts they show and the colour answer of
// WM_CTLCOLORSTATIC (ui_fonts.cpp). The Shell and the Setup windows are
// built from these; the controls themselves are made from the layout table
// (ui_layout.cpp).
#pragma once

#include <windows.h>

HFONT CreateUiFont(const wchar_t *face, int height, int weight);

// Transparent background, the text colour (CLR_INVALID leaves it) and the
// brush the control is filled with, as WM_CTLCOLORSTATIC returns it.
LRESULT AnswerStaticColor(HDC dc, COLORREF text, HBRUSH brush);
