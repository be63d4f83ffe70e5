// The colours of both windows (the Shell and the Setup), once.
#pragma once

#include <windows.h>

static const COLORREF kUiWindow = RGB(5, 5, 5);          // the window's background
static const COLORREF kUiField = RGB(9, 10, 10);         // list rows, the search field
static const COLORREF kUiPanel = RGB(12, 15, 17);        // secondary buttons and badges
static const COLORREF kUiAccent = RGB(184, 137, 73);     // rules, fills, primary buttons
static const COLORREF kUiTrack = RGB(30, 32, 33);        // progress tracks
static const COLORREF kUiText = RGB(238, 233, 223);      // plain text
static const COLORREF kUiTextOnAccent = RGB(8, 7, 7);    // text on a primary button
static const COLORREF kUiHighlight = RGB(224, 189, 134); // kickers, the current page
static const COLORREF kUiNavText = RGB(155, 150, 141);   // the other pages' entries
static const COLORREF kUiNewsText = RGB(199, 193, 184);
static const COLORREF kUiDimText = RGB(127, 129, 122);
static const COLORREF kUiBodyText = RGB(170, 163, 153);
