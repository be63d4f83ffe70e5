// A real Shell process in a scratch install directory, driven from outside:
// files and products set up before the start, the window found by class,
// controls read back, clicks posted as the WM_COMMAND they produce.
#pragma once

#include <gtest/gtest.h>

#include "shell_layout.h"
#include "shell_probe.h"
#include "test_support.h"

#include <string>
#include <vector>

namespace orv_test {

class ShellProcessTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    void Write(const std::wstring &name, const std::string &bytes);
    std::string Read(const std::wstring &name);
    void InstallAssets();
    // The shipped Worker beside the Shell, as the Setup leaves it.
    void InstallWorker();
    // A product in the Game Library as the Worker leaves it.
    void InstallProduct(const std::string &install_dir, const char *version, bool known_good);
    // Copies the program (the shipped Shell by default) into the install
    // directory as "ORVELANT Launcher.exe" and starts it there.
    void Start(const std::wstring &program = L"");
    void StartAndWait(const std::wstring &program = L"");
    // Starts the Shell already in the install directory, as a shortcut does
    // (spelt as given: another spelling of the same folder).
    HANDLE StartInstalled(DWORD *pid, const std::wstring &spelling = L"");
    DWORD WaitExit(DWORD timeout_ms = 15000);

    std::vector<orv_probe::ControlInfo> Controls();
    orv_probe::ControlInfo ById(int id);
    // The first control at that client rectangle (for controls without id).
    orv_probe::ControlInfo At(int x, int y, int w, int h);
    std::wstring Text(int id);
    std::wstring TextAt(int x, int y, int w, int h);
    // The control made from a row of the Shell's layout table (its index-th
    // for a list row), found at the row's rectangle; and its text.
    orv_probe::ControlInfo AtRow(int row, int index = 0);
    std::wstring RowText(int row, int index = 0);
    void Click(int id);
    void Search(const std::wstring &text);
    std::vector<std::wstring> VisibleLibraryRows();

    std::wstring dir_, local_, library_;
    EnvGuard env_;
    HANDLE process_ = nullptr;
    DWORD pid_ = 0;
    HWND window_ = nullptr;
};

bool SameRect(const orv_probe::ControlInfo &c, int id, int x, int y, int w, int h);
// The layout table the built Shell carries, read through its export (the
// test fails at once when it cannot be read).
const UiWindowTable &ShellTable();
// A row's rectangle as the Shell lays it out in that window (the index-th
// control of a list row; a fill at its full width).
RECT ShellRowRect(HWND main, int row, int index = 0);
// The layout DPI of a Shell window, from its outer size.
int ShellLayoutDpi(HWND main);
std::string Catalog(const std::vector<std::string> &products);
std::string Product(const std::string &id, const std::string &title,
                    const std::string &project = "");

}  // namespace orv_test
