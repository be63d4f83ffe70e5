// The Shell's cached-data model and library lists, in-process, against real
// files in a scratch install directory (linked with the Shell's runtime).
#include <gtest/gtest.h>

#include "runtime.h"
#include "settings.h"
#include "shell.h"
#include "test_support.h"

#include <string>

using namespace orv_test;

namespace {

class ShellDataTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = FreshScratchDir();
        WideCopy(g_install_dir, dir_.c_str(), kInstallDirUnits);
        WideCopy(g_library_root, (dir_ + L"\\Games").c_str(), kLibraryRootUnits);
        FillZero(&g_model.ui, sizeof(g_model.ui));
        ReloadRemoteData();
    }
    void Write(const wchar_t *name, const std::string &bytes) {
        WriteFileBytes(dir_ + L"\\" + name, bytes);
    }
    std::string Read(const wchar_t *name, bool *ok = nullptr) {
        return ReadFileBytes(dir_ + L"\\" + name, ok);
    }
    std::wstring dir_;
};

std::string Product(const std::string &id, const std::string &title = "T",
                    const std::string &install_dir = "", const std::string &extra = "") {
    return "{\"id\": \"" + id + "\", \"title\": \"" + title + "\", \"install_dir\": \"" +
           (install_dir.empty() ? id : install_dir) + "\", \"executable\": \"ORVELANT.exe\"" +
           extra + "}";
}

std::string Catalog(const std::vector<std::string> &products) {
    std::string out = "{\"schema\": 1, \"products\": [";
    for (size_t i = 0; i < products.size(); ++i) out += (i ? ",\n" : "\n") + products[i];
    return out + "]}";
}

std::string Ids() {
    std::string out;
    for (int i = 0; i < g_model.product_count; ++i) out += (i ? "," : "") + Narrow(g_model.products[i].id);
    return out;
}

}  // namespace

// ---- catalog ------------------------------------------------------------

TEST_F(ShellDataTest, MissingOrEmptyCatalogGivesTheDefaultProduct) {
    EXPECT_EQ(0, LoadCatalog());
    ASSERT_EQ(1, g_model.product_count);
    const CatalogProduct &p = g_model.products[0];
    EXPECT_STREQ(L"first-title", p.id);
    EXPECT_STREQ(L"HALCYRA", p.title);
    EXPECT_STREQ(L"PROJECT / 001", p.project);
    EXPECT_STREQ(L"THE NEXT WORLD STARTS HERE.", p.subtitle);
    EXPECT_STREQ(L"first-title", p.install_dir);
    EXPECT_STREQ(L"ORVELANT.exe", p.executable);
    EXPECT_STREQ(L"/games/first-title/stable/manifest.json", p.manifest_path);
    EXPECT_TRUE(std::wstring(p.store_url).find(L"https://") == 0);
    EXPECT_TRUE(std::wstring(p.store_url).find(L"/business/games/") != std::wstring::npos);
    EXPECT_EQ(1, g_model.catalog_is_default);

    for (const char *doc : {"{\"products\": []}", "{\"items\": [{\"id\": \"a\"}]}",
                            "{\"products\": [1, 2]}", "not json at all"}) {
        Write(L"catalog.json", doc);
        EXPECT_EQ(0, LoadCatalog()) << doc;
        EXPECT_EQ(1, g_model.product_count) << doc;
        EXPECT_STREQ(L"first-title", g_model.products[0].id) << doc;
    }
    Write(L"catalog.json", Catalog({Product("second-title")}));
    EXPECT_EQ(1, LoadCatalog());
    EXPECT_EQ(0, g_model.catalog_is_default);
}

TEST_F(ShellDataTest, CatalogTakesTheFirstSixteenValidProducts) {
    std::vector<std::string> products;
    products.push_back(Product("First-Title"));   // capital letter
    products.push_back(Product("first title"));   // blank
    for (int i = 0; i < 20; ++i) products.push_back(Product("game-" + std::to_string(i)));
    Write(L"catalog.json", Catalog(products));
    EXPECT_EQ(1, LoadCatalog());
    ASSERT_EQ(16, g_model.product_count);
    EXPECT_STREQ(L"game-0", g_model.products[0].id);
    EXPECT_STREQ(L"game-15", g_model.products[15].id);
}

