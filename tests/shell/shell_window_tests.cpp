// The real Shell, started in a scratch install directory and driven from
// outside as a user would: its window found by class, every control read
// back (text, visibility, enabled state, client rectangle), clicks posted as
// the WM_COMMAND they produce, text typed into the search field.
#include <gtest/gtest.h>

#include "accessible_checks.h"
#include "shell_fixture.h"

#include <atomic>
#include <thread>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

using namespace orv_test;
using orv_probe::ControlInfo;

namespace {

enum Page { FRAME = -1, HOME = 0, STORE = 1, LIBRARY = 2, DOWNLOADS = 3, SETTINGS = 4 };

struct Expected {
    int id;
    int x, y, w, h;
    const wchar_t *text;   // creation text; null: written by a view
    int page;
    bool fixed;            // the text never changes
    const wchar_t *cls;
    bool list = false;     // shown by the page's view, not by the page switch
    bool action = false;   // reports clicks
};

const wchar_t kStatic[] = L"Static";
const wchar_t kEdit[] = L"Edit";

// Every control the Shell's layout table declares, in its order (the order
// the window lists its children in): the image rows when the assets are
// installed, the text wordmark in place of the header image when not.
std::vector<Expected> AllControls(bool with_assets) {
    std::vector<Expected> v;
    for (int r = 0; r < ShellTable().row_count; ++r) {
        const UiRow &row = ShellTable().rows[r];
        if (row.kind == UI_KIND_IMAGE) {
            if (with_assets) v.push_back({0, row.x, row.y, row.w, row.h, L"", row.page, true, kStatic});
            continue;
        }
        if ((row.flags & UI_ROW_IMAGE_FALLBACK) && with_assets) continue;
        for (int i = 0; i < row.count; ++i) {
            Expected e{row.id != 0 ? row.id + i : 0, 0, 0, 0, 0, row.text, row.page,
                       !(row.flags & UI_ROW_VIEW_TEXT), row.kind == UI_KIND_EDIT ? kEdit : kStatic};
            UiRowRect(&row, i, &e.x, &e.y, &e.w, &e.h);
            if (row.flags & UI_ROW_FILL) e.w = 0;  // no job yet: the fill is empty
            e.list = (row.flags & UI_ROW_LIST) != 0;
            e.action = row.kind == UI_KIND_ACTION;
            v.push_back(e);
        }
    }
    return v;
}

std::string Describe(const Expected &e) {
    return "control id " + std::to_string(e.id) + " at " + std::to_string(e.x) + "," +
           std::to_string(e.y) + " " + std::to_string(e.w) + "x" + std::to_string(e.h);
}

bool Matches(const ControlInfo &c, const Expected &e) {
    return SameRect(c, e.id, e.x, e.y, e.w, e.h);
}

class ShellWindowTest : public ShellProcessTest {
protected:
    // Checks the whole control set, one by one in creation order: each has
    // its id, class, rectangle and notify style, fixed texts are intact,
    // nothing else exists, and exactly the frame and the given page are
    // visible (rows are checked by the tests that know their content).
    void CheckControls(int page, const std::set<int> &hidden_on_page = {}) {
        std::vector<ControlInfo> all = Controls();
        std::vector<Expected> expected = AllControls(with_assets_);
        ASSERT_EQ(expected.size(), all.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            const Expected &e = expected[i];
            const ControlInfo &c = all[i];
            SCOPED_TRACE("child " + std::to_string(i) + ": " + Describe(e));
            EXPECT_TRUE(Matches(c, e)) << "found id " << c.id << " at " << c.rect.left << ","
                                       << c.rect.top << " " << c.rect.right - c.rect.left << "x"
                                       << c.rect.bottom - c.rect.top;
            EXPECT_EQ(std::wstring(e.cls), c.cls);
            if (e.fixed) EXPECT_EQ(std::wstring(e.text), c.text);
            bool row = e.list;
            if (e.page == FRAME) EXPECT_TRUE(c.visible);
            else if (e.page != page) EXPECT_FALSE(c.visible);
            else if (!row && !hidden_on_page.count(e.id)) EXPECT_TRUE(c.visible);
            if (e.cls == kStatic && !(c.style & SS_BITMAP)) {
                EXPECT_EQ(e.action ? SS_NOTIFY : 0, c.style & SS_NOTIFY);
                EXPECT_EQ(SS_NOPREFIX, c.style & SS_NOPREFIX);  // "&" is shown as it is
            }
        }
    }

    bool with_assets_ = false;
};

const char kDefaultNotInstalled[] =
    "ORVELANT Library へインストールします。ゲームごとに独立した更新・修復状態を管理します。";
const char kWaiting[] =
    "SIGNAL // WAITING FOR OFFICIAL UPDATE\n最新情報は接続時にORVELANTから同期されます。";


}  // namespace

