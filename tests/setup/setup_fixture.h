// The real Setup process in a scratch user profile of the test prefix
// (LOCALAPPDATA, APPDATA, TEMP and the Desktop folder point into a scratch
// folder): starting it, finding its window and boxes, reading back the
// files, registry values and shortcuts it leaves, and the PowerShell
// stand-in's record of what it was asked to run.
#pragma once
#include <gtest/gtest.h>

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include "layout_reader.h"
#include "shell_probe.h"
#include "test_support.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace orv_setup_test {

namespace fs = std::filesystem;
using namespace orv_test;
using orv_probe::ControlInfo;

constexpr wchar_t kSetupClass[] = L"ORVELANT_LAUNCHER_SETUP_V07";
constexpr wchar_t kSetupCaption[] = L"ORVELANT Launcher Setup";
constexpr wchar_t kUninstallKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ORVELANT Launcher";
constexpr wchar_t kShellFoldersKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
inline const std::string kUpdateHost = ORV_TEST_UPDATE_HOST;

inline std::wstring SetupExe() { return BinDir() + L"\\ORVELANT_Launcher_Setup_v1.0.0.exe"; }
// The layout tables the built Setup and Shell carry.
inline const UiWindowTable &SetupTable() { return orv_probe::RequireProgramLayoutTable(SetupExe()); }
inline const UiWindowTable &ShellTable() {
    return orv_probe::RequireProgramLayoutTable(BinDir() + L"\\ORVELANT Launcher.exe");
}

inline std::string CompletionText(const std::string &word) {
    return "ORVELANT Launcher の" + word +
           "が完了しました。\n\nGame LibraryはLauncher本体と分離され、複数タイトルを管理できる構成になりました。\n\n今すぐ起動しますか？";
}

struct Process {
    HANDLE handle = nullptr;
    DWORD pid = 0;
    DWORD started = 0;
    ~Process() {
        if (!handle) return;
        if (WaitForSingleObject(handle, 0) == WAIT_TIMEOUT) TerminateProcess(handle, 9);
        CloseHandle(handle);
    }
    DWORD Wait(DWORD timeout_ms = 30000) {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(handle, timeout_ms)) << "still running";
        DWORD code = 259;
        GetExitCodeProcess(handle, &code);
        return code;
    }
    bool Running() { return WaitForSingleObject(handle, 0) == WAIT_TIMEOUT; }
};

inline void StartProcess(Process &p, const std::wstring &application, const std::wstring &command_line,
                  const std::wstring &directory = L"") {
    std::vector<wchar_t> line(command_line.begin(), command_line.end());
    line.push_back(0);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    p.started = GetTickCount();
    ASSERT_TRUE(CreateProcessW(application.empty() ? nullptr : application.c_str(), line.data(),
                               nullptr, nullptr, FALSE, 0, nullptr,
                               directory.empty() ? nullptr : directory.c_str(), &si, &pi))
        << Narrow(command_line) << " error " << GetLastError();
    CloseHandle(pi.hThread);
    p.handle = pi.hProcess;
    p.pid = pi.dwProcessId;
}

inline std::wstring RegText(HKEY root, const wchar_t *key, const wchar_t *name, DWORD *type = nullptr,
                     DWORD *bytes_out = nullptr) {
    wchar_t data[2048] = {};
    DWORD bytes = sizeof(data) - 2, t = 0;
    HKEY k;
    if (RegOpenKeyExW(root, key, 0, KEY_READ, &k) != ERROR_SUCCESS) return L"<no key>";
    LONG rc = RegQueryValueExW(k, name, nullptr, &t, (BYTE *)data, &bytes);
    RegCloseKey(k);
    if (rc != ERROR_SUCCESS) return L"<no value>";
    if (type) *type = t;
    if (bytes_out) *bytes_out = bytes;
    return data;
}

inline std::vector<std::wstring> RegValueNames(const wchar_t *key) {
    std::vector<std::wstring> names;
    HKEY k;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, key, 0, KEY_READ, &k) != ERROR_SUCCESS) return names;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD n = 256;
        if (RegEnumValueW(k, i, name, &n, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.push_back(name);
    }
    RegCloseKey(k);
    return names;
}

inline bool KeyExists(const wchar_t *key) {
    HKEY k;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, key, 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
    RegCloseKey(k);
    return true;
}

