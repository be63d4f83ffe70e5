// Static-control helpers shared by the Shell and the Setup windows.
#include "static_controls.h"

HFONT CreateUiFont(const wchar_t *face, int height, int weight) {
    return CreateFontW(height, 0, 0, 0, weight, 0, 0, 0, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                       CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE, face);
}

void AddColorControl(ControlColorTable *table, HWND control, int group) {
    if (!control || table->count >= kMaxColorControls) return;
    table->controls[table->count] = control;
    table->groups[table->count++] = (unsigned char)group;
}

int FindColorGroup(const ControlColorTable *table, HWND control, int fallback) {
    if (!control) return fallback;
    for (int i = 0; i < table->count; ++i)
        if (table->controls[i] == control) return table->groups[i];
    return fallback;
}

LRESULT AnswerStaticColor(HDC dc, COLORREF text, HBRUSH brush) {
    SetBkMode(dc, TRANSPARENT);
    if (text != CLR_INVALID) SetTextColor(dc, text);
    return (LRESULT)brush;
}
