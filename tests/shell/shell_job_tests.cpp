// The Shell acting as a player sees it, with the real Worker against the
// local update host: install, play after the update check, offline play,
// playtime, the queue with pause and bandwidth while a throttled download
// runs, a killed Worker, a catalog reload while a job waits, the launcher
// update (through a stand-in Setup) and the links the Shell opens.
#include "shell_fixture.h"
#include "update_host.h"

#include <tlhelp32.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

using namespace orv_test;

namespace {

const wchar_t kGameClass[] = L"ORVELANT_SAMPLE_GAME";

std::string GameProduct(const std::string &id, const std::string &title,
                        const std::string &manifest, const std::string &exe = "ORVELANT.exe",
                        const std::string &extra = "") {
    return "{\"id\": \"" + id + "\", \"title\": \"" + title + "\", \"install_dir\": \"" + id +
           "\", \"executable\": \"" + exe + "\", \"manifest_path\": \"" + manifest + "\"" + extra +
           "}";
}

int CountWindowsOfClass(const wchar_t *cls) {
    int count = 0;
    HWND w = nullptr;
    while ((w = FindWindowExW(nullptr, w, cls, nullptr)) != nullptr) ++count;
    return count;
}

bool WaitUntil(const std::function<bool()> &done, DWORD timeout_ms) {
    ULONGLONG start = GetTickCount64();
    while (!done()) {
        if (GetTickCount64() - start > timeout_ms) return false;
        Sleep(50);
    }
    return true;
}

// The Update Worker processes the Shell started.
std::vector<DWORD> WorkerChildren(DWORD shell_pid) {
    std::vector<DWORD> found;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return found;
    PROCESSENTRY32W e = {};
    e.dwSize = sizeof(e);
    for (BOOL ok = Process32FirstW(snap, &e); ok; ok = Process32NextW(snap, &e))
        if (e.th32ParentProcessID == shell_pid &&
            std::wstring(e.szExeFile).find(L"Update Worker") != std::wstring::npos)
            found.push_back(e.th32ProcessID);
    CloseHandle(snap);
    return found;
}

unsigned long long PlaytimeOf(const std::string &list, const std::string &id) {
    size_t at = list.find(id + "=");
    if (at == std::string::npos) return 0;
    return std::stoull(list.substr(at + id.size() + 1));
}

DWORD ReadSettingNumberForTest(const wchar_t *name) {
    DWORD value = 0xFFFFFFFF, size = sizeof(value);
    RegGetValueW(HKEY_CURRENT_USER, L"Software\\ORVELANT\\Launcher", name, RRF_RT_REG_DWORD,
                 nullptr, &value, &size);
    return value;
}

unsigned long long WriteTime(const std::wstring &path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return ((unsigned long long)data.ftLastWriteTime.dwHighDateTime << 32) |
           data.ftLastWriteTime.dwLowDateTime;
}

unsigned long long FileSize(const std::wstring &path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return ((unsigned long long)data.nFileSizeHigh << 32) | data.nFileSizeLow;
}

// The recorder as the prefix's handler of https links for the test's
// lifetime (Wine takes it from HKCR); the previous handler comes back after.
class HttpsHandler {
public:
    explicit HttpsHandler(const std::wstring &dir) : dir_(dir) {
        std::wstring exe = dir + L"\\open-recorder.exe";
        EXPECT_TRUE(CopyFileW((TestBinDir() + L"\\open-recorder.exe").c_str(), exe.c_str(), FALSE));
        wchar_t old[2048];
        DWORD size = sizeof(old);
        had_old_ = RegGetValueW(HKEY_CLASSES_ROOT, kKey, nullptr, RRF_RT_REG_SZ, nullptr, old,
                                &size) == ERROR_SUCCESS;
        if (had_old_) old_ = old;
        std::wstring command = L"\"" + exe + L"\" \"%1\"";
        EXPECT_EQ(ERROR_SUCCESS,
                  RegSetKeyValueW(HKEY_CLASSES_ROOT, kKey, nullptr, REG_SZ, command.c_str(),
                                  (DWORD)((command.size() + 1) * sizeof(wchar_t))));
    }
    ~HttpsHandler() {
        if (had_old_)
            RegSetKeyValueW(HKEY_CLASSES_ROOT, kKey, nullptr, REG_SZ, old_.c_str(),
                            (DWORD)((old_.size() + 1) * sizeof(wchar_t)));
        else
            RegDeleteTreeW(HKEY_CLASSES_ROOT, L"https\\shell\\open\\command");
    }
    // The targets the recorder was started with, sorted (the recorders
    // start side by side).
    std::vector<std::string> Opened() const {
        std::vector<std::string> targets;
        std::string text = ReadFileBytes(dir_ + L"\\opened.txt");
        size_t at = 0;
        while (at < text.size()) {
            size_t end = text.find("\r\n", at);
            if (end == std::string::npos) break;
            std::string line = text.substr(at, end - at);
            size_t close = line.find_last_of('"');
            size_t open = close == std::string::npos || close == 0 ? std::string::npos
                                                                   : line.find_last_of('"', close - 1);
            if (open != std::string::npos) targets.push_back(line.substr(open + 1, close - open - 1));
            at = end + 2;
        }
        std::sort(targets.begin(), targets.end());
        return targets;
    }

private:
    static constexpr const wchar_t *kKey = L"https\\shell\\open\\command";
    std::wstring dir_;
    std::wstring old_;
    bool had_old_ = false;
};

class ShellJobs : public ShellProcessTest {
protected:
    void SetUp() override {
        ShellProcessTest::SetUp();
        InstallWorker();
    }
    void TearDown() override {
        ShellProcessTest::TearDown();
        // Nothing a test started outlives it.
        for (HWND w; (w = FindWindowW(kGameClass, nullptr)) != nullptr;) {
            DWORD pid = 0;
            GetWindowThreadProcessId(w, &pid);
            HANDLE p = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
            if (!p) break;
            TerminateProcess(p, 9);
            WaitForSingleObject(p, 5000);
            CloseHandle(p);
        }
    }
    // Starts the Shell and waits for its start-up sync to give up (the host
    // serves no launcher documents).
    void StartShell() {
        Start();
        window_ = orv_probe::FindShellWindow(pid_, 20000);
        ASSERT_NE(nullptr, window_);
        ASSERT_TRUE(WaitUntil([&] { return Signal() == L"SIGNAL // LOCAL"; }, 30000));
        ASSERT_TRUE(orv_probe::WaitProcessed(window_));
    }
    // A real key press, and the id of the control that has the keyboard
    // focus afterwards.
    int PressKey(WPARAM key) { return orv_probe::PressKey(window_, key); }
    std::wstring Signal() { return RowText(ROW_SIGNAL_LABEL); }
    std::wstring Status() { return RowText(ROW_STATUS_LINE); }
    std::wstring Headline() { return RowText(ROW_DOWNLOADS_HEADLINE); }
    std::wstring QueueLine() { return RowText(ROW_DOWNLOADS_QUEUE_LINE); }
    std::wstring Detail() { return RowText(ROW_DOWNLOADS_DETAIL); }
    bool WaitStatus(const std::wstring &text, DWORD timeout_ms = 60000) {
        return WaitUntil([&] { return Status() == text; }, timeout_ms);
    }
    std::wstring ProductDir(const std::string &id) { return library_ + L"\\" + Widen(id); }
    std::string LaunchRecord(const std::string &id) {
        return ReadFileBytes(ProductDir(id) + L"\\launch-record.txt");
    }
    std::string ShellLog() { return Read(L"logs\\launcher.log"); }
    bool KillWorkers() {
        std::vector<DWORD> workers = WorkerChildren(pid_);
        for (DWORD pid : workers) {
            HANDLE p = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
            if (!p) return false;
            TerminateProcess(p, 7);
            WaitForSingleObject(p, 5000);
            CloseHandle(p);
        }
        return !workers.empty();
    }
    void ExpectNoBox(DWORD wait_ms = 800) {
        HWND box = orv_probe::FindMessageBox(pid_, wait_ms);
        EXPECT_EQ(nullptr, box) << Narrow(orv_probe::MessageBoxText(box));
        if (box) orv_probe::AnswerMessageBox(box);
    }
    // The text of the next message box; it is answered.
    std::wstring AnswerBox(std::wstring *caption = nullptr) {
        HWND box = orv_probe::FindMessageBox(pid_, 60000);
        if (!box) return L"<no box>";
        std::wstring text = orv_probe::MessageBoxText(box);
        if (caption) *caption = orv_probe::MessageBoxCaption(box);
        EXPECT_TRUE(orv_probe::AnswerMessageBox(box));
        return text;
    }
};

}  // namespace