TEST_F(ShellDataTest, UnsafeInstallFoldersAndExecutablesMakeAProductInvalid) {
    std::vector<std::string> products;
    for (const char *bad : {"../x", "a..b", "/abs", "\\\\abs", "C:games", "gam*e"})
        products.push_back(Product("bad", "Bad", bad));
    products.push_back("{\"id\": \"exe\", \"title\": \"E\", \"install_dir\": \"e\", "
                       "\"executable\": \"../evil.exe\"}");
    products.push_back("{\"id\": \"no-title\", \"install_dir\": \"e\", \"executable\": \"a.exe\"}");
    products.push_back(Product("nested", "Nested", "games/first"));
    Write(L"catalog.json", Catalog(products));
    EXPECT_EQ(1, LoadCatalog());
    EXPECT_EQ("nested", Ids());
    EXPECT_STREQ(L"games/first", g_model.products[0].install_dir);
}

// Folders that resolve to the library root itself, and device names, are no
// product folders; an executable that names a device is no program.
TEST_F(ShellDataTest, RootFolderAndDeviceNameInstallFoldersMakeAProductInvalid) {
    std::vector<std::string> products;
    for (const std::string &root : {std::string("."), std::string("./"), std::string(". ."),
                                    std::string(" "), std::string(".\\\\ "), std::string(200, 'w')})
        products.push_back(Product("root", "Root", root));
    for (const char *device : {"COM1", "aux", "games/LPT1.d", "con."})
        products.push_back(Product("device", "Device", device));
    products.push_back("{\"id\": \"exe\", \"title\": \"E\", \"install_dir\": \"e\", "
                       "\"executable\": \"bin/nul.exe\"}");
    products.push_back(Product("named", "Named", "./named"));
    Write(L"catalog.json", Catalog(products));
    EXPECT_EQ(1, LoadCatalog());
    EXPECT_EQ("named", Ids());
    EXPECT_STREQ(L"./named", g_model.products[0].install_dir);
}

TEST_F(ShellDataTest, FieldCapacitiesStoreEmptyInsteadOfCutting) {
    std::string id70(70, 'a'), id80(80, 'b');
    std::string project100(100, 'q');
    std::string japanese;  // 60 characters of three bytes: 180 bytes, fits no read of 180
    for (int i = 0; i < 40; ++i) japanese += "\xE3\x81\x82";  // 120 bytes, 40 units
    Write(L"catalog.json",
          Catalog({Product(id70), Product(id80), Product("cut", "T", "", ",\"project\": \"" + project100 + "\""),
                   Product("fits", japanese, "", ",\"project\": \"" + std::string(63, 'r') + "\"")}));
    EXPECT_EQ(1, LoadCatalog());
    ASSERT_EQ(3, g_model.product_count);
    EXPECT_STREQ(L"", g_model.products[0].id);            // read, but 70 units do not fit 64
    EXPECT_STREQ(L"cut", g_model.products[1].id);
    EXPECT_STREQ(L"", g_model.products[1].project);       // cut to 89 bytes, still too long for 64
    EXPECT_EQ(40u, wcslen(g_model.products[2].title));
    EXPECT_EQ(63u, wcslen(g_model.products[2].project));
}

TEST_F(ShellDataTest, ReloadKeepsSelectionsInsideTheNewTable) {
    std::vector<std::string> six;
    for (int i = 0; i < 6; ++i) six.push_back(Product("p" + std::to_string(i)));
    Write(L"catalog.json", Catalog(six));
    LoadCatalog();
    g_model.ui.selected_library = 5;
    g_model.ui.selected_store = 2;
    Write(L"catalog.json", Catalog({Product("a"), Product("b"), Product("c")}));
    LoadCatalog();
    EXPECT_EQ(0, g_model.ui.selected_library);
    EXPECT_EQ(2, g_model.ui.selected_store);
}

// ---- news ---------------------------------------------------------------