// First run: no caches, lists, registry values, assets or Worker.
TEST_F(ShellWindowTest, FirstRunShowsHomeOfTheDefaultCatalog) {
    StartAndWait();
    CheckControls(HOME, {2201, 2202});
    EXPECT_EQ(L"PROJECT / 001", RowText(ROW_HOME_KICKER));
    EXPECT_EQ(L"HALCYRA", RowText(ROW_HOME_TITLE));
    EXPECT_EQ(L"THE NEXT WORLD STARTS HERE.", RowText(ROW_HOME_TAGLINE));
    EXPECT_EQ(L"AVAILABLE // NOT INSTALLED", RowText(ROW_HOME_STATUS));
    EXPECT_EQ(Widen(kDefaultNotInstalled), RowText(ROW_HOME_MESSAGE));
    EXPECT_EQ(L"INSTALL", Text(1100));
    EXPECT_EQ(Widen(kWaiting), Text(2200));
    EXPECT_TRUE(ById(2200).visible);
    EXPECT_FALSE(ById(2201).visible);
    EXPECT_EQ(L"SIGNAL // LOCAL", RowText(ROW_SIGNAL_LABEL));  // no Worker: no sync
    EXPECT_TRUE(PathIsDir(library_));

    // The outer window: caption, system menu and minimize box, nothing else.
    LONG style = GetWindowLongW(window_, GWL_STYLE);
    // (The system adds WS_CLIPSIBLINGS to every top-level window.)
    EXPECT_EQ((LONG)(WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_VISIBLE),
              style & ~(LONG)WS_CLIPSIBLINGS);
    wchar_t title[64] = {};
    GetWindowTextW(window_, title, 64);
    EXPECT_STREQ(L"ORVELANT Launcher", title);

    PostMessageW(window_, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, WaitExit());
    EXPECT_EQ("==== ORVELANT Launcher 1.0.0 release-candidate shell startup ====\r\n"
              "Shell UI ready; starting catalog/news/control sync in isolated worker\r\n",
              Read(L"logs\\launcher.log"));
}

TEST_F(ShellWindowTest, AssetsGiveTheWordmarkBitmapTheArtAndTheIcon) {
    InstallAssets();
    with_assets_ = true;
    StartAndWait();
    CheckControls(HOME, {2201, 2202});
    EXPECT_TRUE(AtRow(ROW_WORDMARK_IMAGE).style & SS_BITMAP);
    EXPECT_TRUE(AtRow(ROW_HOME_ART).style & SS_BITMAP);
    for (const ControlInfo &c : Controls()) EXPECT_NE(L"ORVELANT", c.text);
    // The window icon is checked on the X display (Wine answers WM_GETICON
    // from another process with null): see the screenshot test.
    Click(1002);
    EXPECT_FALSE(AtRow(ROW_HOME_ART).visible);
    Click(1001);
    EXPECT_TRUE(AtRow(ROW_HOME_ART).visible);

    // Moved to a monitor at half the DPI and back: every control, the images
    // included, is laid out again at the new scale, and nothing else changes.
    const int first_dpi = ShellLayoutDpi(window_);
    ASSERT_TRUE(orv_probe::SendDpiChanged(window_, 48));
    EXPECT_EQ(48, ShellLayoutDpi(window_));
    CheckControls(HOME, {2201, 2202});
    ASSERT_TRUE(orv_probe::SendDpiChanged(window_, 96));
    EXPECT_EQ(first_dpi, ShellLayoutDpi(window_));
    CheckControls(HOME, {2201, 2202});
    EXPECT_TRUE(AtRow(ROW_HOME_ART).visible);
}

TEST_F(ShellWindowTest, NavigationShowsEachPageWithItsTexts) {
    Write(L"catalog.json", Catalog({Product("first-title", "HALCYRA", "PROJECT / 001"),
                                    Product("second-title", "VESPERLINE")}));
    SettingsGuard::SetNumber(L"BandwidthKbps", 2048);
    StartAndWait();

    Click(1002);
    CheckControls(STORE);
    EXPECT_EQ(L"PROJECT / 001  //  HALCYRA", Text(2000));
    EXPECT_EQ(L"VESPERLINE", Text(2001));
    EXPECT_TRUE(ById(2001).visible);
    EXPECT_FALSE(ById(2002).visible);
    EXPECT_EQ(L"HALCYRA", RowText(ROW_STORE_DETAIL_TITLE));
    EXPECT_EQ(L"PROJECT / 001", RowText(ROW_STORE_DETAIL_META));
    EXPECT_EQ(L"PRODUCT PAGE SOON", Text(1200));  // the catalog gives no store_url
    Click(2001);
    EXPECT_EQ(L"VESPERLINE", RowText(ROW_STORE_DETAIL_TITLE));
    Click(2005);  // beyond the product count: nothing
    EXPECT_EQ(L"VESPERLINE", RowText(ROW_STORE_DETAIL_TITLE));

    Click(1003);
    CheckControls(LIBRARY);
    EXPECT_EQ((std::vector<std::wstring>{L"HALCYRA   //   NOT INSTALLED",
                                          L"VESPERLINE   //   NOT INSTALLED"}),
              VisibleLibraryRows());

    Click(1004);
    CheckControls(DOWNLOADS);
    EXPECT_EQ(L"NO ACTIVE DOWNLOADS", RowText(ROW_DOWNLOADS_HEADLINE));
    EXPECT_EQ(L"QUEUE // IDLE", RowText(ROW_DOWNLOADS_QUEUE_LINE));
    EXPECT_EQ(L"ORVELANTはゲーム単位で更新状態を分離します。.partはHTTP Rangeで再開します。"
              L"  BANDWIDTH // 2048 KB/s",
              RowText(ROW_DOWNLOADS_DETAIL));
    EXPECT_EQ(L"PAUSE", Text(1350));
    EXPECT_FALSE(ById(1350).enabled);

    Click(1005);
    CheckControls(SETTINGS);
    EXPECT_EQ(L"GAME LIBRARY  //  " + library_, RowText(ROW_SETTINGS_LIBRARY_LINE));
    EXPECT_EQ(L"LOGS  //  " + dir_ + L"\\logs", RowText(ROW_SETTINGS_LOGS_LINE));
    EXPECT_EQ(L"OFFLINE POLICY  //  KNOWN-GOOD SINGLE PLAYER ALLOWED", RowText(ROW_SETTINGS_OFFLINE_LINE));
    EXPECT_EQ(L"BANDWIDTH // 2048 KB/s", Text(1404));
    EXPECT_EQ(L"LAUNCHER 1.0.0  //  CURRENT", Text(1402));
    EXPECT_FALSE(ById(1402).enabled);

    Click(1001);
    CheckControls(HOME, {2201, 2202});
    Click(1101);        // MANAGE IN LIBRARY
    CheckControls(LIBRARY);
    // A command without id meaning and a non-zero notification do nothing.
    ASSERT_TRUE(orv_probe::Command(window_, 1002, STN_DBLCLK));
    CheckControls(LIBRARY);
}

