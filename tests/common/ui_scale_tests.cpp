// Window placement on screens of every size: the window is never partly off
// its work area while a layout of at least half size fits, never drawn larger
// than its monitor's DPI asks, and takes the largest layout that fits.
#include <gtest/gtest.h>

#include "layout_reader.h"
#include "test_support.h"
#include "ui_scale.h"

namespace {

// The Shell's window, as its program carries it.
const UiWindowTable &Shell() {
    return orv_probe::RequireProgramLayoutTable(orv_test::BinDir() + L"\\ORVELANT Launcher.exe");
}
DWORD Style() { return Shell().style; }
int OuterW() { return Shell().outer_w; }
int OuterH() { return Shell().outer_h; }

bool Inside(const RECT &outer, const RECT &work) {
    return outer.left >= work.left && outer.top >= work.top && outer.right <= work.right &&
           outer.bottom <= work.bottom;
}

TEST(UiPlaceWindow, FitsEveryCommonWorkAreaAtTheLargestScaleThatFits) {
    const struct { int w, h; } screens[] = {{1920, 1040}, {1366, 728}, {1280, 680},
                                           {1024, 560},  {800, 560},  {2560, 1400}};
    for (const auto &screen : screens) {
        for (int dpi : {96, 120, 144, 192}) {
            RECT work = {100, 50, 100 + screen.w, 50 + screen.h};
            RECT outer;
            int layout = 0;
            UiPlaceWindow(Style(), 0, 0, OuterW(), OuterH(), dpi, &work, &layout, &outer);
            SCOPED_TRACE(testing::Message() << screen.w << "x" << screen.h << " at " << dpi);
            EXPECT_TRUE(Inside(outer, work));
            EXPECT_LE(layout, dpi);
            if (layout < dpi) {
                // Shrunk: one layout step larger (about a 96th of the width
                // or height) would not have fitted the limiting side.
                const int spare_w = screen.w - (outer.right - outer.left);
                const int spare_h = screen.h - (outer.bottom - outer.top);
                EXPECT_LE(spare_w < spare_h ? spare_w : spare_h, OuterW() / 96 + 1);
            }
        }
    }
}

TEST(UiPlaceWindow, ATinyScreenGetsTheSmallestLayoutAtItsCorner) {
    RECT work = {0, 0, 400, 300};
    RECT outer;
    int layout = 0;
    UiPlaceWindow(Style(), 20, 20, OuterW(), OuterH(), 96, &work, &layout, &outer);
    EXPECT_EQ(0, outer.left);
    EXPECT_EQ(0, outer.top);
    EXPECT_LT(layout, 96);
    // Still the same shape, only smaller.
    EXPECT_LT(outer.right - outer.left, OuterW());
}

}  // namespace
