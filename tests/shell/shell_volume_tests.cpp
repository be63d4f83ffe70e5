// The Game Library on another volume than the install directory: drive Y:
// is a tmpfs of its own and X: a read-only one (tests/volume/second_volume.sh
// sets them up; this program runs only there). The Shell moves the library
// to Y:, then the Worker updates a product that lives there, byte for byte,
// its staged files committed across the volumes. W: is a 1 MiB tmpfs: a
// product larger than that is refused there before any byte is fetched.
#include "library_test_support.h"
#include "update_host.h"

#include <filesystem>

using namespace orv_test;

namespace {

const int PRODUCT_CURRENT = 3;
const int PRODUCT_FAILED = 5;

class SecondVolume : public LibraryShellTest {
protected:
    void SetUp() override {
        LibraryShellTest::SetUp();
        ASSERT_TRUE(PathIsDir(L"Y:\\")) << "no second volume";
        ASSERT_TRUE(PathIsDir(L"X:\\")) << "no read-only volume";
        wchar_t here[MAX_PATH], there[MAX_PATH];
        ASSERT_TRUE(GetVolumePathNameW(dir_.c_str(), here, MAX_PATH));
        ASSERT_TRUE(GetVolumePathNameW(L"Y:\\", there, MAX_PATH));
        ASSERT_NE(std::wstring(here), std::wstring(there));
        std::error_code ec;
        std::filesystem::remove_all(std::filesystem::path(L"Y:\\ORVELANT Games"), ec);
    }
    std::string Served(const std::wstring &relative) {
        return ReadFileBytes(HostTree() + L"\\games\\three\\files\\" + relative);
    }
};

}  // namespace

TEST_F(SecondVolume, LibraryMovedThereThenAProductUpdatedThere) {
    // "p" is installed at an older release: one file current, two not.
    std::wstring old_dir = library_ + L"\\p-dir";
    WriteFileBytes(old_dir + L"\\Game.exe", "an older executable");
    WriteFileBytes(old_dir + L"\\one.pak", Served(L"one.pak"));
    WriteFileBytes(old_dir + L"\\two.pak", "an older two");
    WriteFileBytes(old_dir + L"\\saves\\slot1.sav", RandomBytes(9, 3000));
    WriteFileBytes(old_dir + L"\\.orvelant-known-good", "ok\r\n");
    Write(L"catalog.json",
          "{\"products\": [{\"id\": \"p\", \"title\": \"PARALLAX\", \"install_dir\": \"p-dir\", "
          "\"executable\": \"Game.exe\", \"manifest_path\": \"/games/three/manifest.json\"}]}");
    ASSERT_TRUE(CopyFileW((BinDir() + L"\\ORVELANT Update Worker.exe").c_str(),
                          (dir_ + L"\\ORVELANT Update Worker.exe").c_str(), FALSE));
    StartHooked();
    Click(1005);

    // A read-only volume: the write probe fails there.
    Pick(L"X:\\");
    ExpectBoxAfter(1403, L"選択した保存先へ書き込めません。", IDOK);
    EXPECT_EQ(L"", RegistryRoot());

    // The Shell killed once the first file is copied there, not yet in place:
    // the original stays whole; the next start finishes the move.
    Snapshot before = Snap(library_);
    PostMessageW(window_, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, WaitExit());
    CloseHandle(process_);
    env_.Set(L"ORV_TEST_MOVE_KILL_AFTER", L"1");
    StartHooked();
    Pick(L"Y:\\");  // a drive root comes back with its separator
    ConfirmMoveUntilKilled(L"現在のGame Libraryを新しい保存先へ移動します。\n\n"
                           L"ゲーム容量によっては時間がかかります。続行しますか？");
    EXPECT_EQ(before, Snap(library_));
    EXPECT_EQ(L"", RegistryRoot());
    env_.Set(L"ORV_TEST_MOVE_KILL_AFTER", L"");
    StartHooked();
    ExpectBox(L"Game Libraryの保存先を変更しました。", IDOK);
    const std::wstring root = L"Y:\\ORVELANT Games";
    EXPECT_EQ(root, RegistryRoot());
    EXPECT_EQ(L"GAME LIBRARY  //  " + root, SettingsLibraryLine());
    EXPECT_EQ(before, Snap(root));
    EXPECT_FALSE(PathIsDir(library_));

    // The update: the Worker from the install directory, its staging area
    // beside it on the first volume, the product on Y:.
    ChildRun run = RunChild(dir_ + L"\\ORVELANT Update Worker.exe", L" /parent:{parent} /product:p");
    EXPECT_EQ(0u, run.exit_code);
    ASSERT_FALSE(run.Statuses().empty());
    EXPECT_EQ(PRODUCT_CURRENT, run.Statuses().back().first);
    for (const wchar_t *name : {L"Game.exe", L"one.pak", L"two.pak"})
        EXPECT_TRUE(Served(name) == ReadFileBytes(root + L"\\p-dir\\" + name)) << Narrow(name);
    EXPECT_EQ(before.at(L"p-dir\\saves\\slot1.sav"), Digest(ReadFileBytes(root + L"\\p-dir\\saves\\slot1.sav")));
    EXPECT_EQ("ok\r\n", ReadFileBytes(root + L"\\p-dir\\.orvelant-known-good"));
    EXPECT_EQ("{\r\n  \"version\": \"3.0.0\"\r\n}\r\n", ReadFileBytes(root + L"\\p-dir\\version.json"));
    EXPECT_EQ("an older executable", ReadFileBytes(dir_ + L"\\.orvelant-backup\\p\\previous\\Game.exe"));
    EXPECT_FALSE(PathIsFile(dir_ + L"\\.orvelant-staging\\p\\Game.exe.part"));
    EXPECT_NE(std::string::npos,
              Read(L"logs\\updater.log").find("Product update committed successfully"));

    // The Shell sees the updated game at its new place.
    Click(1003);
    EXPECT_EQ(L"PARALLAX   //   3.0.0", Text(2100));
    EXPECT_EQ(root + L"\\p-dir", LibraryDetailBody());

    // A move back, cut short; then Y: is unplugged. The next start keeps the
    // record and the settings key and says why in the status line; the start
    // after Y: is back finishes the move.
    Snapshot on_y = Snap(root);
    PostMessageW(window_, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, WaitExit());
    CloseHandle(process_);
    env_.Set(L"ORV_TEST_MOVE_KILL_AFTER", L"1");
    StartHooked();
    Pick(dir_ + L"\\back");
    ConfirmMoveUntilKilled(L"現在のGame Libraryを新しい保存先へ移動します。\n\n"
                           L"ゲーム容量によっては時間がかかります。続行しますか？");
    env_.Set(L"ORV_TEST_MOVE_KILL_AFTER", L"");
    wchar_t prefix[1024] = {};
    ASSERT_NE(0u, GetEnvironmentVariableW(L"WINEPREFIX", prefix, 1024));
    const std::string devices = Narrow(prefix) + "/dosdevices/";
    ASSERT_TRUE(RunUnix("mv '" + devices + "y:' '" + devices + "y-unplugged'"));
    ASSERT_FALSE(PathIsDir(L"Y:\\"));
    StartHooked();
    ExpectNoBox();
    EXPECT_EQ(L"LIBRARY MOVE // OLD FOLDER UNREACHABLE  旧保存先に接続できません。次回の起動時に移動を続けます。",
              RowText(ROW_STATUS_LINE));
    EXPECT_TRUE(PathIsFile(dir_ + L"\\library-move.pending"));
    EXPECT_EQ(root, RegistryRoot());
    PostMessageW(window_, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, WaitExit());
    CloseHandle(process_);
    ASSERT_TRUE(RunUnix("mv '" + devices + "y-unplugged' '" + devices + "y:'"));
    ASSERT_TRUE(PathIsDir(L"Y:\\"));
    StartHooked();
    ExpectBox(L"Game Libraryの保存先を変更しました。", IDOK);
    const std::wstring back = dir_ + L"\\back\\ORVELANT Games";
    EXPECT_EQ(back, RegistryRoot());
    EXPECT_EQ(on_y, Snap(back));
    EXPECT_FALSE(PathIsFile(dir_ + L"\\library-move.pending"));
}