TEST_F(ShellWindowTest, SettingsAndStoreFollowTheControlDocument) {
    Write(L"control.json",
          "{\"allow_offline\": false, \"store_enabled\": false,"
          " \"latest_launcher_version\": \"1.2.0\", \"min_launcher_version\": \"1.1.0\"}");
    StartAndWait();
    Click(1005);
    EXPECT_EQ(L"OFFLINE POLICY  //  DISABLED BY REMOTE CONTROL", RowText(ROW_SETTINGS_OFFLINE_LINE));
    EXPECT_EQ(L"UPDATE & RESTART  //  1.2.0  //  REQUIRED", Text(1402));
    EXPECT_TRUE(ById(1402).enabled);
    EXPECT_EQ(L"BANDWIDTH // UNLIMITED", Text(1404));
    Click(1002);
    for (int i = 0; i < 8; ++i) EXPECT_FALSE(ById(2000 + i).visible);
    EXPECT_EQ(L"STORE // TEMPORARILY HIDDEN", RowText(ROW_STORE_DETAIL_TITLE));
    EXPECT_EQ(L"ORVELANT CONTROL", RowText(ROW_STORE_DETAIL_META));
    EXPECT_EQ(L"WWW.ORVELANT.EXAMPLE", Text(1200));
}

struct HomeCase {
    const char *name;
    const char *control;
    bool installed;
    const wchar_t *status, *message, *primary;
};

void PrintTo(const HomeCase &c, std::ostream *out) { *out << c.name; }

class ShellHomePolicy : public ShellWindowTest,
                        public ::testing::WithParamInterface<HomeCase> {};

TEST_P(ShellHomePolicy, StatusMessageAndPrimaryButton) {
    const HomeCase &c = GetParam();
    if (c.control) Write(L"control.json", c.control);
    if (c.installed) InstallProduct("first-title", "1.0.0", true);
    StartAndWait();
    EXPECT_EQ(std::wstring(c.status), RowText(ROW_HOME_STATUS));
    EXPECT_EQ(std::wstring(c.message), RowText(ROW_HOME_MESSAGE));
    EXPECT_EQ(std::wstring(c.primary), Text(1100));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ShellHomePolicy,
    ::testing::Values(
        HomeCase{"UpdateRequired", "{\"min_launcher_version\": \"1.0.1\", \"service_state\": \"maintenance\"}",
                 true, L"LAUNCHER UPDATE // REQUIRED",
                 L"ORVELANT Launcherの更新が必要です。Settingsから最新版を取得してください。"
                 L"ゲームの更新・起動はLauncher更新後に再開できます。",
                 L"UPDATE LAUNCHER"},
        HomeCase{"MaintenanceWithMessage",
                 "{\"service_state\": \"maintenance\", \"maintenance_message\": \"MAINT 02:00-04:00\"}",
                 false, L"SERVICE // MAINTENANCE", L"MAINT 02:00-04:00", L"INSTALL / CHECK"},
        HomeCase{"MaintenanceInstalled", "{\"service_state\": \"maintenance\"}", true,
                 L"SERVICE // MAINTENANCE",
                 L"配信サービスをメンテナンスしています。検証済みのゲームはLibraryからオフライン起動できます。",
                 L"PLAY / CHECK"},
        HomeCase{"Installed", nullptr, true, L"READY // 1.0.0",
                 L"起動前に更新を確認します。更新サービス停止時は、検証済みのインストールをオフライン起動できます。",
                 L"PLAY"},
        HomeCase{"InstalledWithAnnouncement", "{\"announcement\": \"NEW SEASON\"}", true,
                 L"READY // 1.0.0", L"NEW SEASON", L"PLAY"},
        HomeCase{"NotInstalled", nullptr, false, L"AVAILABLE // NOT INSTALLED",
                 L"ORVELANT Library へインストールします。ゲームごとに独立した更新・修復状態を管理します。",
                 L"INSTALL"}),
    [](const ::testing::TestParamInfo<HomeCase> &info) { return std::string(info.param.name); });

TEST_F(ShellWindowTest, HomeShowsUpToThreeNewsRows) {
    Write(L"news.json",
          "{\"items\": [{\"title\": \"SEASON ONE\", \"summary\": \"新しい世界\", \"published_at\": \"2026-12-01\"},"
          "{\"title\": \"PATCH 1.1\", \"summary\": \"fixes\"}]}");
    StartAndWait();
    EXPECT_EQ(L"2026-12-01  //  SEASON ONE\n新しい世界", Text(2200));
    EXPECT_EQ(L"PATCH 1.1\nfixes", Text(2201));
    EXPECT_TRUE(ById(2201).visible);
    EXPECT_FALSE(ById(2202).visible);
}