TEST_F(ShellDataTest, NewsSkipsItemsWithoutTitleAndKeepsThree) {
    EXPECT_EQ(0, LoadNews());
    EXPECT_EQ(0, g_model.news_count);
    Write(L"news.json",
          "{\"schema\": 1, \"items\": ["
          "{\"title\": \"one\", \"summary\": \"s1\", \"published_at\": \"2026-12-01\", \"link\": \"https://x/1\"},"
          "{\"summary\": \"no title\"},"
          "{\"title\": \"three\"},"
          "{\"title\": \"four\", \"summary\": \"s4\"},"
          "{\"title\": \"five\"}]}");
    EXPECT_EQ(1, LoadNews());
    ASSERT_EQ(3, g_model.news_count);
    EXPECT_STREQ(L"one", g_model.news[0].title);
    EXPECT_STREQ(L"2026-12-01", g_model.news[0].published_at);
    EXPECT_STREQ(L"https://x/1", g_model.news[0].link);
    EXPECT_STREQ(L"three", g_model.news[1].title);
    EXPECT_STREQ(L"", g_model.news[1].summary);
    EXPECT_STREQ(L"four", g_model.news[2].title);
    Write(L"news.json", "{\"items\": []}");
    EXPECT_EQ(0, LoadNews());
    EXPECT_EQ(0, g_model.news_count);
}

// ---- control ------------------------------------------------------------

TEST_F(ShellDataTest, MissingControlGivesTheDefaults) {
    EXPECT_EQ(0, LoadControl());
    EXPECT_STREQ(L"normal", g_model.control.service_state);
    EXPECT_STREQ(L"SIGNAL // CURRENT", g_model.control.signal);
    EXPECT_STREQ(L"1.0.0", g_model.control.min_launcher_version);
    EXPECT_STREQ(L"1.0.0", g_model.control.latest_launcher_version);
    EXPECT_TRUE(std::wstring(g_model.control.installer_url).find(
                    L"/launcher/releases/v1.0.0/ORVELANT_Launcher_Setup_v1.0.0.exe") !=
                std::wstring::npos);
    EXPECT_EQ(1, g_model.control.allow_offline);
    EXPECT_EQ(1, g_model.control.store_enabled);
    EXPECT_EQ(0, g_model.control.launcher_update_required);
    EXPECT_EQ(0, g_model.control.launcher_update_available);
    EXPECT_FALSE(IsMaintenance());
}

TEST_F(ShellDataTest, ControlTakesOnlyWellTypedValues) {
    Write(L"control.json",
          "{\"allow_offline\": \"false\", \"store_enabled\": false, \"signal\": \"SIGNAL // LIVE\","
          " \"service_state\": \"Maintenance\", \"announcement\": 5}");
    EXPECT_EQ(1, LoadControl());
    EXPECT_EQ(1, g_model.control.allow_offline);  // a string, not the literal
    EXPECT_EQ(0, g_model.control.store_enabled);
    EXPECT_STREQ(L"SIGNAL // LIVE", g_model.control.signal);
    EXPECT_FALSE(IsMaintenance());          // letter case differs
    EXPECT_STREQ(L"", g_model.control.announcement);

    Write(L"control.json", "{\"service_state\": \"" + std::string(40, 'm') + "\"}");
    LoadControl();
    EXPECT_STREQ(L"", g_model.control.service_state);
    EXPECT_FALSE(IsMaintenance());
    Write(L"control.json", "{\"service_state\": \"" + std::string(700, 'm') + "\"}");
    LoadControl();
    EXPECT_STREQ(L"normal", g_model.control.service_state);  // too long to read: the default stays
    Write(L"control.json", "{\"service_state\": \"maintenance\"}");
    LoadControl();
    EXPECT_TRUE(IsMaintenance());
}

