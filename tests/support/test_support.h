// Helpers shared by the test programs: scratch folders, files, settings-key
// and environment guards, and running a program as a child of a test window.
#pragma once

#include <windows.h>

#include "child_process.h"

#include <string>
#include <utility>
#include <vector>

namespace orv_test {

// Wine paths of the build tree, from the build.
std::wstring BinDir();         // shipped programs
std::wstring TestBinDir();     // test builds of the programs
std::wstring ScratchRoot();

// A fresh, empty folder under the scratch root, named after the running test.
std::wstring FreshScratchDir(const std::wstring &suffix = L"");
std::string ReadFileBytes(const std::wstring &path, bool *ok = nullptr);
void WriteFileBytes(const std::wstring &path, const std::string &bytes);
void MakeDirs(const std::wstring &path);
bool PathIsFile(const std::wstring &path);
bool PathIsDir(const std::wstring &path);
std::wstring Widen(const std::string &s);
std::string Narrow(const std::wstring &s);
// The log line of a failed file or network step: the leading text, the
// Win32 error and the path (and the second path of a copy or rename).
std::string FailedStepLine(const std::string &text, DWORD error, const std::wstring &path,
                           const std::wstring &other = std::wstring());
// Runs a Linux shell command (Wine starts Linux programs by their Z: path)
// and waits until it has finished, as seen by the marker file it touches
// last: marker is its Wine path, unix_marker the same file for Linux.
bool RunLinuxCommand(const std::string &command, const std::wstring &marker,
                     const std::string &unix_marker, DWORD timeout_ms);

// Saves the settings key values on construction and puts them back after.
class SettingsGuard {
public:
    SettingsGuard();
    ~SettingsGuard();
    static void Clear();
    static void SetText(const wchar_t *name, const std::wstring &value, DWORD type = REG_SZ);
    static void SetNumber(const wchar_t *name, DWORD value);
private:
    struct Saved { std::wstring name; bool present; DWORD type; std::vector<BYTE> data; };
    std::vector<Saved> saved_;
};

// Sets (or, with a null value, removes) environment variables for this
// process and its children; restores them on destruction.
class EnvGuard {
public:
    void Set(const wchar_t *name, const wchar_t *value);
    ~EnvGuard();
private:
    std::vector<std::pair<std::wstring, std::pair<bool, std::wstring>>> saved_;
};

// RunChildProcess that fails the running test when the child cannot start.
ChildRun RunChild(const std::wstring &exe, const std::wstring &args,
                  const ChildOptions &options = ChildOptions());

}  // namespace orv_test