TEST_F(ShellWindowTest, LibraryRowAndMetaOfAFavoriteInBacklog) {
    InstallProduct("first-title", "1.0.0", true);
    Write(L"favorites.txt", "first-title\r\n");
    Write(L"collections.txt", "first-title=2\r\n");
    Write(L"playtime.txt", "first-title=7260\r\n");
    StartAndWait();
    Click(1003);
    EXPECT_EQ(std::vector<std::wstring>{L"★  HALCYRA   //   1.0.0   //   BACKLOG"},
              VisibleLibraryRows());
    EXPECT_EQ(L"HALCYRA", RowText(ROW_LIBRARY_DETAIL_TITLE));
    EXPECT_EQ(L"PROJECT / 001  //  1.0.0  //  PLAYTIME  2h 1m  //  FAVORITE  //  BACKLOG",
              RowText(ROW_LIBRARY_DETAIL_META));
    EXPECT_EQ(library_ + L"\\first-title", RowText(ROW_LIBRARY_DETAIL_BODY));
    EXPECT_EQ(L"PLAY", Text(1300));
    EXPECT_EQ(L"★ FAVORITE", Text(1313));
    EXPECT_EQ(L"COLLECTION // BACKLOG", Text(1316));
    for (int id : {1300, 1301, 1302, 1303, 1313, 1316}) EXPECT_TRUE(ById(id).enabled) << id;

    // Favorite and collection buttons change the lists on disk and the row.
    Click(1313);
    EXPECT_EQ("", Read(L"favorites.txt"));
    Click(1316);
    EXPECT_EQ("first-title=3\r\n", Read(L"collections.txt"));
    EXPECT_EQ(std::vector<std::wstring>{L"HALCYRA   //   1.0.0   //   COMPLETED"},
              VisibleLibraryRows());
    EXPECT_EQ(L"☆ FAVORITE", Text(1313));

    // A choice the disk refused (a folder where the save writes its new
    // file) is not shown as made: the row and button say what the files say.
    ASSERT_TRUE(CreateDirectoryW((dir_ + L"\\favorites.txt.new").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((dir_ + L"\\collections.txt.new").c_str(), nullptr));
    Click(1313);
    Click(1316);
    EXPECT_EQ("", Read(L"favorites.txt"));
    EXPECT_EQ("first-title=3\r\n", Read(L"collections.txt"));
    EXPECT_EQ(L"☆ FAVORITE", Text(1313));
    EXPECT_EQ(L"COLLECTION // COMPLETED", Text(1316));
    EXPECT_EQ(std::vector<std::wstring>{L"HALCYRA   //   1.0.0   //   COMPLETED"},
              VisibleLibraryRows());
}

TEST_F(ShellWindowTest, InstalledWithoutVersionFileOrMarker) {
    InstallProduct("first-title", nullptr, false);
    StartAndWait();
    EXPECT_EQ(L"READY // INSTALLED", RowText(ROW_HOME_STATUS));
    Click(1003);
    EXPECT_EQ(std::vector<std::wstring>{L"HALCYRA   //   INSTALLED"}, VisibleLibraryRows());
    EXPECT_TRUE(ById(1301).enabled);   // repair: installed
    EXPECT_FALSE(ById(1302).enabled);  // offline: no known-good marker
    EXPECT_TRUE(ById(1303).enabled);
}

TEST_F(ShellWindowTest, SearchAndFiltersNarrowTheLibrary) {
    std::vector<std::string> products = {Product("first-title", "HALCYRA", "PROJECT / 001")};
    for (int i = 1; i < 10; ++i)
        products.push_back(Product("game-" + std::to_string(i), "GAME " + std::to_string(i)));
    Write(L"catalog.json", Catalog(products));
    InstallProduct("game-3", "2.0.1", true);
    Write(L"favorites.txt", "game-5\n");
    StartAndWait();
    Click(1003);
    std::vector<std::wstring> rows = VisibleLibraryRows();
    ASSERT_EQ(8u, rows.size());  // ten match, eight rows
    EXPECT_EQ(L"HALCYRA   //   NOT INSTALLED", rows[0]);
    EXPECT_EQ(L"GAME 7   //   NOT INSTALLED", rows[7]);

    Search(L"halcyra");
    EXPECT_EQ(std::vector<std::wstring>{L"HALCYRA   //   NOT INSTALLED"}, VisibleLibraryRows());
    Search(L"ｈａｌｃｙｒａ");  // full-width letters are not folded
    EXPECT_TRUE(VisibleLibraryRows().empty());
    EXPECT_EQ(L"NO MATCHING GAMES", RowText(ROW_LIBRARY_DETAIL_TITLE));
    EXPECT_EQ(L"LIBRARY FILTER", RowText(ROW_LIBRARY_DETAIL_META));
    EXPECT_EQ(L"検索条件またはフィルターを変更してください。", RowText(ROW_LIBRARY_DETAIL_BODY));
    EXPECT_EQ(L"-", Text(1300));
    for (int id : {1300, 1301, 1302, 1303, 1313, 1316}) EXPECT_FALSE(ById(id).enabled) << id;
    Search(L"first-title");  // found through the id only
    EXPECT_EQ(std::vector<std::wstring>{L"HALCYRA   //   NOT INSTALLED"}, VisibleLibraryRows());
    Search(L"GAME 1");
    EXPECT_EQ(std::vector<std::wstring>{L"GAME 1   //   NOT INSTALLED"}, VisibleLibraryRows());
    EXPECT_EQ(L"GAME 1", RowText(ROW_LIBRARY_DETAIL_TITLE));  // the selection follows the filter
    Search(L"");

    Click(1311);  // INSTALLED
    EXPECT_EQ(std::vector<std::wstring>{L"GAME 3   //   2.0.1"}, VisibleLibraryRows());
    EXPECT_EQ(L"PLAY", Text(1300));
    Click(1312);  // FAVORITES
    EXPECT_EQ(std::vector<std::wstring>{L"★  GAME 5   //   NOT INSTALLED"}, VisibleLibraryRows());
    Click(1315);  // COLLECTIONS: none yet
    EXPECT_TRUE(VisibleLibraryRows().empty());
    EXPECT_EQ(L"NO MATCHING GAMES", RowText(ROW_LIBRARY_DETAIL_TITLE));
    Click(1310);  // ALL
    EXPECT_EQ(8u, VisibleLibraryRows().size());
    Click(2102);  // the third row: GAME 2
    EXPECT_EQ(L"GAME 2", RowText(ROW_LIBRARY_DETAIL_TITLE));
    // The filter and search survive a page switch; rows hide with the page.
    Search(L"game");
    Click(1001);
    for (int i = 0; i < 8; ++i) EXPECT_FALSE(ById(2100 + i).visible);
    EXPECT_EQ(L"GAME 2", RowText(ROW_HOME_TITLE));  // HOME shows the selection
    Click(1003);
    EXPECT_EQ(8u, VisibleLibraryRows().size());
    EXPECT_EQ(L"GAME 1   //   NOT INSTALLED", VisibleLibraryRows()[0]);
}

// The window closes without a question; the pause flag goes with it.
TEST_F(ShellWindowTest, ClosingRemovesThePauseFlagAndExitsWithZero) {
    Write(L"pause.download", "");
    StartAndWait();
    EXPECT_TRUE(PathIsFile(dir_ + L"\\pause.download"));
    PostMessageW(window_, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, WaitExit());
    EXPECT_FALSE(PathIsFile(dir_ + L"\\pause.download"));
}

TEST_F(ShellWindowTest, FatalFaultInAHandlerShowsTheBoxAndExits100) {
    Write(L"pause.download", "");
    StartAndWait(TestBinDir() + L"\\shell-with-test-hooks.exe");
    PostMessageW(window_, WM_APP + 90, 0, 0);
    HWND box = orv_probe::FindMessageBox(pid_, 15000);
    ASSERT_NE(nullptr, box);
    EXPECT_EQ(L"ORVELANT Launcher", orv_probe::MessageBoxCaption(box));
    EXPECT_EQ(L"Launcher Shellで予期しないエラーを検出しました。\n\nlogs\\launcher.log を確認してください。",
              orv_probe::MessageBoxText(box));
    EXPECT_TRUE(orv_probe::AnswerMessageBox(box));
    EXPECT_EQ(100u, WaitExit());
    std::string log = Read(L"logs\\launcher.log");
    const std::string last = "Caught fatal exception in launcher shell\r\n";
    ASSERT_GE(log.size(), last.size());
    EXPECT_EQ(last, log.substr(log.size() - last.size()));
    EXPECT_TRUE(PathIsFile(dir_ + L"\\pause.download"));  // no clean-up after a fault
}

// The box's own message loop keeps delivering the Worker's messages to the
// window: the handler that faulted must not run (and fault) again.
TEST_F(ShellWindowTest, FaultThatRecursWithWorkerMessagesShowsOneBox) {
    env_.Set(L"ORV_TEST_SHELL_FAULT_ON_TRANSFER", L"1");
    StartAndWait(TestBinDir() + L"\\shell-with-test-hooks.exe");
    HWND window = window_;
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        while (!stop) {
            PostMessageW(window, WM_APP + 11, 850, 12);
            Sleep(100);
        }
    });
    HWND box = orv_probe::FindMessageBox(pid_, 15000);
    EXPECT_NE(nullptr, box);
    Sleep(1500);  // fifteen more transfers reach the window meanwhile
    stop = true;
    worker.join();
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(process_, 0));  // still in its box
    int boxes = 0;
    for (HWND w = nullptr; (w = FindWindowExW(nullptr, w, L"#32770", nullptr)) != nullptr;)
        if (orv_probe::WindowProcessId(w) == pid_ && IsWindowVisible(w)) ++boxes;
    EXPECT_EQ(1, boxes);
    if (box) EXPECT_TRUE(orv_probe::AnswerMessageBox(box));
    EXPECT_EQ(100u, WaitExit());
    std::string log = Read(L"logs\\launcher.log");
    const std::string line = "Caught fatal exception in launcher shell\r\n";
    size_t first = log.find(line);
    EXPECT_NE(std::string::npos, first);
    EXPECT_EQ(first, log.rfind(line));
}