TEST_F(SecondVolume, InstallThatCannotFitIsRefusedBeforeAnyFetch) {
    const std::wstring root = L"W:\\ORVELANT Games";
    SettingsGuard::SetText(L"LibraryRoot", root);
    Write(L"catalog.json",
          "{\"products\": [{\"id\": \"s\", \"title\": \"SLOW\", \"install_dir\": \"s-dir\", "
          "\"executable\": \"Game.exe\", \"manifest_path\": \"/games/slow/manifest.json\"}]}");
    ASSERT_TRUE(CopyFileW((BinDir() + L"\\ORVELANT Update Worker.exe").c_str(),
                          (dir_ + L"\\ORVELANT Update Worker.exe").c_str(), FALSE));
    const size_t seen = HostAccessLog().size();
    ChildRun run =
        RunChild(dir_ + L"\\ORVELANT Update Worker.exe", L" /parent:{parent} /product:s");
    const std::string requests = HostAccessLog().substr(seen);
    EXPECT_EQ(12u, run.exit_code);
    ASSERT_FALSE(run.Statuses().empty());
    EXPECT_EQ(PRODUCT_FAILED, run.Statuses().back().first);
    // The manifest was read; no file of the product was asked for.
    EXPECT_NE(std::string::npos, requests.find("GET /games/slow/manifest.json ")) << requests;
    EXPECT_EQ(std::string::npos, requests.find("/games/slow/files/")) << requests;
    for (const wchar_t *name : {L"Game.exe.part", L"big1.pak.part", L"big2.pak.part"})
        EXPECT_FALSE(PathIsFile(dir_ + L"\\.orvelant-staging\\s\\" + name)) << Narrow(name);
    EXPECT_FALSE(PathIsDir(root + L"\\s-dir"));
    // The log names both figures and the volume; more is needed than is free.
    const std::string log = Read(L"logs\\updater.log");
    const std::string head = "Not enough disk space: ";
    const size_t at = log.find(head);
    ASSERT_NE(std::string::npos, at) << log;
    unsigned long long needed = 0, free_bytes = 0;
    char volume[16] = {};
    ASSERT_EQ(3, sscanf(log.c_str() + at + head.size(),
                        "%llu bytes needed, %llu bytes free (error %*u) %15s", &needed, &free_bytes,
                        volume))
        << log;
    EXPECT_GT(needed, free_bytes);
    EXPECT_GE(needed, std::filesystem::file_size(std::filesystem::path(
                          HostTree() + L"\\games\\slow\\files\\big1.pak")) * 2);
    EXPECT_STREQ("W:\\", volume);
}