struct Shortcut {
    bool loaded = false;
    std::wstring target, directory, description, icon;
    int icon_index = -1;
};

inline Shortcut ReadShortcut(const std::wstring &path) {
    Shortcut s;
    IShellLinkW *link = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                (void **)&link)))
        return s;
    IPersistFile *file = nullptr;
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, (void **)&file))) {
        if (SUCCEEDED(file->Load(path.c_str(), STGM_READ))) {
            wchar_t buffer[MAX_PATH] = {};
            s.loaded = true;
            link->GetPath(buffer, MAX_PATH, nullptr, SLGP_RAWPATH);
            s.target = buffer;
            link->GetWorkingDirectory(buffer, MAX_PATH);
            s.directory = buffer;
            link->GetDescription(buffer, MAX_PATH);
            s.description = buffer;
            link->GetIconLocation(buffer, MAX_PATH, &s.icon_index);
            s.icon = buffer;
        }
        file->Release();
    }
    link->Release();
    return s;
}

// Every file under dir (relative name -> bytes), folders as "<dir>". The
// logs of the Shell and the Worker started meanwhile are left out, and so is
// the sync Worker's memory of document serials, which a sync still ending
// after its Shell closed may write at any moment.
inline std::map<std::wstring, std::string> Snapshot(const std::wstring &dir) {
    std::map<std::wstring, std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(fs::path(dir), ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::wstring rel = fs::relative(it->path(), fs::path(dir)).wstring();
        if (rel.rfind(L"logs\\", 0) == 0) continue;
        if (rel.rfind(L"trusted-serials.txt", 0) == 0) continue;
        out[rel] = it->is_directory() ? std::string("<dir>") : ReadFileBytes(it->path().wstring());
    }
    return out;
}

// Names whose presence or bytes differ between two snapshots.
inline std::string Differences(const std::map<std::wstring, std::string> &a,
                        const std::map<std::wstring, std::string> &b) {
    std::string out;
    for (auto &entry : a) {
        auto it = b.find(entry.first);
        if (it == b.end() || it->second != entry.second) out += " " + Narrow(entry.first);
    }
    for (auto &entry : b)
        if (!a.count(entry.first)) out += " +" + Narrow(entry.first);
    return out;
}

inline bool WaitFor(const std::function<bool()> &condition, DWORD timeout_ms) {
    DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > timeout_ms) return false;
        Sleep(50);
    }
    return true;
}