TEST_F(ShellWindowTest, ClassRegistrationFailureShowsTheStartUpBoxAndExits1) {
    env_.Set(L"ORV_TEST_SHELL_CLASS_TAKEN", L"1");
    Start(TestBinDir() + L"\\shell-with-test-hooks.exe");
    HWND box = orv_probe::FindMessageBox(pid_, 15000);
    ASSERT_NE(nullptr, box);
    EXPECT_EQ(L"ORVELANT Launcher", orv_probe::MessageBoxCaption(box));
    EXPECT_EQ(L"ORVELANT Launcher Shellを開始できませんでした。", orv_probe::MessageBoxText(box));
    EXPECT_EQ(nullptr, orv_probe::FindShellWindow(pid_, 0));
    EXPECT_TRUE(orv_probe::AnswerMessageBox(box));
    EXPECT_EQ(1u, WaitExit());
    std::string log = Read(L"logs\\launcher.log");
    EXPECT_NE(std::string::npos, log.find("\r\nRegisterClassExW failed (1410)\r\n")) << log;
}

TEST_F(ShellWindowTest, MainWindowFailureExits2WithoutABox) {
    env_.Set(L"ORV_TEST_SHELL_REFUSE_WINDOW", L"1");
    Start(TestBinDir() + L"\\shell-with-test-hooks.exe");
    EXPECT_EQ(2u, WaitExit());
    EXPECT_EQ(nullptr, orv_probe::FindMessageBox(pid_, 0));
    std::string log = Read(L"logs\\launcher.log");
    EXPECT_NE(std::string::npos, log.find("\r\nCreateWindowExW failed (")) << log;
    EXPECT_EQ(std::string::npos, log.find("Shell UI ready")) << log;
}

