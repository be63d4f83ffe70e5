// The real Setup process in a scratch user profile of the test prefix
// (LOCALAPPDATA, APPDATA, TEMP and the Desktop folder point into a scratch
// folder): its window driven from outside, its boxes answered, the files,
// registry values and shortcuts it leaves read back, and the PowerShell
// stand-in's record of what it was asked to run.
#include <gtest/gtest.h>

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include "shell_probe.h"
#include "test_support.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace orv_test;
using orv_probe::ControlInfo;

namespace {

const wchar_t kSetupClass[] = L"ORVELANT_LAUNCHER_SETUP_V07";
const wchar_t kSetupCaption[] = L"ORVELANT Launcher Setup";
const wchar_t kUninstallKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ORVELANT Launcher";
const wchar_t kShellFoldersKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
const std::string kUpdateHost = ORV_TEST_UPDATE_HOST;

std::wstring SetupExe() { return BinDir() + L"\\ORVELANT_Launcher_Setup_v1.0.0.exe"; }

std::string CompletionText(const std::string &word) {
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

void StartProcess(Process &p, const std::wstring &application, const std::wstring &command_line,
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
        << Narrow(command_line);
    CloseHandle(pi.hThread);
    p.handle = pi.hProcess;
    p.pid = pi.dwProcessId;
}

std::wstring RegText(HKEY root, const wchar_t *key, const wchar_t *name, DWORD *type = nullptr,
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

std::vector<std::wstring> RegValueNames(const wchar_t *key) {
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

bool KeyExists(const wchar_t *key) {
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

Shortcut ReadShortcut(const std::wstring &path) {
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
// logs of the Shell and the Worker started meanwhile are left out.
std::map<std::wstring, std::string> Snapshot(const std::wstring &dir) {
    std::map<std::wstring, std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(fs::path(dir), ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::wstring rel = fs::relative(it->path(), fs::path(dir)).wstring();
        if (rel.rfind(L"logs\\", 0) == 0) continue;
        out[rel] = it->is_directory() ? std::string("<dir>") : ReadFileBytes(it->path().wstring());
    }
    return out;
}

// Names whose presence or bytes differ between two snapshots.
std::string Differences(const std::map<std::wstring, std::string> &a,
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

bool WaitFor(const std::function<bool()> &condition, DWORD timeout_ms) {
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
        WaitFor([&] { return ProgramsFree(); }, 15000);
    }

    bool ProgramsFree() {
        for (const wchar_t *name : {L"ORVELANT Launcher.exe", L"ORVELANT Update Worker.exe"}) {
            std::wstring path = In(name);
            if (!PathIsFile(path)) continue;
            HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | DELETE, 0, nullptr, OPEN_EXISTING,
                                   0, nullptr);
            if (h == INVALID_HANDLE_VALUE) return false;
            CloseHandle(h);
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

std::string Generated(const std::string &name) {
    return ReadFileBytes(Widen(std::string(ORV_TEST_DEFAULTS_DIR) + "\\" + name));
}

// The payload exactly as the build made it: programs, artwork, texts.
void ExpectPayload(const std::wstring &install, bool default_documents) {
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
    std::wstring assets = ORV_TEST_ASSETS_DIR;
    for (const wchar_t *name : {L"orvelant-wordmark.bmp", L"origin-core.bmp", L"origin-core.ico"})
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

}  // namespace

// Install, update and reinstall through the window, with and without a
// running Shell, and what each leaves behind.
TEST_F(SetupTest, InstallUpdateReinstallThroughTheWindow) {
    // -- first install into the empty profile
    {
        Process setup;
        StartSetup(setup);
        HWND w = SetupWindow(setup);
        ASSERT_TRUE(w);
        std::vector<ControlInfo> controls = orv_probe::ListControls(w);
        ASSERT_TRUE(orv_probe::ControlById(controls, 2001));
        EXPECT_EQ(L"インストール", orv_probe::ControlById(controls, 2001)->text);
        EXPECT_FALSE(orv_probe::ControlById(controls, 2002));
        EXPECT_FALSE(orv_probe::ControlById(controls, 2003));
        // the badge reports no clicks
        bool badge = false;
        for (const ControlInfo &c : controls)
            if (c.text == L"USER INSTALL  //  管理者権限不要") {
                badge = true;
                EXPECT_EQ(0, c.id);
                EXPECT_EQ(0, c.style & SS_NOTIFY);
            }
        EXPECT_TRUE(badge);
        // the window's bitmaps, written for its images
        std::wstring tmp = temp_ + L"\\ORVELANT_Setup_1.0.0";
        EXPECT_EQ(ReadFileBytes(std::wstring(ORV_TEST_ASSETS_DIR) + L"\\orvelant-wordmark.bmp"),
                  ReadFileBytes(tmp + L"\\wordmark.bmp"));
        EXPECT_EQ(ReadFileBytes(std::wstring(ORV_TEST_ASSETS_DIR) + L"\\origin-core.bmp"),
                  ReadFileBytes(tmp + L"\\core.bmp"));
        // id 0 (badge, labels, images) does nothing; notifications do nothing
        Click(w, 0);
        PostMessageW(w, WM_COMMAND, MAKEWPARAM(2001, 1), 0);
        ASSERT_TRUE(orv_probe::WaitProcessed(w));
        EXPECT_FALSE(orv_probe::FindMessageBox(setup.pid, 300));
        EXPECT_FALSE(PathIsDir(install_));
        Click(w, 2001);
        std::string caption;
        EXPECT_EQ(CompletionText("インストール"), Answer(setup.pid, IDNO, &caption));
        EXPECT_EQ(Narrow(kSetupCaption), caption);
        EXPECT_EQ(0u, setup.Wait());
        EXPECT_FALSE(PathIsFile(tmp + L"\\wordmark.bmp"));
        EXPECT_FALSE(PathIsFile(tmp + L"\\core.bmp"));
        EXPECT_TRUE(PathIsDir(tmp));
        EXPECT_FALSE(FindWindowW(L"ORVELANT_LAUNCHER_SHELL_V10", nullptr)) << "No started a Shell";
    }
    std::map<std::wstring, std::string> after_install = Snapshot(install_);
    std::vector<std::wstring> names;
    for (auto &entry : after_install) names.push_back(entry.first);
    std::vector<std::wstring> expected = {
        L".orvelant-backup", L".orvelant-staging", L"ORVELANT Launcher.exe",
        L"ORVELANT Update Worker.exe", L"README.txt", L"Uninstall.exe", L"assets",
        L"assets\\origin-core.bmp", L"assets\\origin-core.ico", L"assets\\orvelant-wordmark.bmp",
        L"catalog.json", L"control.json", L"launcher_config.json", L"logs", L"news.json"};
    EXPECT_EQ(expected, names);
    EXPECT_TRUE(PathIsDir(library_));
    ExpectPayload(install_, true);
    ExpectUninstallEntry();
    ExpectShortcuts();

    // -- update: cached documents kept byte for byte, the rest replaced; Yes
    //    starts the installed Shell
    WriteCaches("update");
    std::map<std::wstring, std::string> caches = Snapshot(install_);
    WriteFileBytes(In(L"README.txt"), "old");
    WriteFileBytes(In(L"favorites.txt"), "first-title\r\n");
    {
        Process setup;
        StartSetup(setup);
        HWND w = SetupWindow(setup);
        ASSERT_TRUE(w);
        std::vector<ControlInfo> controls = orv_probe::ListControls(w);
        ASSERT_TRUE(orv_probe::ControlById(controls, 2002));
        EXPECT_EQ(L"アップデート  \x2014  推奨", orv_probe::ControlById(controls, 2002)->text);
        EXPECT_TRUE(orv_probe::ControlById(controls, 2003));
        EXPECT_FALSE(orv_probe::ControlById(controls, 2001));
        Click(w, 2002);
        EXPECT_EQ(CompletionText("アップデート"), Answer(setup.pid, IDYES));
        EXPECT_EQ(0u, setup.Wait());
    }
    for (const wchar_t *name : {L"catalog.json", L"news.json", L"control.json"})
        EXPECT_EQ(caches[name], ReadFileBytes(In(name))) << Narrow(name);
    EXPECT_EQ("first-title\r\n", ReadFileBytes(In(L"favorites.txt")));
    ExpectPayload(install_, false);
    ExpectUninstallEntry();
    HWND shell = orv_probe::FindShellWindow(0, 20000);
    ASSERT_TRUE(shell) << "Yes did not start the installed Shell";

    // -- update while that Shell runs: the box of the Shell's replacement,
    //    no temporary file left, the window stays for a second try
    {
        Process setup;
        StartSetup(setup);
        HWND w = SetupWindow(setup);
        ASSERT_TRUE(w);
        Click(w, 2002);
        std::string caption;
        EXPECT_EQ("既存Launcherを更新できませんでした。\n\nLauncherを終了してから再実行してください。",
                  Answer(setup.pid, IDOK, &caption));
        EXPECT_EQ(Narrow(kSetupCaption), caption);
        EXPECT_FALSE(PathIsFile(In(L"ORVELANT Launcher.new")));
        EXPECT_TRUE(setup.Running());
        EXPECT_TRUE(IsWindow(w));
        CloseShells();
        Click(w, 2002);
        EXPECT_EQ(CompletionText("アップデート"), Answer(setup.pid, IDNO));
        EXPECT_EQ(0u, setup.Wait());
    }
    ExpectPayload(install_, false);

    // -- reinstall while a Shell runs: box of the removal, nothing changed;
    //    No to the question does nothing; then a real reinstall
    WriteCaches("reinstall");
    Process running;
    ASSERT_TRUE(StartInstalledShell(running));
    {
        Process setup;
        StartSetup(setup);
        HWND w = SetupWindow(setup);
        ASSERT_TRUE(w);
        std::map<std::wstring, std::string> before = Snapshot(install_);
        Click(w, 2003);
        EXPECT_EQ("既存Launcher Coreを削除して再インストールします。\n\nGame LibraryとSaveは削除しません。続行しますか？",
                  Answer(setup.pid, IDYES));
        EXPECT_EQ("既存ランチャーを削除できませんでした。\n\nORVELANT Launcher が起動中の場合は終了してから再実行してください。",
                  Answer(setup.pid, IDOK));
        std::map<std::wstring, std::string> after = Snapshot(install_);
        EXPECT_EQ("", Differences(before, after)) << "a failed reinstall changed these";
        CloseShells();
        Click(w, 2003);
        Answer(setup.pid, IDNO);
        ASSERT_TRUE(orv_probe::WaitProcessed(w));
        EXPECT_FALSE(orv_probe::FindMessageBox(setup.pid, 300)) << "No went on";
        EXPECT_EQ("{\"schema\":1,\"tag\":\"reinstall\"}", ReadFileBytes(In(L"control.json")));
        Click(w, 2003);
        Answer(setup.pid, IDYES);
        EXPECT_EQ(CompletionText("再インストール"), Answer(setup.pid, IDNO));
        EXPECT_EQ(0u, setup.Wait());
    }
    ExpectPayload(install_, true);  // the cached documents are the defaults again
    EXPECT_EQ("first-title\r\n", ReadFileBytes(In(L"favorites.txt")));  // list files kept
    EXPECT_TRUE(PathIsFile(In(L"logs\\launcher.log")));
    ExpectUninstallEntry();
    ExpectShortcuts();
    std::string record = Record();
    EXPECT_EQ(std::string::npos, record.find("REFUSED")) << record;
    EXPECT_NE(std::string::npos, record.find("ACCEPTED shortcut-creation")) << record;
}

// The switch rules and the wait of the silent update, its failures, and the
// Worker program never left cut by a failed write.
TEST_F(SetupTest, SilentUpdateSwitchesWaitAndFailures) {
    SilentInstall();
    ExpectPayload(install_, true);
    ExpectUninstallEntry();
    ExpectShortcuts();
    std::wstring standin = Widen(ORV_TEST_TOOLS_DIR) + L"\\shell-standin.exe";

    // both switches: the uninstall wins; No changes nothing
    std::map<std::wstring, std::string> installed = Snapshot(install_);
    {
        Process p;
        StartSetup(p, L"/silent-update /uninstall");
        std::string caption;
        EXPECT_EQ("ORVELANT Launcher をアンインストールします。\n\n続行しますか？",
                  Answer(p.pid, IDNO, &caption));
        EXPECT_EQ("ORVELANT Launcher Uninstall", caption);
        EXPECT_EQ(0u, p.Wait());
        EXPECT_FALSE(orv_probe::FindMessageBox(0, 300));
    }
    Sleep(1500);  // a removal would have started by now
    EXPECT_EQ("", Differences(installed, Snapshot(install_)));
    EXPECT_TRUE(KeyExists(kUninstallKey));

    // mixed-case silent update with a capital wait switch naming a running
    // process: the wait switch is not seen, so the update does not wait for it
    {
        Process other;
        StartProcess(other, standin, L"\"" + standin + L"\"");
        DeleteFileW(In(L"README.txt").c_str());
        Process p;
        StartSetup(p, L"/SiLeNt-UpDaTe /WAITPID:" + std::to_wstring(other.pid));
        EXPECT_EQ(0u, p.Wait(20000));
        EXPECT_GE(GetTickCount() - p.started, 900u) << "no 900 ms pause";
        EXPECT_TRUE(other.Running());
        EXPECT_TRUE(PathIsFile(In(L"README.txt")));
        TerminateProcess(other.handle, 0);
        CloseStartedShell();
    }
    // no digits, and a process that has already ended: no wait, still the pause
    Process ended;
    StartProcess(ended, standin, L"\"" + standin + L"\"");
    TerminateProcess(ended.handle, 0);
    WaitForSingleObject(ended.handle, 5000);
    for (const std::wstring &args : {std::wstring(L"/silent-update /waitpid:"),
                                     L"/silent-update /waitpid:" + std::to_wstring(ended.pid)}) {
        Process p;
        StartSetup(p, args);
        EXPECT_EQ(0u, p.Wait(20000)) << Narrow(args);
        EXPECT_GE(GetTickCount() - p.started, 900u) << Narrow(args);
        CloseStartedShell();
    }
    // a running process named by "/waitpid:": nothing is written until it ends
    {
        Process other;
        StartProcess(other, standin, L"\"" + standin + L"\"");
        DeleteFileW(In(L"README.txt").c_str());
        Process p;
        StartSetup(p, L"/silent-update /waitpid:" + std::to_wstring(other.pid));
        EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(p.handle, 3000));
        EXPECT_FALSE(PathIsFile(In(L"README.txt"))) << "installed before the process ended";
        TerminateProcess(other.handle, 0);
        EXPECT_EQ(0u, p.Wait(20000));
        EXPECT_TRUE(PathIsFile(In(L"README.txt")));
        CloseStartedShell();
    }

    // the Shell's temporary file cannot be written: the box without owner,
    // exit code 2, no Shell started
    {
        MakeDirs(In(L"ORVELANT Launcher.new"));
        Process p;
        StartSetup(p, L"/silent-update");
        HWND box = orv_probe::FindMessageBox(p.pid, 20000);
        ASSERT_TRUE(box);
        EXPECT_EQ(nullptr, GetWindow(box, GW_OWNER));
        EXPECT_EQ("Launcher Shellを書き込めませんでした。", Narrow(orv_probe::MessageBoxText(box)));
        EXPECT_TRUE(orv_probe::AnswerMessageBox(box, IDOK));
        EXPECT_EQ(2u, p.Wait());
        EXPECT_FALSE(orv_probe::FindShellWindow(0, 1000));
        RemoveDirectoryW(In(L"ORVELANT Launcher.new").c_str());
    }
    // the new Worker cannot be written (its temporary file is locked): the
    // old Worker program stays whole, no box, exit code 2
    {
        const std::string old_worker = ReadFileBytes(In(L"ORVELANT Update Worker.exe"));
        HANDLE lock = CreateFileW(In(L"ORVELANT Update Worker.new").c_str(), GENERIC_WRITE, 0,
                                  nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, lock);
        Process p;
        StartSetup(p, L"/silent-update");
        EXPECT_EQ(2u, p.Wait());
        EXPECT_FALSE(orv_probe::FindMessageBox(0, 300));
        CloseHandle(lock);
        EXPECT_EQ(old_worker, ReadFileBytes(In(L"ORVELANT Update Worker.exe")));
        DeleteFileW(In(L"ORVELANT Update Worker.new").c_str());
    }
    // and after it, a good silent update leaves no temporary file at all
    SilentInstall();
    EXPECT_FALSE(PathIsFile(In(L"ORVELANT Update Worker.new")));
    EXPECT_FALSE(PathIsFile(In(L"ORVELANT Launcher.new")));
    ExpectPayload(install_, true);
    EXPECT_EQ(std::string::npos, Record().find("REFUSED")) << Record();
}

// The uninstall through the entry's own command: No; Yes then No (library
// kept); Yes then Yes after a library move (the default library removed,
// the moved one and the settings key kept).
TEST_F(SetupTest, UninstallAnswers) {
    SilentInstall();
    MakeDirs(library_ + L"\\first-title");
    WriteFileBytes(library_ + L"\\first-title\\ORVELANT.exe", "MZ game");
    std::wstring uninstall = RegText(HKEY_CURRENT_USER, kUninstallKey, L"UninstallString");
    ASSERT_EQ(L"\"" + install_ + L"\\Uninstall.exe\" /uninstall", uninstall);
    std::map<std::wstring, std::string> installed = Snapshot(install_);
    {
        Process p;
        StartProcess(p, L"", uninstall);
        Answer(p.pid, IDNO);
        EXPECT_EQ(0u, p.Wait());
    }
    Sleep(1500);
    EXPECT_EQ("", Differences(installed, Snapshot(install_)));
    EXPECT_TRUE(KeyExists(kUninstallKey));
    EXPECT_TRUE(PathIsFile(desktop_ + L"\\ORVELANT Launcher.lnk"));

    {
        Process p;
        StartProcess(p, L"", uninstall);
        Answer(p.pid, IDYES);
        std::string caption;
        EXPECT_EQ("インストール済みゲームも削除しますか？\n\n[はい] Launcher + Game Library を削除\n"
                  "[いいえ] Launcherだけ削除し、Game Libraryを保持\n\nセーブデータはどちらでも削除しません。",
                  Answer(p.pid, IDNO, &caption));
        EXPECT_EQ("ORVELANT Launcher Uninstall", caption);
        EXPECT_EQ("Launcherの削除を開始しました。\nGame Libraryとセーブデータは保持されます。",
                  Answer(p.pid, IDOK, &caption));
        EXPECT_EQ("ORVELANT Launcher", caption);
        EXPECT_EQ(0u, p.Wait());
    }
    EXPECT_TRUE(WaitFor([&] { return !PathIsDir(install_); }, 15000)) << "install directory stays";
    EXPECT_FALSE(KeyExists(kUninstallKey));
    EXPECT_TRUE(WaitFor([&] { return !PathIsFile(desktop_ + L"\\ORVELANT Launcher.lnk") &&
                                     !PathIsFile(start_menu_ + L"\\ORVELANT Launcher.lnk"); },
                        10000));
    EXPECT_EQ("MZ game", ReadFileBytes(library_ + L"\\first-title\\ORVELANT.exe"));

    // after a library move
    SilentInstall();
    std::wstring moved = root_ + L"\\MovedLibrary";
    MakeDirs(moved + L"\\first-title");
    WriteFileBytes(moved + L"\\first-title\\ORVELANT.exe", "MZ moved");
    SettingsGuard::SetText(L"LibraryRoot", moved);
    SettingsGuard::SetNumber(L"BandwidthKbps", 2048);
    {
        Process p;
        StartProcess(p, L"", uninstall);
        Answer(p.pid, IDYES);
        Answer(p.pid, IDYES);
        EXPECT_EQ("LauncherとGame Libraryの削除を開始しました。\nセーブデータは保持されます。",
                  Answer(p.pid, IDOK));
        EXPECT_EQ(0u, p.Wait());
    }
    EXPECT_TRUE(WaitFor([&] { return !PathIsDir(install_) && !PathIsDir(library_); }, 15000));
    EXPECT_TRUE(PathIsDir(local_ + L"\\ORVELANT"));  // only "Games" under it goes
    EXPECT_EQ("MZ moved", ReadFileBytes(moved + L"\\first-title\\ORVELANT.exe"));
    EXPECT_EQ(moved, RegText(HKEY_CURRENT_USER, L"Software\\ORVELANT\\Launcher", L"LibraryRoot"));
    EXPECT_FALSE(KeyExists(kUninstallKey));
    std::string record = Record();
    EXPECT_EQ(std::string::npos, record.find("REFUSED")) << record;
    EXPECT_NE(std::string::npos, record.find("ACCEPTED shortcut-removal")) << record;
    EXPECT_NE(std::string::npos, record.find("ACCEPTED launcher-removal")) << record;
    EXPECT_NE(std::string::npos, record.find("ACCEPTED launcher-and-library-removal")) << record;
}

// The window's own start and end: the text wordmark when its bitmaps cannot
// be written, the bitmaps gone after Cancel, closing through the frame, and
// the exit codes of a failed start (test build).
TEST_F(SetupTest, WindowFallbackCancelCloseAndStartFailures) {
    std::wstring tmp = temp_ + L"\\ORVELANT_Setup_1.0.0";
    {
        Process p;
        StartSetup(p);
        HWND w = SetupWindow(p);
        ASSERT_TRUE(w);
        EXPECT_TRUE(PathIsFile(tmp + L"\\wordmark.bmp"));
        Click(w, 2004);
        EXPECT_EQ(0u, p.Wait());
        EXPECT_FALSE(PathIsFile(tmp + L"\\wordmark.bmp"));
        EXPECT_FALSE(PathIsFile(tmp + L"\\core.bmp"));
        EXPECT_TRUE(PathIsDir(tmp));
        EXPECT_FALSE(PathIsDir(install_)) << "Cancel installed something";
    }
    {
        Process p;
        StartSetup(p);
        HWND w = SetupWindow(p);
        ASSERT_TRUE(w);
        PostMessageW(w, WM_CLOSE, 0, 0);
        EXPECT_EQ(0u, p.Wait());
        EXPECT_FALSE(PathIsFile(tmp + L"\\wordmark.bmp"));
    }
    {
        // a file where the temporary folder should be: nothing can be written
        std::wstring blocked = root_ + L"\\not-a-folder";
        WriteFileBytes(blocked, "x");
        EnvGuard env;
        env.Set(L"TEMP", blocked.c_str());
        Process p;
        StartSetup(p);
        HWND w = SetupWindow(p);
        ASSERT_TRUE(w);
        std::vector<ControlInfo> controls = orv_probe::ListControls(w);
        int bitmaps = 0;
        for (const ControlInfo &c : controls)
            if ((c.style & SS_TYPEMASK) == SS_BITMAP) ++bitmaps;
        EXPECT_EQ(0, bitmaps);
        ASSERT_FALSE(controls.empty());
        EXPECT_EQ(L"ORVELANT", controls[0].text);
        EXPECT_EQ(450, controls[0].rect.left);
        EXPECT_EQ(48, controls[0].rect.top);
        EXPECT_EQ(360, controls[0].rect.right - controls[0].rect.left);
        EXPECT_EQ(52, controls[0].rect.bottom - controls[0].rect.top);
        Click(w, 2004);
        EXPECT_EQ(0u, p.Wait());
    }
    std::wstring hooks = TestBinDir() + L"\\setup-with-test-hooks.exe";
    {
        EnvGuard env;
        env.Set(L"ORV_TEST_SETUP_CLASS_TAKEN", L"1");
        Process p;
        StartSetup(p, L"", hooks);
        EXPECT_EQ(1u, p.Wait());
        EXPECT_TRUE(PathIsFile(tmp + L"\\wordmark.bmp")) << "bitmaps stay after a failed start";
    }
    {
        EnvGuard env;
        env.Set(L"ORV_TEST_SETUP_REFUSE_WINDOW", L"1");
        Process p;
        StartSetup(p, L"", hooks);
        EXPECT_EQ(2u, p.Wait());
    }
    EXPECT_FALSE(orv_probe::FindMessageBox(0, 300)) << "a failed start showed a box";
}