class SetupTest : public ::testing::Test {
protected:
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        SettingsGuard::Clear();
        RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKey);
        root_ = FreshScratchDir();
        local_ = root_ + L"\\profile\\AppData\\Local";
        roaming_ = root_ + L"\\profile\\AppData\\Roaming";
        desktop_ = root_ + L"\\profile\\Desktop";
        temp_ = local_ + L"\\Temp";
        start_menu_ = roaming_ + L"\\Microsoft\\Windows\\Start Menu\\Programs";
        for (const std::wstring &d : {local_, desktop_, temp_, start_menu_}) MakeDirs(d);
        install_ = local_ + L"\\Programs\\ORVELANT Launcher";
        library_ = local_ + L"\\ORVELANT\\Games";
        record_ = root_ + L"\\powershell-record.txt";
        env_.Set(L"LOCALAPPDATA", local_.c_str());
        env_.Set(L"APPDATA", roaming_.c_str());
        env_.Set(L"TEMP", temp_.c_str());
        env_.Set(L"ORV_POWERSHELL_RECORD", record_.c_str());
        saved_desktop_ = RegText(HKEY_CURRENT_USER, kShellFoldersKey, L"Desktop", &desktop_type_);
        HKEY k;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, kShellFoldersKey, 0, nullptr, 0,
                                                 KEY_WRITE, nullptr, &k, nullptr));
        RegSetValueExW(k, L"Desktop", 0, REG_EXPAND_SZ, (const BYTE *)desktop_.c_str(),
                       (DWORD)(desktop_.size() + 1) * 2);
        RegCloseKey(k);
    }

    void TearDown() override {
        CloseShells();
        HKEY k;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, kShellFoldersKey, 0, KEY_WRITE, &k) == ERROR_SUCCESS) {
            if (saved_desktop_[0] == L'<')
                RegDeleteValueW(k, L"Desktop");
            else
                RegSetValueExW(k, L"Desktop", 0, desktop_type_, (const BYTE *)saved_desktop_.c_str(),
                               (DWORD)(saved_desktop_.size() + 1) * 2);
            RegCloseKey(k);
        }
        RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKey);
        SettingsGuard::Clear();
        CoUninitialize();
    }

    std::wstring In(const std::wstring &name) { return install_ + L"\\" + name; }

    void StartSetup(Process &p, const std::wstring &args = L"",
                    const std::wstring &exe = L"") {
        std::wstring program = exe.empty() ? SetupExe() : exe;
        StartProcess(p, program, L"\"" + program + L"\"" + (args.empty() ? L"" : L" " + args));
    }

    HWND SetupWindow(Process &p) {
        HWND w = orv_probe::FindTopLevelWindow(kSetupClass, p.pid, 20000);
        EXPECT_NE(nullptr, w) << "no Setup window";
        return w;
    }

    // The next box of process pid: its caption and text, answered with button.
    std::string Answer(DWORD pid, int button, std::string *caption = nullptr) {
        HWND box = orv_probe::FindMessageBox(pid, 20000);
        if (!box) {
            ADD_FAILURE() << "no message box";
            return "";
        }
        std::string text = Narrow(orv_probe::MessageBoxText(box));
        if (caption) *caption = Narrow(orv_probe::MessageBoxCaption(box));
        EXPECT_TRUE(orv_probe::AnswerMessageBox(box, button)) << text;
        return text;
    }

    void Click(HWND window, int id) {
        ASSERT_TRUE(PostMessageW(window, WM_COMMAND, MAKEWPARAM(id, 0), 0));
    }

    // Starts the installed Shell as the shortcut would and waits for its window.
    HWND StartInstalledShell(Process &p) {
        StartProcess(p, In(L"ORVELANT Launcher.exe"), L"\"" + In(L"ORVELANT Launcher.exe") + L"\"",
                     install_);
        HWND w = orv_probe::FindShellWindow(p.pid, 20000);
        EXPECT_NE(nullptr, w);
        return w;
    }

    // Closes every Shell window of the test prefix and waits until the
    // installed programs are free again (the Shell's sync Worker included).
    void CloseShells() {
        for (int round = 0; round < 20; ++round) {
            HWND w = FindWindowW(L"ORVELANT_LAUNCHER_SHELL_V10", nullptr);
            if (!w) break;
            DWORD pid = orv_probe::WindowProcessId(w);
            HANDLE h = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid);
            PostMessageW(w, WM_CLOSE, 0, 0);
            if (h) {
                if (WaitForSingleObject(h, 10000) != WAIT_OBJECT_0) TerminateProcess(h, 9);
                WaitForSingleObject(h, 5000);
                CloseHandle(h);
            }
        }
        // A closed Shell's sync Worker may still run and hold its program.
        WaitFor([&] { auto s = Syncs(); return s.first == s.second; }, 30000);
        WaitFor([&] { return ProgramsFree(); }, 15000);
    }

    // Sync Workers started and ended so far, from the Worker's log.
    std::pair<size_t, size_t> Syncs() {
        std::string log = ReadFileBytes(In(L"logs\\updater.log"));
        auto count = [&](const char *line) {
            size_t n = 0;
            for (size_t at = 0; (at = log.find(line, at)) != std::string::npos; ++at) ++n;
            return n;
        };
        return {count("Sync worker started"),
                count("Signed sync completed") + count("Signed sync unavailable")};
    }

    // A running program keeps its file from being renamed (Wine as
    // Windows): each program is moved aside and back.
    bool ProgramsFree() {
        for (const wchar_t *name : {L"ORVELANT Launcher.exe", L"ORVELANT Update Worker.exe"}) {
            std::wstring path = In(name);
            if (!PathIsFile(path)) continue;
            std::wstring aside = path + L".in-use-probe";
            if (!MoveFileExW(path.c_str(), aside.c_str(), 0)) return false;
            MoveFileExW(aside.c_str(), path.c_str(), 0);
        }
        return true;
    }

    // The Setup does not wait for the Shell it starts: its window comes later.
    void CloseStartedShell() {
        EXPECT_TRUE(orv_probe::FindShellWindow(0, 20000)) << "the installed Shell did not start";
        CloseShells();
    }

    std::string Record() { return ReadFileBytes(record_); }

    // The silent update into the scratch profile; closes the Shell it starts.
    void SilentInstall() {
        Process p;
        StartSetup(p, L"/silent-update");
        ASSERT_EQ(0u, p.Wait());
        CloseStartedShell();
    }

    void ExpectUninstallEntry() {
        const wchar_t *k = kUninstallKey;
        std::vector<std::wstring> expected = {L"DisplayName", L"DisplayVersion", L"Publisher",
                                              L"InstallLocation", L"DisplayIcon",
                                              L"UninstallString", L"NoModify", L"NoRepair"};
        std::vector<std::wstring> names = RegValueNames(k);
        std::sort(names.begin(), names.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(expected, names);
        DWORD type = 0, bytes = 0;
        EXPECT_EQ(L"ORVELANT Launcher", RegText(HKEY_CURRENT_USER, k, L"DisplayName", &type, &bytes));
        EXPECT_EQ((DWORD)REG_SZ, type);
        EXPECT_EQ((DWORD)((17 + 1) * 2), bytes);
        EXPECT_EQ(L"1.0.0", RegText(HKEY_CURRENT_USER, k, L"DisplayVersion"));
        EXPECT_EQ(L"ORVELANT", RegText(HKEY_CURRENT_USER, k, L"Publisher"));
        EXPECT_EQ(install_, RegText(HKEY_CURRENT_USER, k, L"InstallLocation", &type, &bytes));
        EXPECT_EQ((DWORD)((install_.size() + 1) * 2), bytes);
        EXPECT_EQ(install_ + L"\\assets\\origin-core.ico",
                  RegText(HKEY_CURRENT_USER, k, L"DisplayIcon"));
        EXPECT_EQ(L"\"" + install_ + L"\\Uninstall.exe\" /uninstall",
                  RegText(HKEY_CURRENT_USER, k, L"UninstallString", &type));
        EXPECT_EQ((DWORD)REG_SZ, type);
        for (const wchar_t *name : {L"NoModify", L"NoRepair"}) {
            DWORD value = 0, n = sizeof(value), t = 0;
            HKEY key;
            ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, k, 0, KEY_READ, &key));
            EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, name, nullptr, &t, (BYTE *)&value, &n));
            RegCloseKey(key);
            EXPECT_EQ((DWORD)REG_DWORD, t);
            EXPECT_EQ(1u, value);
        }
    }

    void ExpectShortcuts() {
        std::wstring links[2] = {desktop_ + L"\\ORVELANT Launcher.lnk",
                                 start_menu_ + L"\\ORVELANT Launcher.lnk"};
        for (const std::wstring &link : links) {
            ASSERT_TRUE(WaitFor([&] { return ReadShortcut(link).loaded; }, 15000))
                << Narrow(link) << " not made";
            Shortcut s = ReadShortcut(link);
            EXPECT_EQ(In(L"ORVELANT Launcher.exe"), s.target);
            EXPECT_EQ(install_, s.directory);
            EXPECT_EQ(L"ORVELANT Launcher", s.description);
            EXPECT_EQ(In(L"assets\\origin-core.ico"), s.icon);
        }
    }

    void WriteCaches(const std::string &tag) {
        WriteFileBytes(In(L"catalog.json"), "{\"schema\":2,\"products\":[],\"tag\":\"" + tag + "\"}");
        WriteFileBytes(In(L"news.json"), "{\"schema\":1,\"items\":[],\"tag\":\"" + tag + "\"}");
        WriteFileBytes(In(L"control.json"), "{\"schema\":1,\"tag\":\"" + tag + "\"}");
    }

    std::wstring root_, local_, roaming_, desktop_, temp_, start_menu_, install_, library_,
        record_, saved_desktop_;
    DWORD desktop_type_ = REG_EXPAND_SZ;
    EnvGuard env_;
};