// Worker messages arrive as posted by a Worker process; here the test posts
// them itself, so each code's effect can be checked on its own.
TEST_F(ShellWindowTest, WorkerMessagesMoveTheBarsAndTheSignal) {
    StartAndWait();
    auto status = [&](int code, int percent) {
        PostMessageW(window_, WM_APP + 10, (WPARAM)(unsigned int)code, (LPARAM)(unsigned int)percent);
        ASSERT_TRUE(orv_probe::WaitProcessed(window_));
    };
    auto fill_widths = [&]() {
        // Each fill is listed directly before its track, at the same place.
        std::pair<int, int> widths{-1, -1};
        const RECT status_fill = ShellRowRect(window_, ROW_STATUS_FILL);
        const RECT downloads_fill = ShellRowRect(window_, ROW_DOWNLOADS_FILL);
        for (const ControlInfo &c : Controls()) {
            if (c.id != 0) continue;
            if (widths.first < 0 && c.rect.left == status_fill.left && c.rect.top == status_fill.top)
                widths.first = c.rect.right - c.rect.left;
            if (widths.second < 0 && c.rect.left == downloads_fill.left &&
                c.rect.top == downloads_fill.top)
                widths.second = c.rect.right - c.rect.left;
        }
        return widths;
    };
    // The widths of both fills at percent of their tracks, as laid out.
    auto at = [&](int percent) {
        auto laid_out = [&](int track) {
            const UiRow &t = ShellTable().rows[track];
            RECT r = orv_probe::LayoutRect(ShellLayoutDpi(window_), t.x, 0, percent * t.w / 100, 1);
            return (int)(r.right - r.left);
        };
        return std::make_pair(laid_out(ROW_STATUS_TRACK), laid_out(ROW_DOWNLOADS_TRACK));
    };
    status(99, 33);  // a code the Shell does not know still carries its percent
    EXPECT_EQ(at(33), fill_widths());
    // The views ran for the hidden pages too, without showing their rows.
    for (int i = 0; i < 8; ++i) EXPECT_FALSE(ById(2100 + i).visible);
    EXPECT_EQ(L"HALCYRA   //   NOT INSTALLED", Text(2100));
    status(99, 50);
    EXPECT_EQ(at(50), fill_widths());
    status(99, 1);
    EXPECT_EQ(at(1), fill_widths());
    status(99, 150);
    EXPECT_EQ(at(100), fill_widths());
    status(99, 60);
    status(99, -5);  // a negative percent leaves the bars alone
    EXPECT_EQ(at(60), fill_widths());
    status(8, 0);    // SYNC_STARTED: a sync's status leaves the job's bars alone
    EXPECT_EQ(at(60), fill_widths());
    EXPECT_EQ(L"SIGNAL // SYNCING", RowText(ROW_SIGNAL_LABEL));
    status(10, 0);   // SYNC_UNAVAILABLE
    EXPECT_EQ(L"SIGNAL // LOCAL", RowText(ROW_SIGNAL_LABEL));

    // SYNC_DONE reloads the documents and lists and refills the current page.
    Click(1003);
    Write(L"catalog.json", Catalog({Product("first-title", "HALCYRA"), Product("b", "BRAVO")}));
    Write(L"control.json", "{\"signal\": \"SIGNAL // OPS DESK\"}");
    Write(L"favorites.txt", "b\r\n");
    status(9, 0);
    EXPECT_EQ(L"SIGNAL // OPS DESK", RowText(ROW_SIGNAL_LABEL));
    EXPECT_EQ((std::vector<std::wstring>{L"HALCYRA   //   NOT INSTALLED",
                                          L"★  BRAVO   //   NOT INSTALLED"}),
              VisibleLibraryRows());
    Write(L"control.json", "{\"signal\": \"\"}");
    status(9, 0);
    EXPECT_EQ(L"SIGNAL // CURRENT", RowText(ROW_SIGNAL_LABEL));

    // Transfer figures without a running job leave the idle texts.
    PostMessageW(window_, WM_APP + 11, 850, 1200);
    ASSERT_TRUE(orv_probe::WaitProcessed(window_));
    EXPECT_EQ(L"NO ACTIVE DOWNLOADS", RowText(ROW_DOWNLOADS_HEADLINE));
}

