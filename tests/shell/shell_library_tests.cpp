// The library move, the game uninstall and the diagnostics report, driven on
// the real Shell from outside: its boxes read and answered, the files and
// the settings key checked on disk after every step. The folder the player
// picks comes from a file the test build reads in place of the dialog; one
// test opens the real dialog and cancels it.
#include "library_test_support.h"

#include <algorithm>
#include <filesystem>

using namespace orv_test;

namespace {

const wchar_t kMoveFailed[] =
    L"Game Libraryの移動に失敗しました。\n\n旧保存先と新保存先を確認してください。";
const wchar_t kNotEmpty[] =
    L"選択先の「ORVELANT Games」フォルダーが空ではありません。\n\n別の保存先を選択してください。";
const wchar_t kNotWritable[] = L"選択した保存先へ書き込めません。";
const wchar_t kConfirmMove[] =
    L"現在のGame Libraryを新しい保存先へ移動します。\n\nゲーム容量によっては時間がかかります。続行しますか？";
const wchar_t kMoved[] = L"Game Libraryの保存先を変更しました。";
const wchar_t kOverlap[] =
    L"選択先は現在のGame Libraryの内側、またはそれを含むフォルダーです。\n\n別の保存先を選択してください。";
const wchar_t kConfirmUninstall[] =
    L"ゲーム本体のみをアンインストールします。\n\nセーブデータとORVELANT Launcherは削除しません。続行しますか？";
const wchar_t kLegacy[] =
    L"旧形式のゲーム配置はこのLauncherから削除しません。Setup移行機能で処理します。";
const wchar_t kNotDeleted[] =
    L"ゲームフォルダーを完全に削除できませんでした。ゲームが起動中でないか確認してください。";

}  // namespace

// Every refusal of the move, one after the other in one Shell: none of them
// changes the library, the settings key or the Shell's root.
TEST_F(LibraryShellTest, MoveRefusalsChangeNothing) {
    const std::wstring outer = dir_ + L"\\ORVELANT Games\\lib";
    const std::wstring root = outer + L"\\ORVELANT Games";
    SettingsGuard::SetText(L"LibraryRoot", root);
    library_ = root;
    InstallGame("first-title", true);
    Write(L"catalog.json", Catalog({Product("first-title", "HALCYRA")}));
    StartHooked();
    Snapshot before = Snap(root);
    auto unchanged = [&](const char *step) {
        SCOPED_TRACE(step);
        EXPECT_EQ(before, Snap(root));
        EXPECT_EQ(root, RegistryRoot());
        EXPECT_EQ(L"GAME LIBRARY  //  " + root, SettingsLibraryLine());
    };
    Click(1005);

    Pick(L"<cancel>");
    ExpectNoBoxAfter(1403);
    unchanged("picker cancelled");

    Pick(outer);  // the folder that holds the current root: already there
    ExpectNoBoxAfter(1403);
    unchanged("current root's parent");

    WriteFileBytes(dir_ + L"\\full\\ORVELANT Games\\note.txt", "x");
    Pick(dir_ + L"\\full");
    ExpectBoxAfter(1403, kNotEmpty, IDOK);
    EXPECT_FALSE(PathIsFile(dir_ + L"\\full\\ORVELANT Games\\.orvelant-write-test"));
    EXPECT_EQ(2u, Snap(dir_ + L"\\full").size());  // the folder and its one file
    unchanged("not empty");

    // "ORVELANT Games" there is a file: nothing can be written below it.
    WriteFileBytes(dir_ + L"\\blocked\\ORVELANT Games", "a file");
    Pick(dir_ + L"\\blocked");
    ExpectBoxAfter(1403, kNotWritable, IDOK);
    EXPECT_EQ("a file", ReadFileBytes(dir_ + L"\\blocked\\ORVELANT Games"));
    unchanged("not writable");

    // Inside the current root: the root itself, a product folder, and the
    // root spelt in other case.
    for (const std::wstring &inside :
         {root, root + L"\\first-title", outer + L"\\orvelant GAMES\\first-title\\"}) {
        SCOPED_TRACE(Narrow(inside));
        Pick(inside);
        ExpectBoxAfter(1403, kOverlap, IDOK);
        EXPECT_FALSE(PathIsDir(root + L"\\ORVELANT Games"));
        EXPECT_FALSE(PathIsDir(root + L"\\first-title\\ORVELANT Games"));
        unchanged("inside");
    }
    // Around it: the new root "<dir>\ORVELANT Games" would hold the old one.
    Pick(dir_);
    ExpectBoxAfter(1403, kOverlap, IDOK);
    unchanged("around");

    // A sibling whose name only begins like the root is not inside it: the
    // move goes on to its question, which the player declines. The empty new
    // root stays; nothing else changes.
    const std::wstring sibling = outer + L"\\ORVELANT Games2";
    Pick(sibling);
    ExpectBoxAfter(1403, kConfirmMove, IDNO, true);
    EXPECT_TRUE(PathIsDir(sibling + L"\\ORVELANT Games"));
    EXPECT_TRUE(Snap(sibling + L"\\ORVELANT Games").empty());
    unchanged("declined");
    Click(1003);
    EXPECT_EQ(root + L"\\first-title", LibraryDetailBody());
}

