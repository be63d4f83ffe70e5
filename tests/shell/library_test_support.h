// The Shell's test build in a scratch install, with the helpers the library
// move, uninstall and diagnostics tests share: the picked folder, the boxes,
// snapshots of folder trees, the settings key and the Worker beside it.
#pragma once

#include "shell_fixture.h"

#include <map>
#include <string>

namespace orv_test {

enum {
    PRODUCT_OFFLINE_READY = 4, PRODUCT_NOT_INSTALLED = 6,
};

// Relative path -> size and hash of the file's bytes; folders as "<dir>".
using Snapshot = std::map<std::wstring, std::string>;
using Statuses = std::vector<std::pair<int, int>>;

struct Split {
    Snapshot moved;
    Snapshot stayed;
};

std::string RandomBytes(unsigned int seed, size_t count);
std::string Digest(const std::string &bytes);
Snapshot Snap(const std::wstring &root);
// What a library move leaves where, given the file it cannot move: the
// entries enumerated before it are at the destination, it and the rest stay.
Split ExpectedSplit(const std::wstring &root, const std::wstring &stop_at);
bool DialogShowsText(HWND dialog, const std::wstring &text);
// Runs a command line of the Linux side (/bin/sh -c) and waits for it.
bool RunUnix(const std::string &command);
// The Linux path of a path on Wine's Z: drive.
std::string UnixPath(const std::wstring &wine_path);
// Ends every running sample game (and every stand-in that is one).
void EndSampleGames();
std::wstring RegistryRoot();

class LibraryShellTest : public ShellProcessTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // The Shell's test build, which takes the picked folder from pick.txt.
    void StartHooked();
    void Pick(const std::wstring &folder);
    // A game in the Game Library as the Worker leaves it: executable,
    // version 1.0.0, data in sub-folders, the marker when known_good.
    void InstallGame(const std::string &install_dir, bool known_good);

    // Clicks id, expects one box of the Shell with that text and caption
    // "ORVELANT Launcher" (Yes/No buttons when question), answers it.
    void ExpectBoxAfter(int id, const std::wstring &text, int answer, bool question = false,
                        const std::wstring &caption = L"ORVELANT Launcher");
    void ExpectBox(const std::wstring &text, int answer, bool question = false,
                   const std::wstring &caption = L"ORVELANT Launcher");
    // Clicks MOVE LIBRARY, answers Yes to its question and expects the
    // test build to end there as a killed process would (exit code 9).
    void ConfirmMoveUntilKilled(const std::wstring &question) {
        ASSERT_TRUE(PostMessageW(window_, WM_COMMAND, MAKEWPARAM(1403, 0), 0));
        HWND box = orv_probe::FindMessageBox(pid_, 15000);
        ASSERT_NE(nullptr, box);
        EXPECT_EQ(question, orv_probe::MessageBoxText(box));
        ASSERT_TRUE(orv_probe::AnswerMessageBox(box, IDYES));
        EXPECT_EQ(9u, WaitExit());
        CloseHandle(process_);
        process_ = nullptr;
    }
    void ExpectNoBoxAfter(int id);
    void ExpectNoBox();

    std::wstring SettingsLibraryLine() { return TextAt(255, 270, 900, 42); }
    std::wstring LibraryDetailTitle() { return TextAt(815, 310, 410, 50); }
    std::wstring LibraryDetailBody() { return TextAt(818, 415, 400, 50); }

    // The sample game (a real program that records how it was started)
    // as the product's executable, and as a Worker stand-in that never
    // reports and stays until the test ends it.
    void InstallSampleGame(const std::string &install_dir);
    void InstallWorkerStandIn();
    // The text viewer of this prefix: the sample game in "viewer", which
    // records the file it was asked to open. Put back on TearDown.
    void RegisterTextViewer();
    std::wstring viewer_;
    bool viewer_registered_ = false;
    std::wstring saved_txt_class_;

    // Runs the shipped Worker for the product from a scratch install beside
    // the Shell's (its manifest out of reach) and returns its statuses.
    Statuses RunWorkerJob(const std::string &id);

    std::wstring pick_file_;
};

}  // namespace orv_test
