// The layout tables the built Shell and Setup carry, read through the
// function each exports: every control inside its window's client area at 96 DPI,
// ids unique, each fill directly before a track at its place, and the
// marks the keyboard and accessibility code rely on where they belong.
#include <gtest/gtest.h>

#include <windows.h>

#include <set>
#include <string>

#include "layout_reader.h"
#include "test_support.h"

namespace {

void CheckTable(const UiWindowTable &t, const char *name) {
    SCOPED_TRACE(name);
    RECT frame = {0, 0, 0, 0};
    ASSERT_TRUE(AdjustWindowRectEx(&frame, t.style, FALSE, 0));
    const int client_w = t.outer_w - (frame.right - frame.left);
    const int client_h = t.outer_h - (frame.bottom - frame.top);
    std::set<int> ids;
    for (int r = 0; r < t.row_count; ++r) {
        const UiRow &row = t.rows[r];
        SCOPED_TRACE("row " + std::to_string(r));
        ASSERT_GE(row.count, 1);
        for (int i = 0; i < row.count; ++i) {
            int x, y, w, h;
            UiRowRect(&row, i, &x, &y, &w, &h);
            EXPECT_TRUE(x >= 0 && y >= 0 && x + w <= client_w && y + h <= client_h)
                << x << "," << y << " " << w << "x" << h << " in " << client_w << "x" << client_h;
            if (row.id != 0) {
                EXPECT_TRUE(ids.insert(row.id + i).second) << "id " << row.id + i << " twice";
            }
        }
        if (row.count > 1) EXPECT_GE(row.step, row.h) << "list controls overlap";
        // Actions send a command and edits take text: both need an id.
        if (row.kind == UI_KIND_ACTION || row.kind == UI_KIND_EDIT) EXPECT_NE(0, row.id);
        if (row.flags & UI_ROW_SELECTABLE) EXPECT_EQ(UI_KIND_ACTION, row.kind);
        if (row.kind == UI_KIND_IMAGE) EXPECT_TRUE(row.text && row.text[0]) << "image file";
        if (row.flags & UI_ROW_IMAGE_FALLBACK) {
            ASSERT_GT(r, 0);
            EXPECT_EQ(UI_KIND_IMAGE, t.rows[r - 1].kind);
        }
        if (row.flags & UI_ROW_FILL) {
            ASSERT_LT(r + 1, t.row_count);
            const UiRow &track = t.rows[r + 1];
            EXPECT_TRUE(track.flags & UI_ROW_TRACK);
            EXPECT_EQ(track.page, row.page);
            EXPECT_TRUE(track.x == row.x && track.y == row.y && track.h == row.h);
        }
    }
}

}  // namespace

TEST(LayoutTables, EveryRowFitsItsWindowWithUniqueIdsAndFillsOverTheirTracks) {
    using orv_probe::RequireProgramLayoutTable;
    CheckTable(RequireProgramLayoutTable(orv_test::BinDir() + L"\\ORVELANT Launcher.exe"), "Shell");
    CheckTable(RequireProgramLayoutTable(orv_test::BinDir() + L"\\ORVELANT_Launcher_Setup_v1.0.0.exe"),
               "Setup");
}