// The whole library with its sub-folders moves; the settings key, the
// SETTINGS line and the library views follow; a later Worker finds the game
// at its new place; the old root is gone.
TEST_F(LibraryShellTest, FullMoveTakesEveryFileAndTheRoot) {
    InstallGame("first-title", true);
    InstallSampleGame("first-title");
    InstallGame("second-title", false);
    WriteFileBytes(library_ + L"\\first-title\\saves\\deep\\empty-dir-sibling.bin", RandomBytes(3, 7));
    MakeDirs(library_ + L"\\first-title\\empty");
    // A file nested far past MAX_PATH (and past the walk's former buffers).
    std::wstring nested;
    for (int i = 0; i < 15; ++i) nested += L"\\" + std::wstring(99, (wchar_t)(L'a' + i));
    WriteFileBytes(library_ + L"\\first-title" + nested + L"\\voice.pak", RandomBytes(5, 9));
    Write(L"catalog.json", Catalog({Product("first-title", "HALCYRA"), Product("second-title", "VESPERLINE")}));
    Write(L"favorites.txt", "second-title\r\n");
    StartHooked();
    Snapshot before = Snap(library_);
    const std::wstring target = dir_ + L"\\bigger disk";
    const std::wstring root = target + L"\\ORVELANT Games";
    Pick(target);
    ExpectBoxAfter(1403, kConfirmMove, IDYES, true);
    ExpectBox(kMoved, IDOK);
    EXPECT_EQ(before, Snap(root));
    EXPECT_TRUE(PathIsDir(root + L"\\first-title\\empty"));
    EXPECT_FALSE(PathIsDir(library_));  // the emptied old root went too
    EXPECT_FALSE(PathIsFile(root + L"\\.orvelant-write-test"));
    EXPECT_EQ(root, RegistryRoot());
    EXPECT_EQ("second-title\r\n", Read(L"favorites.txt"));
    Click(1005);
    EXPECT_EQ(L"GAME LIBRARY  //  " + root, SettingsLibraryLine());
    Click(1003);
    EXPECT_EQ(root + L"\\first-title", LibraryDetailBody());
    EXPECT_EQ(L"HALCYRA   //   1.0.0", Text(2100));
    // The game starts from its new place.
    Click(1302);
    const std::wstring record = root + L"\\first-title\\launch-record.txt";
    for (int i = 0; i < 200 && !PathIsFile(record); ++i) Sleep(50);
    std::string launch = ReadFileBytes(record);
    EXPECT_NE(std::string::npos, launch.find("working_directory=" + Narrow(root) + "\\first-title\r\n"))
        << launch;
    EXPECT_NE(std::string::npos, launch.find("--offline")) << launch;
    for (int i = 0; i < 100 && !FindWindowW(L"ORVELANT_SAMPLE_GAME", nullptr); ++i) Sleep(50);
    EndSampleGames();
    DeleteFileW(record.c_str());
    // A Worker started now resolves the new root: with the manifest out of
    // reach it only reports what it finds there.
    Statuses found = RunWorkerJob("first-title");
    EXPECT_EQ(PRODUCT_OFFLINE_READY, found.empty() ? 0 : found.back().first);

    // A current root that is empty moves without a question; its old folder
    // stays where it is.
    const std::wstring second = dir_ + L"\\third\\ORVELANT Games";
    // (the C runtime's remove_all below stops at MAX_PATH: the nested file
    // and its folders go first, deepest first)
    std::wstring level = root + L"\\first-title" + nested;
    EXPECT_TRUE(DeleteFileW((level + L"\\voice.pak").c_str()));
    for (int i = 0; i < 15; ++i, level.resize(level.rfind(L'\\'))) RemoveDirectoryW(level.c_str());
    for (const wchar_t *game : {L"\\first-title", L"\\second-title"}) {
        std::error_code ec;
        for (int i = 0; i < 50 && PathIsDir(root + game); ++i) {
            std::filesystem::remove_all(std::filesystem::path(root + game), ec);
            if (PathIsDir(root + game)) Sleep(100);  // the ended game's file may be held a moment
        }
        ASSERT_FALSE(PathIsDir(root + game));
    }
    Pick(dir_ + L"\\third");
    ExpectBoxAfter(1403, kMoved, IDOK);
    EXPECT_TRUE(PathIsDir(root));
    EXPECT_TRUE(PathIsDir(second));
    EXPECT_EQ(second, RegistryRoot());
}