TEST_F(ShellDataTest, LauncherUpdatePolicyFromVersions) {
    struct Case {
        const char *json;
        int required, available;
    } cases[] = {
        {"{\"min_launcher_version\": \"1.0.1\"}", 1, 1},
        {"{\"latest_launcher_version\": \"1.1\"}", 0, 1},
        {"{\"latest_launcher_version\": \"1.0\"}", 0, 0},
        {"{\"latest_launcher_version\": \"1.0.0.9\"}", 0, 0},
        {"{\"latest_launcher_version\": \"1.0.0-rc2\"}", 0, 1},
        {"{\"min_launcher_version\": \"0.9.9\", \"latest_launcher_version\": \"0.9\"}", 0, 0},
        {"{\"force_launcher_update\": true, \"min_launcher_version\": \"1.0.0\"}", 1, 1},
    };
    for (const Case &c : cases) {
        Write(L"control.json", c.json);
        LoadControl();
        EXPECT_EQ(c.required, g_model.control.launcher_update_required) << c.json;
        EXPECT_EQ(c.available, g_model.control.launcher_update_available) << c.json;
    }
}

TEST(ShellVersions, ComponentsSkipNonDigitsUntilAValueStarts) {
    EXPECT_EQ(2, VersionComponent(L"v2.5", 0));
    EXPECT_EQ(5, VersionComponent(L"v2.5", 1));
    EXPECT_EQ(2, VersionComponent(L"1.0.0-rc2", 2));
    EXPECT_EQ(3, VersionComponent(L"1.0.3-rc2", 2));
    EXPECT_EQ(0, VersionComponent(L"1.2", 2));
    EXPECT_EQ(0, VersionComponent(L"", 0));
    EXPECT_TRUE(IsVersionOlder(L"1.0.0", L"1.0.0-rc2"));
    EXPECT_FALSE(IsVersionOlder(L"1.0.0", L"1.0"));
    EXPECT_TRUE(IsVersionOlder(L"1.9.9", L"1.10.0"));
    EXPECT_FALSE(IsVersionOlder(L"2.0.0", L"1.99.99"));
}

// A pause is shown only once the Worker can read it: a flag that cannot be
// written (a folder in its place) leaves the download shown as running.
TEST_F(ShellDataTest, PauseIsShownOnlyWhenItsFlagIsOnDisk) {
    const std::wstring flag = dir_ + L"\\pause.download";
    ASSERT_TRUE(CreateDirectoryW(flag.c_str(), nullptr));
    SetDownloadPaused(1);
    EXPECT_FALSE(IsDownloadPaused());
    ASSERT_TRUE(RemoveDirectoryW(flag.c_str()));
    SetDownloadPaused(1);
    EXPECT_TRUE(IsDownloadPaused());
    bool ok = false;
    Read(L"pause.download", &ok);
    EXPECT_TRUE(ok);
    SetDownloadPaused(0);
    EXPECT_FALSE(IsDownloadPaused());
}

// ---- library lists ------------------------------------------------------

TEST_F(ShellDataTest, FavoritesReadAnyLineEndAndSaveOnlyKnownIdsWithCrLf) {
    Write(L"catalog.json", Catalog({Product("first-title"), Product("second-title")}));
    Write(L"favorites.txt", "first-title\nnot-in-catalog\n");
    ReloadRemoteData();
    EXPECT_EQ(1, g_model.favorites[0]);
    EXPECT_EQ(0, g_model.favorites[1]);
    SaveFavorites();
    EXPECT_EQ("first-title\r\n", Read(L"favorites.txt"));
    ToggleFavorite(1);
    EXPECT_EQ("first-title\r\nsecond-title\r\n", Read(L"favorites.txt"));
    ToggleFavorite(0);
    ToggleFavorite(1);
    bool ok = false;
    EXPECT_EQ("", Read(L"favorites.txt", &ok));  // the file stays, with zero bytes
    EXPECT_TRUE(ok);

    Write(L"favorites.txt", "\xEF\xBB\xBF" "first-title\r\r\n\n\rsecond-title");
    LoadFavorites();
    EXPECT_EQ(0, g_model.favorites[0]);  // the byte-order mark is part of the first id
    EXPECT_EQ(1, g_model.favorites[1]);
}

TEST_F(ShellDataTest, OverlongFavoriteLinesAreReadInPiecesOf79Bytes) {
    std::string id79(79, 'a');
    Write(L"catalog.json", Catalog({Product(id79.substr(0, 60)), Product("tail")}));
    // 79 bytes of junk followed by "tail" on the same line: the rest is its own piece.
    Write(L"favorites.txt", std::string(79, 'x') + "tail\n");
    ReloadRemoteData();
    EXPECT_EQ(0, g_model.favorites[0]);
    EXPECT_EQ(1, g_model.favorites[1]);
}