TEST_F(ShellWindowTest, GameExitRefreshesTheLibraryOnly) {
    StartAndWait();
    Click(1003);
    EXPECT_EQ(std::vector<std::wstring>{L"HALCYRA   //   NOT INSTALLED"}, VisibleLibraryRows());
    InstallProduct("first-title", "1.0.3", true);
    PostMessageW(window_, WM_APP + 12, 0, 0);
    ASSERT_TRUE(orv_probe::WaitProcessed(window_));
    EXPECT_EQ(std::vector<std::wstring>{L"HALCYRA   //   1.0.3"}, VisibleLibraryRows());
    EXPECT_EQ(L"AVAILABLE // NOT INSTALLED", RowText(ROW_HOME_STATUS));  // HOME not refreshed
    Click(1001);
    EXPECT_EQ(L"READY // 1.0.3", RowText(ROW_HOME_STATUS));

    // The folders are read when something says they changed, never by a
    // view: a page shown reads them; a running job's status redraws the
    // pages from what was read; the job's end reads them again.
    InstallProduct("first-title", "1.0.4", true);
    Click(1003);
    EXPECT_EQ(std::vector<std::wstring>{L"HALCYRA   //   1.0.4"}, VisibleLibraryRows());
    InstallProduct("first-title", "1.0.5", true);
    PostMessageW(window_, WM_APP + 10, 99, 40);  // a status of a job still running
    ASSERT_TRUE(orv_probe::WaitProcessed(window_));
    EXPECT_EQ(std::vector<std::wstring>{L"HALCYRA   //   1.0.4"}, VisibleLibraryRows());
    EXPECT_EQ(L"READY // 1.0.4", RowText(ROW_HOME_STATUS));  // redrawn, from the model
    PostMessageW(window_, WM_APP + 10, 5, 100);  // PRODUCT_FAILED: the job has ended
    ASSERT_TRUE(orv_probe::WaitProcessed(window_));
    EXPECT_EQ(std::vector<std::wstring>{L"HALCYRA   //   1.0.5"}, VisibleLibraryRows());
    EXPECT_EQ(L"READY // 1.0.5", RowText(ROW_HOME_STATUS));
}


