// The fonts and colours of the static-control windows (the Shell and the
// Setup): the layout's fonts made at its DPI and handed to its controls,
// and the colour answer of WM_CTLCOLORSTATIC.
#include "static_controls.h"
#include "ui_scale.h"

HFONT CreateUiFont(const wchar_t *face, int height, int weight) {
    return CreateFontW(height, 0, 0, 0, weight, 0, 0, 0, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                       CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE, face);
}

LRESULT AnswerStaticColor(HDC dc, COLORREF text, HBRUSH brush) {
    SetBkMode(dc, TRANSPARENT);
    if (text != CLR_INVALID) SetTextColor(dc, text);
    return (LRESULT)brush;
}

static HFONT g_retired_fonts[kMaxUiFonts];

void UiCreateFonts(UiLayout *layout) {
    for (int i = 0; i < layout->font_count; ++i) {
        g_retired_fonts[i] = layout->fonts[i];
        const UiFontSpec *wanted = &layout->font_specs[i];
        layout->fonts[i] =
            CreateUiFont(wanted->face, UiScale(wanted->height, layout->dpi), wanted->weight);
    }
}

void UiApplyFonts(UiLayout *layout) {
    // A window not shown yet has nothing to redraw.
    const BOOL redraw = IsWindowVisible(layout->window);
    for (int i = 0; i < layout->count; ++i) {
        const UiItem *item = &layout->items[i];
        if (item->font >= 0)
            SendMessageW(item->control, WM_SETFONT, (WPARAM)layout->fonts[(int)item->font], redraw);
    }
    // The controls hold the new fonts now: the old ones can go.
    for (int i = 0; i < layout->font_count; ++i) {
        if (g_retired_fonts[i]) DeleteObject(g_retired_fonts[i]);
        g_retired_fonts[i] = NULL;
    }
}