// A file held open without sharing stops the move where it is: what was
// enumerated before it is at the new root, it and everything after it are
// still at the old one, and the settings key and the Shell keep the old root.
TEST_F(LibraryShellTest, MoveThatFailsPartWayLeavesTheSplitAndTheOldRoot) {
    InstallGame("first-title", true);
    InstallGame("second-title", true);
    WriteFileBytes(library_ + L"\\locked.pak", RandomBytes(4, 4096));
    Write(L"catalog.json", Catalog({Product("first-title", "HALCYRA"), Product("second-title", "VESPERLINE")}));
    StartHooked();
    // (a file of the root itself: a product folder moves in one rename)
    const std::wstring locked = library_ + L"\\locked.pak";
    const std::wstring target = dir_ + L"\\new";
    const std::wstring root = target + L"\\ORVELANT Games";
    Snapshot before = Snap(library_);
    Split expected = ExpectedSplit(library_, locked);
    HANDLE held = CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    Pick(target);
    ExpectBoxAfter(1403, kConfirmMove, IDYES, true);
    ExpectBox(kMoveFailed, IDOK);
    CloseHandle(held);
    EXPECT_EQ(expected.moved, Snap(root));
    EXPECT_EQ(expected.stayed, Snap(library_));
    EXPECT_FALSE(expected.stayed.empty());
    // Nothing lost: together they are the library as it was.
    Snapshot together = Snap(root);
    for (const auto &entry : Snap(library_)) together.insert(entry);
    EXPECT_EQ(before, together);
    EXPECT_EQ(L"", RegistryRoot());  // never written
    Click(1005);
    EXPECT_EQ(L"GAME LIBRARY  //  " + library_, SettingsLibraryLine());
}