// The keyboard the dialog way with real key presses, the focus cue in the
// action's own paint, focus across page switches and activation, and what a
// screen reader gets on every page.
TEST_F(ShellWindowTest, KeyboardFocusCueAndScreenReaderOnEveryPage) {
    Write(L"catalog.json", Catalog({Product("first-title", "HALCYRA", "PROJECT / 001"),
                                    Product("second-title", "VESPERLINE")}));
    InstallAssets();
    with_assets_ = true;
    SettingsGuard::SetNumber(L"BandwidthKbps", 0);
    StartAndWait(TestBinDir() + L"\\shell-with-test-hooks.exe");
    using orv_probe::kControl;
    using orv_probe::kShift;
    auto press = [&](WPARAM key, unsigned modifiers = 0) {
        int focused = orv_probe::PressKey(window_, key, modifiers);
        EXPECT_NE(-1, focused) << "the Shell's window did not come to the front";
        return focused;
    };
    const std::map<std::wstring, RECT> images = {
        {L"ORVELANT", orv_probe::RowRect(window_, ShellTable().rows[ROW_WORDMARK_IMAGE])},
        {L"ORVELANT Launcher", orv_probe::RowRect(window_, ShellTable().rows[ROW_HOME_ART])}};

    auto pixel = [&](int id) {
        DWORD_PTR colour = CLR_INVALID;
        SendMessageTimeoutW(window_, WM_APP + 91, id, MAKELPARAM(0, 0), SMTO_ABORTIFHUNG, 5000,
                            &colour);
        return (COLORREF)colour;
    };

    // HOME first: its first action has the focus, the HOME entry is selected.
    EXPECT_EQ(1100, orv_probe::FocusedId(window_));
    CheckAccessible(window_, Controls(), {1001}, images);
    // No cue before the keyboard is used: the focused action looks as it
    // does without the focus.
    const COLORREF first_look = pixel(1100);
    ASSERT_NE(CLR_INVALID, first_look);
    EXPECT_EQ(1101, CheckHeardOnKey(window_, VK_TAB, 0, {1001}));
    EXPECT_EQ(first_look, pixel(1100));
    EXPECT_EQ(1100, press(VK_TAB, kShift));
    EXPECT_NE(first_look, pixel(1100));
    // Tab walks the actions in reading order and wraps; Shift+Tab goes back.
    std::vector<int> forward;
    for (int id : {1101, 2200, 2201, 2202})
        if (id < 2200 || ById(id).visible) forward.push_back(id);
    for (int id : {1010, 1001, 1002, 1003, 1004, 1005, 1100}) forward.push_back(id);
    std::vector<int> walked;
    for (size_t i = 0; i < forward.size(); ++i) walked.push_back(press(VK_TAB));
    EXPECT_EQ(forward, walked);
    EXPECT_EQ(1005, press(VK_TAB, kShift));
    EXPECT_EQ(1004, press(VK_TAB, kShift));
    // Esc: the Shell has nothing to cancel.
    EXPECT_EQ(1004, press(VK_ESCAPE));
    EXPECT_TRUE(ById(1100).visible);
    EXPECT_FALSE(orv_probe::FindMessageBox(pid_, 200));

    // Enter on a page entry shows its page, the focus on the page's first
    // action (none enabled on DOWNLOADS without a job: its entry keeps it).
    EXPECT_EQ(1004, press(VK_RETURN));
    CheckControls(DOWNLOADS);
    CheckAccessible(window_, Controls(), {1004}, images);
    // Space runs the focused action as Enter does; LIBRARY's first stop is
    // its search field.
    EXPECT_EQ(1003, CheckHeardOnKey(window_, VK_TAB, kShift, {1004}));
    EXPECT_EQ(1314, press(VK_SPACE));
    CheckControls(LIBRARY);
    CheckAccessible(window_, Controls(), {1003, 2100}, images);
    CheckHeardOnKey(window_, VK_TAB, 0, {1003, 2100});
    EXPECT_EQ(1314, press(VK_TAB, kShift));
    ASSERT_TRUE(orv_probe::Command(window_, 2101));
    CheckAccessible(window_, Controls(), {1003, 2101}, images);

    // Ctrl+Tab: the next page; Ctrl+Shift+Tab: the previous one.
    EXPECT_EQ(1004, press(VK_TAB, kControl));  // from the search field too
    CheckControls(DOWNLOADS);
    EXPECT_EQ(1403, press(VK_TAB, kControl));
    CheckControls(SETTINGS);
    std::vector<ControlInfo> settings = Controls();
    CheckAccessible(window_, settings, {1005}, images);
    EXPECT_EQ(1100, press(VK_TAB, kControl));
    CheckControls(HOME, {2201, 2202});
    EXPECT_EQ(1403, press(VK_TAB, kControl | kShift));
    CheckControls(SETTINGS);

    // The focus cue: drawn on the focused action and only there, and kept
    // when the action's text changes under it (Space on BANDWIDTH).
    const COLORREF unfocused = pixel(1404);
    ASSERT_NE(CLR_INVALID, unfocused);
    EXPECT_NE(unfocused, pixel(1403));
    EXPECT_EQ(1404, CheckHeardOnKey(window_, VK_TAB, 0, {1005}));
    const COLORREF cue = pixel(1404);
    EXPECT_NE(unfocused, cue);
    EXPECT_EQ(unfocused, pixel(1403));  // the one left has lost its cue
    const std::wstring before = Text(1404);
    EXPECT_EQ(1404, press(VK_SPACE));
    EXPECT_NE(before, Text(1404));
    EXPECT_EQ(cue, pixel(1404));
    CheckAccessible(window_, Controls(), {1005}, images);

    // Focus comes back to the action when the window is activated again.
    HWND other = CreateWindowExW(0, L"STATIC", L"other", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                                 200, 100, nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(other);
    ASSERT_TRUE(orv_probe::BringToFront(other));
    EXPECT_NE(window_, GetForegroundWindow());
    ASSERT_TRUE(orv_probe::BringToFront(window_));
    ASSERT_TRUE(orv_probe::WaitProcessed(window_));
    EXPECT_EQ(1404, orv_probe::FocusedId(window_));
    DestroyWindow(other);

    // A reader's default action runs the action (the STORE entry).
    orv_probe::AccessibleTree tree = orv_probe::ReadAccessible(window_);
    long store = 0;
    for (size_t i = 0; i < tree.children.size(); ++i)
        if (tree.children[i].name == L"STORE") store = (long)i + 1;
    ASSERT_NE(0, store);
    EXPECT_EQ(S_OK, orv_probe::DoAccessibleDefaultAction(window_, store));
    ASSERT_TRUE(orv_probe::WaitProcessed(window_));
    CheckControls(STORE);
    CheckAccessible(window_, Controls(), {1002, 2000}, images);
    ASSERT_TRUE(orv_probe::Command(window_, 2001));
    CheckAccessible(window_, Controls(), {1002, 2001}, images);
    CheckHeardOnKey(window_, VK_TAB, 0, {1002, 2001});

    // While a box the window opened is up, a reader's default action is
    // refused: nothing runs inside the box's loop, nothing after it.
    tree = orv_probe::ReadAccessible(window_);
    long home = 0;
    for (size_t i = 0; i < tree.children.size(); ++i)
        if (tree.children[i].name == L"HOME") home = (long)i + 1;
    ASSERT_NE(0, home);
    ASSERT_TRUE(orv_probe::Command(window_, 1010));
    HWND box = orv_probe::FindMessageBox(pid_, 15000);
    ASSERT_TRUE(box);
    EXPECT_EQ(E_FAIL, orv_probe::DoAccessibleDefaultAction(window_, home));
    ASSERT_TRUE(orv_probe::WaitProcessed(window_));
    EXPECT_TRUE(orv_probe::AnswerMessageBox(box));
    ASSERT_TRUE(orv_probe::WaitProcessed(window_));
    EXPECT_FALSE(orv_probe::FindMessageBox(pid_, 300));
    CheckControls(STORE);
    EXPECT_EQ(S_OK, orv_probe::DoAccessibleDefaultAction(window_, home));
    ASSERT_TRUE(orv_probe::WaitProcessed(window_));
    CheckControls(HOME, {2201, 2202});
}