// Install, then play: the update check runs first and the game starts with
// the launcher's command line in its folder; offline play; playtime of every
// run, two ending together; a game outlives the closed Shell.
TEST_F(ShellJobs, InstallThenPlayOfflinePlayAndPlaytime) {
    Write(L"catalog.json", Catalog({GameProduct("playable", "PLAYABLE", "/games/playable/manifest.json"),
                                    GameProduct("three", "THREE", "/games/three/manifest.json", "Game.exe")}));
    StartShell();
    // HOME from the keyboard: the focus starts on its first action; Tab
    // walks the page's actions, the header and the navigation in reading
    // order (the news rows shown), then wraps.
    EXPECT_EQ(1100, orv_probe::FocusedId(window_));
    std::vector<int> expected = {1101};
    for (int id = 2200; id < 2203; ++id)
        if (ById(id).visible) expected.push_back(id);
    for (int id : {1010, 1001, 1002, 1003, 1004, 1005, 1100}) expected.push_back(id);
    std::vector<int> order;
    for (size_t i = 0; i < expected.size(); ++i) order.push_back(PressKey(VK_TAB));
    EXPECT_EQ(expected, order);
    Click(1003);
    EXPECT_EQ(L"INSTALL", Text(1300));

    // Not installed: an install job without launch-after, DOWNLOADS shown.
    Click(1300);
    EXPECT_TRUE(ById(1350).visible);
    EXPECT_FALSE(ById(1300).visible);
    ASSERT_TRUE(WaitStatus(L"READY // CURRENT")) << Narrow(Status());
    ASSERT_TRUE(orv_probe::WaitProcessed(window_));
    EXPECT_TRUE(PathIsFile(ProductDir("playable") + L"\\.orvelant-known-good"));
    Sleep(500);
    EXPECT_FALSE(PathIsFile(ProductDir("playable") + L"\\launch-record.txt"));
    EXPECT_EQ(0, CountWindowsOfClass(kGameClass));
    EXPECT_EQ(L"NO ACTIVE DOWNLOADS", Headline());
    EXPECT_EQ(L"QUEUE // IDLE", QueueLine());

    // Installed: check, then the game online; PLAY reached with Tab and
    // run with Enter.
    Click(1003);
    EXPECT_EQ(L"PLAY", Text(1300));
    int focused = 0;
    for (int i = 0; i < 20 && focused != 1300; ++i) focused = PressKey(VK_TAB);
    ASSERT_EQ(1300, focused);
    PressKey(VK_RETURN);
    ASSERT_TRUE(WaitUntil([&] { return !LaunchRecord("playable").empty(); }, 60000));
    EXPECT_EQ(L"READY // CURRENT", Status());
    EXPECT_TRUE(ById(1300).visible);  // the LIBRARY page stays
    std::string dir = Narrow(ProductDir("playable"));
    std::string record = LaunchRecord("playable");
    EXPECT_NE(std::string::npos,
              record.find("command_line=\"" + dir + "\\ORVELANT.exe\" --launcher-version=1.0.0\r\n"))
        << record;
    EXPECT_NE(std::string::npos, record.find("working_directory=" + dir + "\r\n")) << record;
    ASSERT_TRUE(WaitUntil([&] { return CountWindowsOfClass(kGameClass) == 0; }, 20000));
    ASSERT_TRUE(WaitUntil([&] { return Read(L"playtime.txt").find("playable=") != std::string::npos; }, 5000));
    unsigned long long first = PlaytimeOf(Read(L"playtime.txt"), "playable");
    // The sample game runs 2 s after its start; Wine's process start adds some.
    EXPECT_GE(first, 2u);
    EXPECT_LE(first, 4u);

    // Offline, twice at once: both runs count.
    DeleteFileW((ProductDir("playable") + L"\\launch-record.txt").c_str());
    Click(1302);
    Click(1302);
    ASSERT_TRUE(WaitUntil([&] { return CountWindowsOfClass(kGameClass) == 2; }, 20000));
    record = LaunchRecord("playable");
    EXPECT_NE(std::string::npos,
              record.find("\\ORVELANT.exe\" --launcher-version=1.0.0 --offline\r\n")) << record;
    ASSERT_TRUE(WaitUntil([&] { return CountWindowsOfClass(kGameClass) == 0; }, 20000));
    ASSERT_TRUE(WaitUntil([&] { return PlaytimeOf(Read(L"playtime.txt"), "playable") >= first + 4; }, 5000))
        << Read(L"playtime.txt");
    unsigned long long both = PlaytimeOf(Read(L"playtime.txt"), "playable");
    EXPECT_LE(both, first + 8);

    // Without the marker an offline start does nothing, and says nothing.
    ASSERT_TRUE(DeleteFileW((ProductDir("playable") + L"\\.orvelant-known-good").c_str()));
    Click(1003);
    EXPECT_FALSE(ById(1302).enabled);
    Click(1302);
    ExpectNoBox();
    EXPECT_EQ(0, CountWindowsOfClass(kGameClass));
    WriteFileBytes(ProductDir("playable") + L"\\.orvelant-known-good", "ok\r\n");

    // PLAY queued behind another product's install starts the game when its
    // own check ends current. Closing the Shell while that game runs: the
    // game goes on; that run is lost.
    DeleteFileW((ProductDir("playable") + L"\\launch-record.txt").c_str());
    Click(2101);
    Click(1300);
    Click(2100);
    Click(1300);
    EXPECT_TRUE(ById(1350).visible);  // queued: DOWNLOADS shown
    ASSERT_TRUE(WaitUntil([&] { return CountWindowsOfClass(kGameClass) == 1; }, 60000));
    EXPECT_NE(std::string::npos,
              LaunchRecord("playable").find("\\ORVELANT.exe\" --launcher-version=1.0.0\r\n"))
        << LaunchRecord("playable");
    PostMessageW(window_, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, WaitExit());
    EXPECT_EQ(1, CountWindowsOfClass(kGameClass));
    ASSERT_TRUE(WaitUntil([&] { return CountWindowsOfClass(kGameClass) == 0; }, 20000));
    EXPECT_EQ(both, PlaytimeOf(Read(L"playtime.txt"), "playable"));
}