inline std::string Generated(const std::string &name) {
    return ReadFileBytes(Widen(std::string(ORV_TEST_DEFAULTS_DIR) + "\\" + name));
}

// The payload exactly as the build made it: programs, artwork, texts.
inline void ExpectPayload(const std::wstring &install, bool default_documents) {
    auto same = [&](const std::wstring &installed, const std::wstring &original) {
        bool ok1 = false, ok2 = false;
        std::string a = ReadFileBytes(install + L"\\" + installed, &ok1);
        std::string b = ReadFileBytes(original, &ok2);
        EXPECT_TRUE(ok1 && ok2) << Narrow(installed);
        EXPECT_TRUE(a == b) << Narrow(installed) << " differs from " << Narrow(original);
    };
    same(L"ORVELANT Launcher.exe", BinDir() + L"\\ORVELANT Launcher.exe");
    same(L"ORVELANT Update Worker.exe", BinDir() + L"\\ORVELANT Update Worker.exe");
    same(L"Uninstall.exe", SetupExe());
    // The root of trust the build embedded in the Worker.
    same(L"carried-root.json", BinDir() + L"\\..\\keys\\root-tree\\launcher\\root\\1.root.json");
    std::wstring assets = ORV_TEST_ASSETS_DIR;
    for (const wchar_t *name : {L"orvelant-wordmark.bmp", L"origin-core.bmp", L"origin-core.ico",
                                L"orvelant-wordmark-2x.bmp", L"origin-core-2x.bmp"})
        same(std::wstring(L"assets\\") + name, assets + L"\\" + name);
    EXPECT_EQ(54054u, ReadFileBytes(install + L"\\assets\\orvelant-wordmark.bmp").size());
    EXPECT_EQ(307254u, ReadFileBytes(install + L"\\assets\\origin-core.bmp").size());

    const std::string readme =
        "ORVELANT Launcher v1.0.0\r\n\r\n"
        "Multi-game Launcher + ORVELANT Console remote operations.\r\n"
        "HOME / STORE / LIBRARY / DOWNLOADS / SETTINGS.\r\n"
        "Catalog / News / Maintenance / Store visibility / Launcher update policy are remotely controlled.\r\n"
        "Library Search / Installed filter / Favorites.\r\n"
        "Download Queue + HTTP Range resume + isolated Update Worker.\r\n"
        "Game Library: %LOCALAPPDATA%\\ORVELANT\\Games\r\n\r\n"
        "Updater Core does not contain database credentials or payment secrets.\r\n";
    EXPECT_EQ(463u, readme.size());
    EXPECT_EQ(readme, ReadFileBytes(install + L"\\README.txt"));
    std::string config = ReadFileBytes(install + L"\\launcher_config.json");
    EXPECT_EQ(Generated("launcher_config.json"), config);
    EXPECT_EQ(0u, config.find("{\r\n  \"launcher_version\": \"1.0.0\",\r\n  \"channel\": \"stable\",\r\n"));
    EXPECT_NE(std::string::npos,
              config.find("  \"catalog_url\": \"https://" + kUpdateHost + "/launcher/catalog.json\",\r\n"));
    EXPECT_NE(std::string::npos, config.find("  \"signature_required\": true,\r\n"));
    const std::string config_end = "  \"purchase_adapter\": \"disabled\"\r\n}\r\n";
    EXPECT_EQ(config.size() - config_end.size(), config.rfind(config_end));
    if (!default_documents) return;
    EXPECT_EQ("{\r\n  \"schema\": 1,\r\n  \"items\": []\r\n}\r\n", ReadFileBytes(install + L"\\news.json"));
    std::string catalog = ReadFileBytes(install + L"\\catalog.json");
    EXPECT_EQ(Generated("catalog.json"), catalog);
    EXPECT_NE(std::string::npos, catalog.find("  \"products\": [\r\n    {\r\n      \"id\": \"first-title\",\r\n"));
    EXPECT_NE(std::string::npos, catalog.find("/business/games/\"\r\n    }\r\n  ]\r\n}\r\n"));
    std::string control = ReadFileBytes(install + L"\\control.json");
    EXPECT_EQ(Generated("control.json"), control);
    EXPECT_NE(std::string::npos,
              control.find("  \"installer_url\": \"https://" + kUpdateHost +
                           "/launcher/releases/v1.0.0/ORVELANT_Launcher_Setup_v1.0.0.exe\",\r\n"));
    EXPECT_EQ(std::string::npos, control.find("installer_sha256"));
}

}  // namespace orv_setup_test