TEST_F(ShellDataTest, CollectionsAndPlaytimeValuesAndLastLineWins) {
    Write(L"catalog.json", Catalog({Product("first-title"), Product("b"), Product("c"),
                                    Product("d")}));
    Write(L"collections.txt", "first-title=2\nb=7\nc=x\nd\nd =1\n");
    Write(L"playtime.txt", "first-title=3725\r\nb=10\nb=20\nc= 5\nd=12abc34\n");
    ReloadRemoteData();
    wchar_t name[16];
    CollectionName(g_model.collections[0], name, 16);
    EXPECT_STREQ(L"BACKLOG", name);
    EXPECT_EQ(0, g_model.collections[1]);
    EXPECT_EQ(0, g_model.collections[2]);
    EXPECT_EQ(0, g_model.collections[3]);
    EXPECT_EQ(3725u, g_model.playtime[0]);
    EXPECT_EQ(20u, g_model.playtime[1]);
    EXPECT_EQ(0u, g_model.playtime[2]);
    EXPECT_EQ(12u, g_model.playtime[3]);
    SavePlaytime();
    EXPECT_EQ("first-title=3725\r\nb=20\r\nd=12\r\n", Read(L"playtime.txt"));
}

TEST_F(ShellDataTest, CyclingACollectionFourTimesLeavesNoLine) {
    Write(L"catalog.json", Catalog({Product("first-title"), Product("b")}));
    ReloadRemoteData();
    const char *expected[] = {"first-title=1\r\n", "first-title=2\r\n", "first-title=3\r\n", ""};
    for (const char *e : expected) {
        CycleCollection(0);
        EXPECT_EQ(e, Read(L"collections.txt"));
    }
    EXPECT_EQ(0, g_model.collections[0]);
}

TEST_F(ShellDataTest, MissingListFilesGiveEmptyTables) {
    g_model.favorites[0] = 1;
    g_model.collections[0] = 3;
    g_model.playtime[0] = 99;
    ReloadRemoteData();
    EXPECT_EQ(0, g_model.favorites[0]);
    EXPECT_EQ(0, g_model.collections[0]);
    EXPECT_EQ(0u, g_model.playtime[0]);
}

// While the built-in catalog stands in for an unreadable one, the other
// games' entries survive a save; with a real catalog they are dropped.
TEST_F(ShellDataTest, SavesKeepForeignIdsOnlyWhileTheDefaultCatalogStandsIn) {
    Write(L"favorites.txt", "second-title\r\nfirst-title\r\n");
    Write(L"collections.txt", "second-title=3\nthird-title=1\n");
    Write(L"playtime.txt", "second-title=7260\r\nBad Id=5\r\n");
    Write(L"catalog.json", "{\"products\": [");  // unreadable: the default catalog
    ReloadRemoteData();
    ASSERT_EQ(1, g_model.catalog_is_default);
    EXPECT_EQ(1, g_model.favorites[0]);
    ToggleFavorite(0);                             // first-title off
    EXPECT_EQ("second-title\r\n", Read(L"favorites.txt"));
    CycleCollection(0);
    EXPECT_EQ("first-title=1\r\nsecond-title=3\r\nthird-title=1\r\n", Read(L"collections.txt"));
    g_model.playtime[0] = 60;
    SavePlaytime();
    EXPECT_EQ("first-title=60\r\nsecond-title=7260\r\n", Read(L"playtime.txt"));

    Write(L"catalog.json", Catalog({Product("first-title")}));
    ReloadRemoteData();
    ASSERT_EQ(0, g_model.catalog_is_default);
    SaveCollections();
    EXPECT_EQ("first-title=1\r\n", Read(L"collections.txt"));
}