// The Shell killed in the middle of a move: at its next start the move is
// finished where it was going, every game installed at the new root, and
// the player told in the move's own box.
TEST_F(LibraryShellTest, MoveKilledMidWayIsFinishedAtTheNextStart) {
    for (const char *game : {"first-title", "second-title", "third-title"}) InstallGame(game, true);
    Write(L"catalog.json", Catalog({Product("first-title", "HALCYRA"),
                                    Product("second-title", "VESPERLINE"),
                                    Product("third-title", "MERIDIAN")}));
    Snapshot before = Snap(library_);
    env_.Set(L"ORV_TEST_MOVE_KILL_AFTER", L"1");
    StartHooked();
    const std::wstring target = dir_ + L"\\new";
    const std::wstring root = target + L"\\ORVELANT Games";
    Pick(target);
    ConfirmMoveUntilKilled(kConfirmMove);
    // Split between the roots, each product whole at one of them.
    Snapshot moved = Snap(root), stayed = Snap(library_);
    EXPECT_FALSE(moved.empty());
    EXPECT_FALSE(stayed.empty());
    for (const auto &entry : moved) EXPECT_EQ(0u, stayed.count(entry.first)) << Narrow(entry.first);
    EXPECT_EQ(L"", RegistryRoot());

    // The next start finishes it, slowly enough to look at the window
    // meanwhile: it answers, shows the progress, refuses other commands and
    // asks before it closes.
    env_.Set(L"ORV_TEST_MOVE_KILL_AFTER", L"");
    env_.Set(L"ORV_TEST_MOVE_STEP_MS", L"3000");
    StartHooked();
    const std::wstring status = RowText(ROW_STATUS_LINE);
    EXPECT_EQ(0u, status.rfind(L"LIBRARY MOVE // ", 0)) << Narrow(status);
    Click(1003);
    EXPECT_EQ(L"HALCYRA   //   1.0.0", Text(2100)) << "a moved game looks uninstalled";
    ExpectBoxAfter(1302, L"Game Libraryを移動しています。\n\n移動が終わるまでお待ちください。", IDOK);
    PostMessageW(window_, WM_CLOSE, 0, 0);
    ExpectBox(L"Game Libraryを移動しています。\n\n終了すると、次回の起動時に移動を続けます。終了しますか？",
              IDNO, true);
    EXPECT_TRUE(IsWindow(window_));
    ExpectBox(kMoved, IDOK);
    EXPECT_EQ(before, Snap(root));
    EXPECT_FALSE(PathIsDir(library_));
    EXPECT_EQ(root, RegistryRoot());
    EXPECT_EQ(L"LIBRARY MOVE // DONE", RowText(ROW_STATUS_LINE));  // the status line
    Click(1005);
    EXPECT_EQ(L"GAME LIBRARY  //  " + root, SettingsLibraryLine());
    Click(1003);
    EXPECT_EQ(root + L"\\first-title", LibraryDetailBody());
    EXPECT_EQ(L"HALCYRA   //   1.0.0", Text(2100));  // installed, at its new place
}

