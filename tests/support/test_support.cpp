#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace orv_test {

std::wstring BinDir() { return ORV_TEST_BIN_DIR; }
std::wstring TestBinDir() { return ORV_TEST_TESTBIN_DIR; }
std::wstring ScratchRoot() { return ORV_TEST_SCRATCH_DIR; }

std::wstring Widen(const std::string &s) {
    if (s.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), nullptr, 0);
    std::wstring out(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), &out[0], n);
    return out;
}

std::string FailedStepLine(const std::string &text, DWORD error, const std::wstring &path,
                           const std::wstring &other) {
    std::string line = text + " (error " + std::to_string(error) + ") " + Narrow(path);
    if (!other.empty()) line += " -> " + Narrow(other);
    return line + "\r\n";
}

std::string Narrow(const std::wstring &s) {
    if (s.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), (int)s.size(), nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, s.data(), (int)s.size(), &out[0], n, nullptr, nullptr);
    return out;
}

std::wstring FreshScratchDir(const std::wstring &suffix) {
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "global";
    for (char &c : name)
        if (c == '/' || c == '\\') c = '_';
    // One folder per test program too: the same test can run in several
    // programs (the per-program runtime tests) at the same time.
    wchar_t self[1024];
    GetModuleFileNameW(nullptr, self, 1024);
    std::wstring program = fs::path(self).stem().wstring();
    std::wstring dir = ScratchRoot() + L"\\" + program + L"\\" + Widen(name) + suffix;
    std::error_code ec;
    fs::remove_all(fs::path(dir), ec);
    fs::create_directories(fs::path(dir));
    return dir;
}

// Shares delete as well: the programs replace their files by renaming a new
// one over the old, and under Wine a read without that sharing that meets
// the rename fails (a sharing violation), which would read as an empty file.
std::string ReadFileBytes(const std::wstring &path, bool *ok) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (ok) *ok = file != INVALID_HANDLE_VALUE;
    std::string bytes;
    if (file == INVALID_HANDLE_VALUE) return bytes;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) bytes.append(buffer, got);
    CloseHandle(file);
    return bytes;
}

void WriteFileBytes(const std::wstring &path, const std::string &bytes) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(fs::path(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), (std::streamsize)bytes.size());
    ASSERT_TRUE((bool)out) << Narrow(path);
}

void MakeDirs(const std::wstring &path) { fs::create_directories(fs::path(path)); }

bool PathIsFile(const std::wstring &path) {
    DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool PathIsDir(const std::wstring &path) {
    DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

static const wchar_t kKey[] = L"Software\\ORVELANT\\Launcher";
static const wchar_t *const kValues[] = {L"LibraryRoot", L"BandwidthKbps", L"ParallelRequests"};

SettingsGuard::SettingsGuard() {
    HKEY key = nullptr;
    bool open = RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &key) == ERROR_SUCCESS;
    for (const wchar_t *name : kValues) {
        Saved s{name, false, 0, {}};
        DWORD bytes = 0;
        if (open && RegQueryValueExW(key, name, nullptr, &s.type, nullptr, &bytes) == ERROR_SUCCESS) {
            s.data.resize(bytes);
            if (RegQueryValueExW(key, name, nullptr, &s.type, s.data.data(), &bytes) == ERROR_SUCCESS)
                s.present = true;
        }
        saved_.push_back(s);
    }
    if (open) RegCloseKey(key);
    Clear();
}

SettingsGuard::~SettingsGuard() {
    Clear();
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return;
    for (const Saved &s : saved_)
        if (s.present)
            RegSetValueExW(key, s.name.c_str(), 0, s.type, s.data.data(), (DWORD)s.data.size());
    RegCloseKey(key);
}

void SettingsGuard::Clear() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_WRITE, &key) != ERROR_SUCCESS) return;
    for (const wchar_t *name : kValues) RegDeleteValueW(key, name);
    RegCloseKey(key);
}

void SettingsGuard::SetText(const wchar_t *name, const std::wstring &value, DWORD type) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_WRITE,
                                             nullptr, &key, nullptr));
    RegSetValueExW(key, name, 0, type, (const BYTE *)value.c_str(),
                   (DWORD)((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

void SettingsGuard::SetNumber(const wchar_t *name, DWORD value) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_WRITE,
                                             nullptr, &key, nullptr));
    RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE *)&value, sizeof(value));
    RegCloseKey(key);
}

void EnvGuard::Set(const wchar_t *name, const wchar_t *value) {
    wchar_t old[32768];
    DWORD n = GetEnvironmentVariableW(name, old, 32768);
    bool had = n > 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
    saved_.push_back({name, {had, had ? std::wstring(old, n) : std::wstring()}});
    SetEnvironmentVariableW(name, value);
}

EnvGuard::~EnvGuard() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it)
        SetEnvironmentVariableW(it->first.c_str(),
                                it->second.first ? it->second.second.c_str() : nullptr);
}

ChildRun RunChild(const std::wstring &exe, const std::wstring &args, const ChildOptions &options) {
    ChildRun run = RunChildProcess(exe, args, options);
    if (!run.error.empty()) ADD_FAILURE() << run.error;
    return run;
}

}  // namespace orv_test

namespace orv_test {

bool RunLinuxCommand(const std::string &command, const std::wstring &marker,
                     const std::string &unix_marker, DWORD timeout_ms) {
    DeleteFileW(marker.c_str());
    std::wstring line = L"/bin/sh -c \"" + Widen(command) + L" >/dev/null 2>&1; touch '" +
                        Widen(unix_marker) + L"'\"";
    std::vector<wchar_t> buffer(line.begin(), line.end());
    buffer.push_back(0);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(L"Z:\\bin\\sh", buffer.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &si, &pi))
        return false;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    for (DWORD waited = 0; waited < timeout_ms; waited += 50) {
        if (PathIsFile(marker)) {
            DeleteFileW(marker.c_str());
            return true;
        }
        Sleep(50);
    }
    return false;
}

}  // namespace orv_test
