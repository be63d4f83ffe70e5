// layout-table shell|setup <program>
// Prints the layout table a built Shell or Setup carries (read through the
// function the program exports) for the screenshot checks: the window line, then one line per
// control, tab-separated:
//   window  <x> <y> <outer w> <outer h>
//   row     <row> <index> <id> <page> <kind> <colour> <flags> <variant> <x> <y> <w> <h> <text>
// kind: text/action/image/edit; colour: the window's colour group's name;
// flags: their names, comma-separated ("-" none); variant: 0 every, 1 first
// install, 2 existing installation (the Setup);
// text in UTF-8 with line breaks as "\n".
#include <windows.h>

#include <cstdio>
#include <string>

#include "layout_reader.h"

const char *ShellColorName(int color);
const char *SetupColorName(int color);

static const char *KindName(int kind) {
    switch (kind) {
    case UI_KIND_ACTION: return "action";
    case UI_KIND_IMAGE: return "image";
    case UI_KIND_EDIT: return "edit";
    default: return "text";
    }
}

static std::string FlagNames(int flags) {
    static const struct {
        int flag;
        const char *name;
    } names[] = {{UI_ROW_LIST, "list"},   {UI_ROW_SELECTABLE, "selectable"},
                 {UI_ROW_TRACK, "track"}, {UI_ROW_FILL, "fill"},
                 {UI_ROW_CLIP, "clip"},   {UI_ROW_VIEW_TEXT, "view-text"},
                 {UI_ROW_CENTER, "center"}, {UI_ROW_IMAGE_FALLBACK, "image-fallback"}};
    std::string out;
    for (const auto &n : names)
        if (flags & n.flag) out += (out.empty() ? "" : ",") + std::string(n.name);
    return out.empty() ? "-" : out;
}

static std::string Utf8(const wchar_t *text) {
    std::string out;
    if (!text) return out;
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, &bytes[0], n, nullptr, nullptr);
    for (char c : bytes) out += c == '\n' ? std::string("\\n") : std::string(1, c);
    return out;
}

int wmain(int argc, wchar_t **argv) {
    if (argc != 3 || (lstrcmpW(argv[1], L"shell") != 0 && lstrcmpW(argv[1], L"setup") != 0)) {
        fprintf(stderr, "usage: layout-table shell|setup <program>\n");
        return 2;
    }
    const bool shell = lstrcmpW(argv[1], L"shell") == 0;
    std::wstring error;
    const UiWindowTable *table = orv_probe::ProgramLayoutTable(argv[2], &error);
    if (!table) {
        fprintf(stderr, "layout-table: %ls\n", error.c_str());
        return 1;
    }
    const UiWindowTable &t = *table;
    printf("window\t%d\t%d\t%d\t%d\n", t.x, t.y, t.outer_w, t.outer_h);
    for (int r = 0; r < t.row_count; ++r) {
        const UiRow &row = t.rows[r];
        for (int i = 0; i < row.count; ++i) {
            int x, y, w, h;
            UiRowRect(&row, i, &x, &y, &w, &h);
            printf("row\t%d\t%d\t%d\t%d\t%s\t%s\t%s\t%d\t%d\t%d\t%d\t%d\t%s\n", r, i,
                   row.id != 0 ? row.id + i : 0, row.page, KindName(row.kind),
                   shell ? ShellColorName(row.color) : SetupColorName(row.color),
                   FlagNames(row.flags).c_str(),
                   row.variant, x, y, w, h, Utf8(row.text).c_str());
        }
    }
    return 0;
}