// A product with a file more than 260 characters below the drive: installed
// by the Worker, then started by the Shell. (Wine 8 starts no program whose
// own path passes 260, so the deep file is the game's data.)
TEST_F(ShellJobs, AProductPastTheClassicPathLimitInstallsAndStarts) {
    const std::string id = "deep-product-folder-with-a-long-name";
    Write(L"catalog.json", Catalog({GameProduct(id, "DEEP", "/games/deep/manifest.json")}));
    const std::wstring seg = L"\\Localization-Streaming-Data-Japanese-Voice-Over";
    const std::wstring deep = ProductDir(id) + seg + seg + seg + seg + L"\\voice.pak";
    ASSERT_GT(deep.size(), 260u);
    StartShell();
    Click(1003);
    Click(1300);
    ASSERT_TRUE(WaitStatus(L"READY // CURRENT")) << Narrow(Status());
    EXPECT_EQ(ReadFileBytes(HostTree() + L"\\games\\deep\\files" + seg + seg + seg + seg + L"\\voice.pak"),
              ReadFileBytes(deep));
    EXPECT_TRUE(PathIsFile(ProductDir(id) + L"\\.orvelant-known-good"));

    Click(1003);
    EXPECT_EQ(L"PLAY", Text(1300));
    Click(1300);
    ASSERT_TRUE(WaitUntil([&] { return !LaunchRecord(id).empty(); }, 60000));
    EXPECT_NE(std::string::npos,
              LaunchRecord(id).find("command_line=\"" + Narrow(ProductDir(id)) +
                                    "\\ORVELANT.exe\" --launcher-version=1.0.0\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return CountWindowsOfClass(kGameClass) == 0; }, 20000));
}

// A throttled install runs while other requests queue; pause and resume; the
// bandwidth cycle; a catalog reload while jobs wait; the Worker killed
// mid-download; the queue then runs in order.
TEST_F(ShellJobs, QueuePauseBandwidthReloadAndAKilledWorker) {
    SettingsGuard::SetNumber(L"BandwidthKbps", 3000);
    const std::string slow = GameProduct("playable-slow", "SLOW ONE", "/games/playable-slow/manifest.json");
    const std::string three = GameProduct("three", "THREE", "/games/three/manifest.json", "Game.exe");
    const std::string four = GameProduct("four", "FOUR", "/games/four/manifest.json", "Game.exe");
    Write(L"catalog.json", Catalog({slow, three, four}));
    WriteFileBytes(ProductDir("four") + L"\\Game.exe", "an older build");  // installed: repairable
    StartShell();
    Click(1003);
    Click(2100);
    Click(1300);
    ASSERT_TRUE(WaitStatus(L"DOWNLOAD // ACTIVE", 30000)) << Narrow(Status());
    EXPECT_EQ(L"SLOW ONE", QueueLine());

    // P (three), Q (four, a repair), P again, and the running product.
    Click(2101);
    Click(1300);
    // (The status line says "QUEUE // ADDED" until the Worker's next status.)
    EXPECT_NE(std::wstring::npos, Detail().find(L"QUEUED  1    ")) << Narrow(Detail());
    Click(2102);
    Click(1301);
    Click(2101);
    Click(1300);
    Click(2100);
    Click(1300);
    EXPECT_TRUE(ById(1350).visible);  // the queued requests showed DOWNLOADS
    EXPECT_NE(std::wstring::npos, Detail().find(L"QUEUED  2    LIMIT  3000 KB/s")) << Narrow(Detail());
    EXPECT_EQ(L"SLOW ONE", QueueLine());

    // Bandwidth: 3000 is no step, so it becomes 0; then 1024, and round to 0.
    Click(1005);
    Click(1404);
    EXPECT_EQ(L"BANDWIDTH // UNLIMITED", Text(1404));
    EXPECT_EQ(0u, ReadSettingNumberForTest(L"BandwidthKbps"));
    Click(1404);
    EXPECT_EQ(L"BANDWIDTH // 1024 KB/s", Text(1404));
    EXPECT_EQ(1024u, ReadSettingNumberForTest(L"BandwidthKbps"));
    for (int i = 0; i < 4; ++i) Click(1404);
    EXPECT_EQ(L"BANDWIDTH // UNLIMITED", Text(1404));
    EXPECT_EQ(0u, ReadSettingNumberForTest(L"BandwidthKbps"));

    // Pause while the big file comes in: the flag, the texts, and no growth.
    Click(1004);
    std::wstring part = dir_ + L"\\.orvelant-staging\\playable-slow\\data.pak.part";
    auto size = [&] { return FileSize(part); };
    ASSERT_TRUE(WaitUntil([&] { return size() > 0; }, 30000));
    Click(1350);
    EXPECT_TRUE(PathIsFile(dir_ + L"\\pause.download"));
    EXPECT_EQ(L"DOWNLOAD // PAUSED", Headline());
    EXPECT_EQ(L"RESUME", Text(1350));
    EXPECT_EQ(L"DOWNLOAD // PAUSED", Status());
    Sleep(700);
    unsigned long long paused_at = size();
    Sleep(1500);
    EXPECT_EQ(paused_at, size());
    Click(1350);
    EXPECT_FALSE(PathIsFile(dir_ + L"\\pause.download"));
    EXPECT_EQ(L"PAUSE", Text(1350));
    EXPECT_EQ(L"DOWNLOAD // ACTIVE", Status());
    EXPECT_TRUE(WaitUntil([&] { return size() > paused_at; }, 10000));

    // A sync reloads a catalog in another order while both jobs wait: the
    // queue follows the products, not their old slots.
    Write(L"catalog.json", Catalog({four, slow, three}));
    PostMessageW(window_, WM_APP + 10, 9, 0);  // SYNC_DONE
    ASSERT_TRUE(orv_probe::WaitProcessed(window_));
    EXPECT_EQ(L"SLOW ONE", QueueLine());

    // The Worker dies mid-download: its job ends as failed, and the queue
    // moves on at once.
    ASSERT_TRUE(KillWorkers());
    ASSERT_TRUE(WaitUntil([&] { return QueueLine() == L"QUEUE // IDLE"; }, 90000))
        << Narrow(QueueLine());
    EXPECT_NE(std::string::npos,
              ShellLog().find("Update Worker ended without its final status (exit code 7)\r\n"))
        << ShellLog();
    EXPECT_EQ(L"READY // CURRENT", Status());
    // P's job, then Q's: their seals were written in that order.
    unsigned long long three_sealed = WriteTime(ProductDir("three") + L"\\.orvelant-known-good");
    unsigned long long four_sealed = WriteTime(ProductDir("four") + L"\\.orvelant-known-good");
    EXPECT_NE(0u, three_sealed);
    EXPECT_NE(0u, four_sealed);
    EXPECT_LT(three_sealed, four_sealed);
    EXPECT_FALSE(PathIsFile(ProductDir("playable-slow") + L"\\.orvelant-known-good"));
    // The queued repair ran as a repair (every file read), not as a check.
    EXPECT_NE(std::string::npos, Read(L"logs\\updater.log").find("Product worker started (repair)"));
    EXPECT_EQ(L"NO ACTIVE DOWNLOADS", Headline());
    EXPECT_FALSE(ById(1350).enabled);
}

// Links from the cached documents open only when they are https; the
// launcher update while a job runs opens the Setup's page; the update's
// failure box; no offline start when the control document forbids it.
TEST_F(ShellJobs, LinksLauncherUpdateFailureAndOfflineForbidden) {
    HttpsHandler handler(dir_);
    Write(L"news.json",
          "{\"items\": [{\"title\": \"A\", \"link\": \"https://news.example/a?x=1\"},"
          " {\"title\": \"B\", \"link\": \"C:\\\\Windows\\\\System32\\\\cmd.exe\"},"
          " {\"title\": \"C\", \"link\": \"file:///C:/windows/win.ini\"}]}");
    Write(L"catalog.json",
          Catalog({GameProduct("playable-slow", "SLOW ONE", "/games/playable-slow/manifest.json",
                               "ORVELANT.exe", ", \"store_url\": \"HTTPS://store.example/slow\""),
                   GameProduct("other", "OTHER", "/games/three/manifest.json", "ORVELANT.exe",
                               ", \"store_url\": \"\\\\\\\\server\\\\share\\\\page.html\""),
                   GameProduct("unpublished", "UNPUBLISHED", "/games/three/manifest.json",
                               "ORVELANT.exe", "")}));
    Write(L"control.json",
          "{\"allow_offline\": false, \"latest_launcher_version\": \"1.1.0\","
          " \"installer_url\": \"https://localhost/setup/ORVELANT_Launcher_Setup.exe\","
          " \"installer_sha256\": \"" + std::string(64, '0') + "\"}");
    InstallProduct("other", "3.0.0", true);
    StartShell();

    Click(2200);
    Click(2201);
    Click(2202);
    Click(1002);
    Click(1200);
    Click(2001);
    Click(1200);
    Click(1400);
    ASSERT_TRUE(WaitUntil([&] { return handler.Opened().size() >= 3; }, 20000));
    std::wstring caption;
    // A product without a page of its own: the box, nothing opened.
    Click(2002);
    Click(1200);
    EXPECT_EQ(L"このタイトルの製品ページはまだ公開されていません。", AnswerBox(&caption));
    EXPECT_EQ(L"ORVELANT Store", caption);
    Click(1010);
    EXPECT_EQ(L"Account / Login は購入認証Adapterとして接続予定です。\n\n"
              L"Updater Coreへ認証情報を直接埋め込まない設計を維持します。",
              AnswerBox(&caption));
    EXPECT_EQ(L"ORVELANT Account", caption);

    // Offline play forbidden by the control document: nothing, no box.
    Click(1003);
    Click(2101);
    EXPECT_FALSE(ById(1302).enabled);
    Click(1302);
    ExpectNoBox();

    // The launcher update while a product job runs: the Setup's page.
    Click(2100);
    Click(1300);
    ASSERT_TRUE(WaitStatus(L"DOWNLOAD // ACTIVE", 30000)) << Narrow(Status());
    Click(1402);
    ASSERT_TRUE(WaitUntil([&] { return handler.Opened().size() >= 4; }, 20000));
    std::vector<std::string> expected = {
        "https://news.example/a?x=1", "HTTPS://store.example/slow", "https://www.orvelant.example/",
        "https://localhost/setup/ORVELANT_Launcher_Setup.exe"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, handler.Opened());
    std::string log = ShellLog();
    EXPECT_NE(std::string::npos, log.find("Refused to open a link that is not https from the news: C:\\Windows\\System32\\cmd.exe\r\n")) << log;
    EXPECT_NE(std::string::npos, log.find("Refused to open a link that is not https from the news: file:///C:/windows/win.ini\r\n")) << log;
    EXPECT_NE(std::string::npos, log.find("Refused to open a link that is not https from the catalog: \\\\server\\share\\page.html\r\n")) << log;

    // Once the job is gone the update runs, and its Setup fails its check.
    ASSERT_TRUE(KillWorkers());
    ASSERT_TRUE(WaitStatus(L"UPDATE ERROR // GAME PRESERVED", 20000)) << Narrow(Status());
    Click(1005);
    EXPECT_TRUE(ById(1402).enabled);
    Click(1402);
    EXPECT_EQ(L"Launcherの自動更新に失敗しました。\n\n"
              L"Settingsから再試行するか、公式サイトから最新版を取得してください。",
              AnswerBox(&caption));
    EXPECT_EQ(L"ORVELANT Launcher", caption);
    EXPECT_EQ(L"LAUNCHER UPDATE // FAILED", Status());
    EXPECT_TRUE(ById(1402).enabled);

    // The store switched off: the STORE page's view button opens the
    // maker's site, not the product's page.
    Write(L"control.json", "{\"store_enabled\": false}");
    PostMessageW(window_, WM_APP + 10, 9, 0);  // SYNC_DONE
    ASSERT_TRUE(orv_probe::WaitProcessed(window_));
    Click(1002);
    Click(1200);
    ASSERT_TRUE(WaitUntil([&] { return handler.Opened().size() >= 5; }, 20000));
    std::vector<std::string> opened = handler.Opened();
    EXPECT_EQ(2, std::count(opened.begin(), opened.end(), "https://www.orvelant.example/"));
}

// A required launcher update: no offline start, and PLAY hands over to the
// Setup (a stand-in that records how it was started); the Shell ends with 0.
TEST_F(ShellJobs, RequiredLauncherUpdateHandsOverToTheSetup) {
    std::string sha = ReadFileBytes(HostTree() + L"\\setup\\sha256.txt");
    ASSERT_EQ(64u, sha.size());
    Write(L"control.json",
          "{\"min_launcher_version\": \"2.0.0\","
          " \"installer_url\": \"https://localhost/setup/ORVELANT_Launcher_Setup.exe\","
          " \"installer_sha256\": \"" + sha + "\"}");
    std::wstring cache = dir_ + L"\\cache\\launcher-self-update";
    WriteFileBytes(cache + L"\\game.txt", "title=SETUP\r\nseconds=2\r\n");
    InstallProduct("first-title", "1.0.0", true);
    StartShell();
    Click(1003);
    Click(1302);
    EXPECT_EQ(L"Launcherの必須更新後にゲームを起動できます。", AnswerBox());
    Click(1300);
    EXPECT_EQ(0u, WaitExit(60000));
    std::wstring record_path = cache + L"\\launch-record.txt";
    ASSERT_TRUE(WaitUntil([&] { return PathIsFile(record_path); }, 20000));
    std::string record = ReadFileBytes(record_path);
    EXPECT_NE(std::string::npos,
              record.find("\" /silent-update /waitpid:" + std::to_string(pid_) + "\r\n"))
        << record;
    EXPECT_NE(std::string::npos,
              ShellLog().find("Self-update installer launched; exiting shell\r\n"));
}

// A Worker that ends without its final code (here a program in the Worker's
// place that posts nothing and exits after a second): the sync, a product
// job and a self-update each end as their failure would, with one log line,
// and the Shell takes the next request at once.
TEST_F(ShellJobs, WorkersEndingWithoutTheirFinalCodeDoNotStickTheShell) {
    ASSERT_TRUE(CopyFileW((HostTree() + L"\\games\\playable\\files\\ORVELANT.exe").c_str(),
                          (dir_ + L"\\ORVELANT Update Worker.exe").c_str(), FALSE));
    Write(L"game.txt", "title=SILENT WORKER\r\nseconds=1\r\n");
    Write(L"control.json", "{\"latest_launcher_version\": \"1.1.0\"}");
    Write(L"catalog.json", Catalog({Product("first-title", "HALCYRA"), Product("second-title", "VESPERLINE"),
                                    Product("third-title", "MERIDIAN")}));
    InstallProduct("first-title", "1.0.0", true);
    StartShell();  // the start-up sync ends as unavailable
    const std::string ended = "Update Worker ended without its final status (exit code 0)\r\n";
    EXPECT_NE(std::string::npos, ShellLog().find(ended)) << ShellLog();

    Click(1003);
    Click(1300);
    EXPECT_EQ(L"UPDATE // STARTING", Status());
    ASSERT_TRUE(WaitStatus(L"UPDATE ERROR // GAME PRESERVED", 20000)) << Narrow(Status());
    ASSERT_TRUE(orv_probe::WaitProcessed(window_));
    EXPECT_TRUE(ById(1301).enabled);  // idle again
    Click(1300);                      // a new job at once, not a queued one
    EXPECT_EQ(L"UPDATE // STARTING", Status());
    ASSERT_TRUE(WaitStatus(L"UPDATE ERROR // GAME PRESERVED", 20000)) << Narrow(Status());
    // A direct repair: the Worker's whole command line, as the program in
    // its place recorded it.
    Click(1301);
    EXPECT_EQ(L"VERIFY // STARTING", Status());
    ASSERT_TRUE(WaitStatus(L"UPDATE ERROR // GAME PRESERVED", 20000)) << Narrow(Status());
    EXPECT_NE(std::string::npos,
              Read(L"launch-record.txt")
                  .find("command_line=\"" + Narrow(dir_) + "\\ORVELANT Update Worker.exe\" /parent:" +
                        std::to_string((unsigned long long)(ULONG_PTR)window_) +
                        " /product:first-title /repair\r\n"))
        << Read(L"launch-record.txt");

    // A PLAY request waits behind the launcher update; once that has ended
    // without its code, the request runs by itself. The update's Worker
    // lives long enough for the clicks below to find it running on a busy
    // machine (at one second, a loaded run once saw it end first).
    Write(L"game.txt", "title=SILENT WORKER\r\nseconds=5\r\n");
    Click(1005);
    Click(1402);
    EXPECT_EQ(L"LAUNCHER UPDATE // STARTING", Status());
    EXPECT_FALSE(ById(1402).enabled);
    Click(1003);
    Click(1300);
    EXPECT_EQ(L"QUEUE // ADDED", Status());
    ASSERT_TRUE(WaitStatus(L"UPDATE ERROR // GAME PRESERVED", 20000)) << Narrow(Status());
    ExpectNoBox();
    Click(1005);
    EXPECT_TRUE(ById(1402).enabled);
    auto ended_count = [&] {
        std::string log = ShellLog();
        size_t count = 0;
        for (size_t at = log.find(ended); at != std::string::npos; at = log.find(ended, at + 1))
            ++count;
        return count;
    };
    EXPECT_EQ(6u, ended_count()) << ShellLog();

    // A job whose final code came (posted here) and whose process ends only
    // after the next job has started: that end belongs to the old one.
    Write(L"game.txt", "title=SILENT WORKER\r\nseconds=2\r\n");
    Click(1003);
    Click(1300);
    Sleep(500);  // it has read its seconds
    PostMessageW(window_, WM_APP + 10, 5, 100);  // its PRODUCT_FAILED
    ASSERT_TRUE(orv_probe::WaitProcessed(window_));
    Write(L"game.txt", "title=SILENT WORKER\r\nseconds=6\r\n");
    Click(1300);
    EXPECT_EQ(L"UPDATE // STARTING", Status());
    Sleep(3500);  // the first has ended, the second runs
    EXPECT_EQ(L"UPDATE // STARTING", Status());
    EXPECT_FALSE(ById(1301).enabled);
    EXPECT_EQ(6u, ended_count()) << ShellLog();
    // A sync's statuses leave the running job's progress bar as it is.
    auto fill_width = [&] {
        const RECT fill = ShellRowRect(window_, ROW_STATUS_FILL);
        for (const orv_probe::ControlInfo &c : Controls())
            if (c.rect.left == fill.left && c.rect.top == fill.top &&
                c.rect.bottom - c.rect.top == fill.bottom - fill.top)
                return (int)(c.rect.right - c.rect.left);
        return -1;
    };
    int width = fill_width();
    EXPECT_GT(width, 0);
    PostMessageW(window_, WM_APP + 10, 8, 0);   // SYNC_STARTED
    PostMessageW(window_, WM_APP + 10, 10, 0);  // SYNC_UNAVAILABLE
    ASSERT_TRUE(orv_probe::WaitProcessed(window_));
    EXPECT_EQ(width, fill_width());
    ASSERT_TRUE(WaitStatus(L"UPDATE ERROR // GAME PRESERVED", 20000)) << Narrow(Status());
    EXPECT_EQ(7u, ended_count()) << ShellLog();

    // Two requests wait behind a job; when the first of them is due the
    // Worker program is gone: that one is reported in the status line (and
    // the missing-Worker box), and the one after it starts.
    Write(L"game.txt", "title=SILENT WORKER\r\nseconds=3\r\n");
    Click(1003);
    Click(2100);
    Click(1301);
    EXPECT_EQ(L"VERIFY // STARTING", Status());
    Click(2101);
    Click(1300);
    Click(2102);
    Click(1300);
    EXPECT_EQ(L"QUEUE // ADDED", Status());
    const std::wstring worker = dir_ + L"\\ORVELANT Update Worker.exe";
    ASSERT_TRUE(MoveFileW(worker.c_str(), (worker + L".away").c_str()));
    PostMessageW(window_, WM_APP + 10, 3, 100);  // the running job's PRODUCT_CURRENT
    HWND box = orv_probe::FindMessageBox(pid_, 15000);
    ASSERT_NE(nullptr, box);
    EXPECT_EQ(L"更新モジュールがありません。Setupの再インストールで修復してください。",
              orv_probe::MessageBoxText(box));
    EXPECT_EQ(L"UPDATE ERROR // GAME PRESERVED", Status());
    ASSERT_TRUE(MoveFileW((worker + L".away").c_str(), worker.c_str()));
    ASSERT_TRUE(orv_probe::AnswerMessageBox(box));
    ASSERT_TRUE(orv_probe::WaitProcessed(window_));
    EXPECT_EQ(L"UPDATE // STARTING", Status());
    ASSERT_TRUE(WaitUntil([&] { return Read(L"launch-record.txt").find("/product:third-title") != std::string::npos; },
                          10000))
        << Read(L"launch-record.txt");
    EXPECT_EQ(std::string::npos, Read(L"launch-record.txt").find("/product:second-title"));
    ASSERT_TRUE(WaitStatus(L"UPDATE ERROR // GAME PRESERVED", 20000)) << Narrow(Status());
}

// An older release kept the first title inside the launcher's own folder:
// "first-title" starts from there, in its "game" folder, known-good without
// a marker, wherever the catalog lists it; the product listed before it has
// no part in that layout. A second start of the Shell meanwhile brings the
// running window back and ends at once, with nothing started or written.
TEST_F(ShellJobs, LegacyFirstTitleStartsOfflineFromTheInstallDirectory) {
    MakeDirs(dir_ + L"\\game");
    ASSERT_TRUE(CopyFileW((HostTree() + L"\\games\\playable\\files\\ORVELANT.exe").c_str(),
                          (dir_ + L"\\game\\ORVELANT_First_Title.exe").c_str(), FALSE));
    Write(L"game\\game.txt", "title=LEGACY\r\nseconds=1\r\n");
    Write(L"catalog.json",
          Catalog({GameProduct("other", "OTHER", "/games/three/manifest.json"),
                   GameProduct("first-title", "HALCYRA", "/games/playable/manifest.json")}));
    StartShell();

    ShowWindow(window_, SW_MINIMIZE);
    ASSERT_TRUE(orv_probe::WaitProcessed(window_));
    std::string log_before = ShellLog();
    // The folder as installed, in its short (8.3) form and in other letter
    // case: each is the same launcher.
    wchar_t short_dir[MAX_PATH] = {};
    ASSERT_NE(0u, GetShortPathNameW(dir_.c_str(), short_dir, MAX_PATH));
    ASSERT_NE(dir_, std::wstring(short_dir));
    std::wstring other_case = dir_;
    for (wchar_t &c : other_case) c = iswlower(c) ? towupper(c) : towlower(c);
    for (const std::wstring &spelling : {std::wstring(), std::wstring(short_dir), other_case}) {
        SCOPED_TRACE(Narrow(spelling));
        DWORD second_pid = 0;
        HANDLE second = StartInstalled(&second_pid, spelling);
        ASSERT_NE(nullptr, second);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(second, 10000));
        DWORD second_code = 259;
        GetExitCodeProcess(second, &second_code);
        if (second_code == 259) TerminateProcess(second, 9);
        CloseHandle(second);
        EXPECT_EQ(0u, second_code);
        EXPECT_EQ(nullptr, orv_probe::FindShellWindow(second_pid, 0));  // no window of its own
        EXPECT_TRUE(WorkerChildren(second_pid).empty());
        EXPECT_TRUE(WaitUntil([&] { return !IsIconic(window_); }, 5000)) << "not brought back";
        EXPECT_EQ(log_before, ShellLog());
        ShowWindow(window_, SW_MINIMIZE);
        ASSERT_TRUE(orv_probe::WaitProcessed(window_));
    }

    Click(1003);
    Click(2100);  // OTHER
    EXPECT_EQ(L"INSTALL", Text(1300));
    EXPECT_FALSE(ById(1302).enabled);
    Click(2101);  // HALCYRA
    EXPECT_EQ(L"PLAY", Text(1300));
    EXPECT_TRUE(ById(1302).enabled);
    Click(1302);
    std::wstring record_path = dir_ + L"\\game\\launch-record.txt";
    ASSERT_TRUE(WaitUntil([&] { return PathIsFile(record_path); }, 20000));
    std::string record = ReadFileBytes(record_path);
    std::string game = Narrow(dir_) + "\\game";
    EXPECT_NE(std::string::npos,
              record.find("command_line=\"" + game +
                          "\\ORVELANT_First_Title.exe\" --launcher-version=1.0.0 --offline\r\n"))
        << record;
    EXPECT_NE(std::string::npos, record.find("working_directory=" + game + "\r\n")) << record;
    ASSERT_TRUE(WaitUntil([&] { return PlaytimeOf(Read(L"playtime.txt"), "first-title") >= 1; }, 20000));
}