// Saves go through a temporary file that is moved over the list; none stays
// behind, and when it cannot be made the old list stays exactly as it was.
TEST_F(ShellDataTest, SavesReplaceTheListFileInsteadOfRewritingIt) {
    Write(L"catalog.json", Catalog({Product("first-title"), Product("b")}));
    Write(L"playtime.txt", "first-title=100\r\nb=200\r\n");
    ReloadRemoteData();
    std::wstring path = dir_ + L"\\playtime.txt";
    g_model.playtime[1] = 250;
    SavePlaytime();
    EXPECT_EQ("first-title=100\r\nb=250\r\n", Read(L"playtime.txt"));
    EXPECT_FALSE(PathIsFile(path + L".new"));

    // Nowhere to write the new list: the old one stays exactly as it was.
    MakeDirs(path + L".new");
    g_model.playtime[1] = 999;
    SavePlaytime();
    EXPECT_EQ("first-title=100\r\nb=250\r\n", Read(L"playtime.txt"));
}

// A save killed at any moment leaves either the old or the new list, whole.
TEST_F(ShellDataTest, KillingASaveNeverLeavesACutList) {
    std::wstring saver = TestBinDir() + L"\\list-saver.exe";
    for (int round = 0; round < 8; ++round) {
        std::wstring cmd = L"\"" + saver + L"\" \"" + dir_ + L"\"";
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi = {};
        std::vector<wchar_t> line(cmd.begin(), cmd.end());
        line.push_back(0);
        ASSERT_TRUE(CreateProcessW(saver.c_str(), line.data(), nullptr, nullptr, FALSE,
                                   CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi));
        // Wait for the saver's first complete list, then kill it mid-stream.
        for (int i = 0; i < 200 && !PathIsFile(dir_ + L"\\saver-started"); ++i) Sleep(10);
        Sleep(20 + (DWORD)(round * 37) % 150);
        TerminateProcess(pi.hProcess, 9);
        WaitForSingleObject(pi.hProcess, 10000);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        std::string text = Read(L"playtime.txt");
        ASSERT_FALSE(text.empty()) << "round " << round;
        // 16 lines "game-<i>=<n*1000+i>" of one and the same save n.
        long long first_save = -1;
        size_t at = 0;
        for (int i = 0; i < 16; ++i) {
            std::string prefix = "game-" + std::to_string(i) + "=";
            ASSERT_EQ(0u, text.compare(at, prefix.size(), prefix)) << "round " << round << ":\n" << text;
            at += prefix.size();
            size_t end = text.find("\r\n", at);
            ASSERT_NE(std::string::npos, end) << "round " << round;
            long long value = std::stoll(text.substr(at, end - at));
            ASSERT_EQ(i, value % 1000) << text;
            if (first_save < 0) first_save = value / 1000;
            EXPECT_EQ(first_save, value / 1000) << "round " << round << ":\n" << text;
            at = end + 2;
        }
        EXPECT_EQ(text.size(), at);
    }
}

// ---- single instance ----------------------------------------------------

// One launcher per install directory, whatever spelling of the folder
// started it: its 8.3 form, or other letter case (beyond ASCII too).
TEST(ShellInstanceKeyTest, EverySpellingOfTheFolderGivesOneKey) {
    const std::wstring base = ScratchRoot() + L"\\instance-key";
    const std::wstring dir = base + L"\\\u00dcr\u00fcn Launcher Folder";
    const std::wstring other = base + L"\\Another Launcher Folder";
    MakeDirs(dir);
    MakeDirs(other);
    wchar_t short_dir[MAX_PATH] = {};
    ASSERT_NE(0u, GetShortPathNameW(dir.c_str(), short_dir, MAX_PATH));
    ASSERT_NE(dir, std::wstring(short_dir));
    std::wstring other_case = dir;
    for (wchar_t &c : other_case) c = IsCharLowerW(c) ? (wchar_t)(ULONG_PTR)CharUpperW((LPWSTR)(ULONG_PTR)c)
                                                      : (wchar_t)(ULONG_PTR)CharLowerW((LPWSTR)(ULONG_PTR)c);
    ASSERT_NE(dir, other_case);
    const unsigned long long key = ShellInstanceKey(dir.c_str());
    EXPECT_EQ(key, ShellInstanceKey(short_dir));
    EXPECT_EQ(key, ShellInstanceKey(other_case.c_str()));
    EXPECT_NE(key, ShellInstanceKey(other.c_str()));
    EXPECT_NE(key, ShellInstanceKey(base.c_str()));
}