// The uninstall: declined, then confirmed; a file in use; the legacy layout.
TEST_F(LibraryShellTest, UninstallDeletesOnlyTheSelectedProductFolder) {
    InstallGame("first-title", true);
    InstallGame("second-title", true);
    InstallGame("third-title", true);
    Write(L"catalog.json", Catalog({Product("first-title", "HALCYRA"), Product("second-title", "VESPERLINE"),
                                    Product("third-title", "OBSIDIAN")}));
    Write(L"favorites.txt", "second-title\r\n");
    Write(L"collections.txt", "second-title=2\r\n");
    Write(L"playtime.txt", "second-title=120\r\n");
    StartHooked();
    Click(1003);
    Click(2101);
    EXPECT_EQ(L"VESPERLINE", LibraryDetailTitle());
    Snapshot others = Snap(library_ + L"\\first-title");
    Snapshot third = Snap(library_ + L"\\third-title");
    std::wstring nested;
    for (int i = 0; i < 15; ++i) nested += L"\\" + std::wstring(99, (wchar_t)(L'a' + i));
    WriteFileBytes(library_ + L"\\second-title" + nested + L"\\voice.pak", "deep");

    ExpectBoxAfter(1303, kConfirmUninstall, IDNO, true);
    EXPECT_TRUE(PathIsFile(library_ + L"\\second-title\\ORVELANT.exe"));

    ExpectBoxAfter(1303, kConfirmUninstall, IDYES, true);
    EXPECT_NO_FATAL_FAILURE(ExpectNoBox());
    EXPECT_FALSE(PathIsDir(library_ + L"\\second-title"));
    EXPECT_EQ(others, Snap(library_ + L"\\first-title"));
    EXPECT_EQ(third, Snap(library_ + L"\\third-title"));
    EXPECT_EQ("second-title\r\n", Read(L"favorites.txt"));
    EXPECT_EQ("second-title=2\r\n", Read(L"collections.txt"));
    EXPECT_EQ("second-title=120\r\n", Read(L"playtime.txt"));
    EXPECT_NE(std::wstring::npos, Text(2101).find(L"NOT INSTALLED"));
    EXPECT_EQ(L"INSTALL", Text(1300));
    EXPECT_FALSE(ById(1303).enabled);
    // Not installed any more: the command does nothing.
    ExpectNoBoxAfter(1303);

    // A file in use stays, the box says so, and the views show what is left.
    Click(2102);
    const std::wstring in_use = library_ + L"\\third-title\\data\\a.pak";
    HANDLE held = CreateFileW(in_use.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    ExpectBoxAfter(1303, kConfirmUninstall, IDYES, true);
    ExpectBox(kNotDeleted, IDOK);
    CloseHandle(held);
    EXPECT_TRUE(PathIsFile(in_use));
    bool exe_left = PathIsFile(library_ + L"\\third-title\\ORVELANT.exe");
    EXPECT_EQ(exe_left ? L"PLAY" : L"INSTALL", Text(1300));
    EXPECT_EQ(exe_left, Text(2102).find(L"NOT INSTALLED") == std::wstring::npos);
}

TEST_F(LibraryShellTest, UninstallLeavesTheLegacyLayoutAlone) {
    Write(L"game\\ORVELANT_First_Title.exe", "MZ legacy");
    Write(L"catalog.json", Catalog({Product("first-title", "HALCYRA")}));
    StartHooked();
    Click(1003);
    ExpectBoxAfter(1303, kConfirmUninstall, IDYES, true);
    ExpectBox(kLegacy, IDOK);
    EXPECT_EQ("MZ legacy", Read(L"game\\ORVELANT_First_Title.exe"));
}

// The shipped Shell shows the real folder picker with its title; cancelling
// it changes nothing.
TEST_F(LibraryShellTest, TheRealFolderPickerOpensWithItsTitleAndCancels) {
    StartAndWait();
    Click(1005);
    PostMessageW(window_, WM_COMMAND, MAKEWPARAM(1403, 0), 0);
    HWND dialog = orv_probe::FindMessageBox(pid_, 15000);
    ASSERT_NE(nullptr, dialog) << "no folder picker";
    EXPECT_TRUE(DialogShowsText(dialog,
                                L"ORVELANT Game Library の保存先となる親フォルダーを選択してください。"));
    EXPECT_EQ(window_, GetWindow(dialog, GW_OWNER));
    ASSERT_TRUE(orv_probe::AnswerMessageBox(dialog, IDCANCEL, 10000));
    ExpectNoBox();
    EXPECT_EQ(L"", RegistryRoot());
    EXPECT_EQ(L"GAME LIBRARY  //  " + library_, SettingsLibraryLine());
}

// A running sync does not stop the move (it gets as far as its question); a
// running product job stops the move with its box and the uninstall
// silently.
TEST_F(LibraryShellTest, ARunningProductJobBlocksTheMoveAndTheUninstall) {
    InstallGame("first-title", true);
    Write(L"catalog.json", Catalog({Product("first-title", "HALCYRA")}));
    InstallWorkerStandIn();
    StartHooked();
    Click(1005);
    Pick(dir_ + L"\\other");
    ExpectBoxAfter(1403,
                   L"現在のGame Libraryを新しい保存先へ移動します。\n\n"
                   L"ゲーム容量によっては時間がかかります。続行しますか？",
                   IDNO, true);
    Click(1003);
    Click(1301);  // a repair job: its Worker (the stand-in) stays running
    for (int i = 0; i < 100 && Read(L"launch-record.txt").find("/product:first-title") == std::string::npos; ++i)
        Sleep(50);
    ASSERT_NE(std::string::npos, Read(L"launch-record.txt").find("/product:first-title"));
    Snapshot before = Snap(library_);
    ExpectBoxAfter(1403, L"ダウンロード中はLibrary保存先を変更できません。", IDOK);
    ExpectNoBoxAfter(1303);
    EXPECT_EQ(before, Snap(library_));
    EXPECT_EQ(L"", RegistryRoot());
}

// Directory links inside the library. Wine cannot make junctions (its
// FSCTL_SET_REPARSE_POINT is not supported and CreateSymbolicLinkW makes
// nothing), but it reports a Linux symbolic link to a folder as a directory
// with FILE_ATTRIBUTE_REPARSE_POINT: the tests use one. The uninstall never
// enters it; the move refuses it.
TEST_F(LibraryShellTest, DirectoryLinksAreNeverEnteredMovedOrFollowed) {
    // Links of an earlier run are gone only by a Linux removal (Wine's
    // RemoveDirectoryW does not take them).
    ASSERT_TRUE(RunUnix("rm -rf '" + UnixPath(dir_) + "'"));
    MakeDirs(local_);
    InstallGame("first-title", true);
    InstallGame("second-title", true);
    Write(L"catalog.json", Catalog({Product("first-title", "HALCYRA"), Product("second-title", "VESPERLINE")}));
    const std::wstring outside = dir_ + L"\\outside";
    WriteFileBytes(outside + L"\\keep.bin", "linked data");
    const std::wstring link1 = library_ + L"\\first-title\\linked";
    const std::wstring link2 = library_ + L"\\second-title\\linked";
    const std::wstring spare = dir_ + L"\\spare-link";
    for (const std::wstring &link : {link1, link2, spare})
        ASSERT_TRUE(RunUnix("ln -s '" + UnixPath(outside) + "' '" + UnixPath(link) + "'"));
    DWORD attributes = GetFileAttributesW(link1.c_str());
    ASSERT_EQ((DWORD)(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT),
              attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
    // Whether this system lets RemoveDirectoryW take such a link away.
    const bool links_removable = RemoveDirectoryW(spare.c_str()) != 0;
    StartHooked();

    Click(1003);
    ExpectBoxAfter(1303, kConfirmUninstall, IDYES, true);
    if (links_removable) {
        ExpectNoBox();
        EXPECT_FALSE(PathIsDir(library_ + L"\\first-title"));
    } else {
        ExpectBox(kNotDeleted, IDOK);
        // Everything but the link went; the link could not.
        EXPECT_EQ((Snapshot{{L"linked", "<dir>"}, {L"linked\\keep.bin", Digest("linked data")}}),
                  Snap(library_ + L"\\first-title"));
    }
    EXPECT_EQ("linked data", ReadFileBytes(outside + L"\\keep.bin"));

    // The move stops at the link; its target is not moved.
    Click(1005);
    Pick(dir_ + L"\\new");
    ExpectBoxAfter(1403, kConfirmMove, IDYES, true);
    ExpectBox(kMoveFailed, IDOK);
    EXPECT_TRUE(PathIsDir(link2));
    EXPECT_EQ("linked data", ReadFileBytes(outside + L"\\keep.bin"));
    EXPECT_FALSE(PathIsFile(dir_ + L"\\new\\ORVELANT Games\\second-title\\linked\\keep.bin"));
    EXPECT_EQ(L"", RegistryRoot());
    EXPECT_EQ(L"GAME LIBRARY  //  " + library_, SettingsLibraryLine());
    RunUnix("rm -f '" + UnixPath(link1) + "' '" + UnixPath(link2) + "' '" + UnixPath(spare) + "'");
}

// A product folder that will not rename (held open by another process, as a
// running game holds it) stays whole where it is and ends the move as
// failed; the games already moved stay at the new root. The record is kept:
// every game is shown installed where its files are and starts from there,
// a product job for a moved game is refused (it would fetch the game again
// into the old root), a third folder is refused, a running game keeps the
// move from starting, and picking the original folder moves everything back.
TEST_F(LibraryShellTest, FailedMoveKeepsEveryGameWhereItIsUntilUndone) {
    const std::wstring original = dir_ + L"\\orig";
    library_ = original + L"\\ORVELANT Games";
    SettingsGuard::SetText(L"LibraryRoot", library_);
    const std::vector<std::string> ids = {"first-title", "second-title", "third-title"};
    for (const std::string &id : ids) InstallGame(id, true);
    Write(L"catalog.json", Catalog({Product("first-title", "HALCYRA"), Product("second-title", "VESPERLINE"),
                                    Product("third-title", "MERIDIAN"), Product("fourth-title", "OBSIDIAN")}));
    // The product folders in the order the move meets them: the last is held.
    std::vector<std::wstring> order;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((library_ + L"\\*").c_str(), &entry);
    ASSERT_NE(INVALID_HANDLE_VALUE, search);
    do {
        if (entry.cFileName[0] != L'.') order.push_back(entry.cFileName);
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    ASSERT_EQ(3u, order.size());
    const std::wstring first = order.front(), held = order.back();
    InstallSampleGame(Narrow(first));
    Snapshot before = Snap(library_);
    Snapshot held_before = Snap(library_ + L"\\" + held);
    const std::wstring root = dir_ + L"\\new\\ORVELANT Games";
    HANDLE hold = CreateFileW((library_ + L"\\" + held).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, hold);
    StartHooked();
    Pick(dir_ + L"\\new");
    ExpectBoxAfter(1403, kConfirmMove, IDYES, true);
    ExpectBox(kMoveFailed, IDOK);
    EXPECT_EQ(L"LIBRARY MOVE // FAILED", RowText(ROW_STATUS_LINE));
    // The held product is whole at the old root and nowhere else.
    EXPECT_EQ(held_before, Snap(library_ + L"\\" + held));
    EXPECT_FALSE(PathIsDir(root + L"\\" + held));
    Snapshot together = Snap(root);
    for (const auto &e : Snap(library_)) together.insert(e);
    EXPECT_EQ(before, together);
    EXPECT_TRUE(PathIsFile(root + L"\\" + first + L"\\ORVELANT.exe"));
    EXPECT_TRUE(PathIsFile(dir_ + L"\\library-move.pending"));
    EXPECT_EQ(library_, RegistryRoot());
    CloseHandle(hold);

    // Every game installed, each shown at the root that holds it.
    Click(1003);
    const wchar_t *titles[] = {L"HALCYRA", L"VESPERLINE", L"MERIDIAN"};
    for (int row = 0; row < 3; ++row) {
        SCOPED_TRACE(row);
        Click(2100 + row);
        EXPECT_EQ(std::wstring(titles[row]) + L"   //   1.0.0", Text(2100 + row));
        const std::wstring folder = Widen(ids[row]);
        EXPECT_EQ((PathIsDir(root + L"\\" + folder) ? root : library_) + L"\\" + folder, LibraryDetailBody());
    }
    int moved_row = (int)(std::find(ids.begin(), ids.end(), Narrow(first)) - ids.begin());
    Click(2100 + moved_row);
    // No product job for a moved game: it would be fetched again.
    ExpectBoxAfter(1300, L"Game Libraryを移動しています。\n\n移動が終わるまでお待ちください。", IDOK);
    // A game at neither root still installs (here: its Worker is not there).
    Click(2103);
    ExpectBoxAfter(1300, L"更新モジュールがありません。Setupの再インストールで修復してください。", IDOK);
    Click(2100 + moved_row);
    // The moved game starts from its new place.
    Click(1302);
    const std::wstring record = root + L"\\" + first + L"\\launch-record.txt";
    for (int i = 0; i < 200 && !PathIsFile(record); ++i) Sleep(50);
    EXPECT_NE(std::string::npos,
              ReadFileBytes(record).find("working_directory=" + Narrow(root + L"\\" + first) + "\r\n"));
    for (int i = 0; i < 100 && !FindWindowW(L"ORVELANT_SAMPLE_GAME", nullptr); ++i) Sleep(50);
    // While it runs, no move starts: not even the one back.
    Snapshot moved = Snap(root);
    Pick(original);
    ExpectBoxAfter(1403, kMoveFailed, IDOK);
    EXPECT_EQ(moved, Snap(root));
    EndSampleGames();
    ASSERT_TRUE(orv_probe::WaitProcessed(window_));
    DeleteFileW(record.c_str());

    // A third folder waits for the pending move.
    Pick(dir_ + L"\\third");
    ExpectBoxAfter(1403, L"Game Libraryを移動しています。\n\n移動が終わるまでお待ちください。", IDOK);
    EXPECT_FALSE(PathIsDir(dir_ + L"\\third\\ORVELANT Games"));

    // A moved game can be uninstalled where it is.
    const std::wstring middle = order[1];
    const int middle_row = (int)(std::find(ids.begin(), ids.end(), Narrow(middle)) - ids.begin());
    Click(1003);
    Click(2100 + middle_row);
    ExpectBoxAfter(1303, kConfirmUninstall, IDYES, true);
    ExpectNoBox();
    EXPECT_FALSE(PathIsDir(root + L"\\" + middle));
    EXPECT_NE(std::wstring::npos, Text(2100 + middle_row).find(L"NOT INSTALLED"));
    for (auto it = before.begin(); it != before.end();)
        it = it->first == middle || it->first.rfind(middle + L"\\", 0) == 0 ? before.erase(it) : std::next(it);

    // The original folder: everything goes back, the record goes.
    Pick(original);
    for (int i = 0; i < 50; ++i) {  // the ended game's watch may take a moment
        ASSERT_TRUE(PostMessageW(window_, WM_COMMAND, MAKEWPARAM(1403, 0), 0));
        HWND box = orv_probe::FindMessageBox(pid_, 15000);
        ASSERT_NE(nullptr, box);
        bool question = orv_probe::MessageBoxText(box) == kConfirmMove;
        ASSERT_TRUE(orv_probe::AnswerMessageBox(box, question ? IDYES : IDOK));
        if (question) break;
        Sleep(100);
    }
    ExpectBox(kMoved, IDOK);
    EXPECT_EQ(before, Snap(library_));
    EXPECT_FALSE(PathIsDir(root));
    EXPECT_FALSE(PathIsFile(dir_ + L"\\library-move.pending"));
    EXPECT_EQ(library_, RegistryRoot());
    Click(1003);
    Click(2100 + moved_row);
    EXPECT_EQ(library_ + L"\\" + first, LibraryDetailBody());
}

// A game outlives the Shell: the seconds up to the close are saved then, the
// next Shell watches that very process and adds the rest when it ends, and
// nothing is counted twice. A game that ends while no Shell runs adds
// nothing more.
TEST_F(LibraryShellTest, AGameStillRunningWhenTheShellClosesKeepsItsPlaytime) {
    InstallGame("first-title", true);
    InstallSampleGame("first-title");  // it stays open until its window is closed
    Write(L"catalog.json", Catalog({Product("first-title", "HALCYRA")}));
    auto played = [&]() -> long long {
        std::string list = Read(L"playtime.txt");
        size_t at = list.find("first-title=");
        return at == std::string::npos ? 0 : atoll(list.c_str() + at + 12);
    };
    HWND window = nullptr;
    ULONGLONG seen = 0;
    auto start_game = [&]() -> HANDLE {
        Click(1003);
        Click(1302);
        window = nullptr;
        for (int i = 0; i < 200 && !(window = FindWindowW(L"ORVELANT_SAMPLE_GAME", nullptr)); ++i) Sleep(50);
        seen = GetTickCount64();
        DWORD game_pid = 0;
        if (window) GetWindowThreadProcessId(window, &game_pid);
        return OpenProcess(SYNCHRONIZE, FALSE, game_pid);
    };
    auto close_shell = [&]() {
        PostMessageW(window_, WM_CLOSE, 0, 0);
        EXPECT_EQ(0u, WaitExit());
        CloseHandle(process_);
        process_ = nullptr;
    };
    StartHooked();
    const ULONGLONG t0 = GetTickCount64();
    HANDLE game = start_game();
    ASSERT_NE(nullptr, game);
    Sleep(2500);
    close_shell();
    const ULONGLONG t1 = GetTickCount64();
    const long long at_close = played();
    EXPECT_GE(at_close, 2);
    EXPECT_LE(at_close, (long long)((t1 - t0) / 1000));
    ASSERT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(game, 0)) << "the game ended with the Shell";

    // The next Shell is up (it has taken the record); the player goes on a
    // while and then quits the game.
    StartHooked();
    ASSERT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(game, 0));
    Sleep(2500);
    const ULONGLONG quit = GetTickCount64();
    ASSERT_TRUE(PostMessageW(window, WM_CLOSE, 0, 0));
    ASSERT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(game, 20000));
    CloseHandle(game);
    long long total = at_close;
    for (int i = 0; i < 400 && total == at_close; ++i) {
        Sleep(50);
        total = played();
    }
    const ULONGLONG t2 = GetTickCount64();
    // The whole run counted once: at least from the game's window to the
    // quit less one rounding (the fraction left at the close is carried
    // over), with a tenth of a second for three programs reading one clock;
    // at most the time from the click until now.
    EXPECT_GT(total * 1000, (long long)(quit - seen) - 1100)
        << "playtime.txt: " << Read(L"playtime.txt") << "\nlog:\n" << Read(L"logs\\launcher.log");
    EXPECT_GT(total, at_close);
    EXPECT_LE(total, (long long)((t2 - t0) / 1000));

    // Ended while no Shell runs: what was saved at the close stays.
    game = start_game();
    ASSERT_NE(nullptr, game);
    Sleep(1500);
    close_shell();
    const long long second_close = played();
    EXPECT_GE(second_close, total + 1);
    EndSampleGames();
    CloseHandle(game);
    StartHooked();
    Sleep(500);
    ASSERT_TRUE(orv_probe::WaitProcessed(window_));
    EXPECT_EQ(second_close, played());
}
