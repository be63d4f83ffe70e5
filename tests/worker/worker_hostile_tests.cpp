// What a signed document or the host can still throw at the Worker: device
// names as file names, catalogs whose product folder would be the library
// root, redirects to another port, a body that never ends. Against the real
// update host and, for what nginx will not do, the hostile host beside it
// (tests/host/hostile_host.py).
#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>

#include "update_host.h"
#include "worker_fixture.h"

using namespace orv_test;

namespace {

const char kInterrupted[] = "Download interrupted; .part retained for resume\r\n";

// A refused answer (a redirect, an endless body) fails no Win32 call of its
// own: the error a failure line shows is whatever came last, so only its
// presence is checked here, with the address.
std::string AnyError(const std::string &log) {
    return std::regex_replace(log, std::regex("\\(error [0-9]+\\)"), "(error N)");
}
std::string DownloadFailed(const std::string &address) {
    return "Download failed (error N) " + address + "\r\n";
}

std::string HostileLog() {
    return ReadFileBytes(std::wstring(ORV_TEST_HOST_STATE_WINE) + L"\\logs\\hostile.log");
}

unsigned long long FileSize(const std::wstring &path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return ((unsigned long long)data.nFileSizeHigh << 32) | data.nFileSizeLow;
}

// Nothing at all below the folder (a missing folder counts as empty).
bool IsEmptyTree(const std::wstring &dir) {
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) return true;
    bool empty = true;
    do {
        std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") empty = false;
    } while (empty && FindNextFileW(h, &found));
    FindClose(h);
    return empty;
}

class Hostile : public WorkerFixture {
protected:
    void UseManifest(const std::string &name) {
        WriteCatalog(Product("p", "p-dir", "Game.exe", "/games/" + name + "/manifest.json"));
    }
    ChildRun Job(const ChildOptions &options = ChildOptions()) {
        return Run(L" /parent:{parent} /product:p", options);
    }
    std::wstring Dir() const { return DefaultRoot() + L"\\p-dir"; }
    std::wstring Staged(const std::wstring &relative) const {
        return Path(L".orvelant-staging\\p\\" + relative + L".part");
    }
};

const Statuses kRefusedManifest = {{PRODUCT_CHECKING, 3}, {PRODUCT_VERIFYING, 10}, {PRODUCT_FAILED, 100}};
const Statuses kNotInCatalog = {{PRODUCT_FAILED, 100}};

// Points the prefix's COM1 and LPT1 at plain files (so that a write to either
// device is seen), and puts the old links back afterwards.
class DeviceSinks {
public:
    DeviceSinks() {
        ok_ = RunOnHost("mkdir -p '" + sinks_ + "' && : >'" + sinks_ + "/com1' && : >'" + sinks_ +
                        "/lpt1' && cd '" + devices_ + "' && for d in com1 lpt1; do "
                        "[ -e $d.orv-saved ] || [ ! -L $d ] || mv $d $d.orv-saved; "
                        "ln -sfn '" + sinks_ + "'/$d $d; done");
    }
    ~DeviceSinks() {
        RunOnHost("cd '" + devices_ + "' && for d in com1 lpt1; do rm -f $d; "
                  "[ -L $d.orv-saved ] && mv $d.orv-saved $d; done; true");
    }
    bool ok() const { return ok_; }
    void Empty() const {
        WriteFileBytes(Widen("Z:" + sinks_ + "/com1"), "");
        WriteFileBytes(Widen("Z:" + sinks_ + "/lpt1"), "");
    }
    std::string Written(const char *device) const {
        return ReadFileBytes(Widen("Z:" + sinks_ + "/" + device));
    }

private:
    std::string devices_ = ORV_TEST_BUILD_UNIX "/wineprefix/dosdevices";
    std::string sinks_ = ORV_TEST_SCRATCH_UNIX "/device-sinks";
    bool ok_ = false;
};

}  // namespace

TEST_F(Hostile, DeviceNamesInAManifestFailItBeforeAnythingIsWritten) {
    DeviceSinks sinks;
    ASSERT_TRUE(sinks.ok());
    // The sinks are live: a write to the device name lands in the plain file.
    for (const wchar_t *device : {L"COM1", L"LPT1"}) {
        HANDLE h = CreateFileW((install_ + L"\\" + device + L".part").c_str(), GENERIC_WRITE, 0,
                               nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, h) << Narrow(device);
        DWORD written = 0;
        WriteFile(h, "probe", 5, &written, nullptr);
        CloseHandle(h);
    }
    ASSERT_EQ("probe", sinks.Written("com1"));
    ASSERT_EQ("probe", sinks.Written("lpt1"));
    sinks.Empty();
    ASSERT_EQ("", sinks.Written("com1"));

    // COM1, AUX, PRN, LPT1, com1.log, sub\lpt1.txt, "lpt1 .txt", CON., COM¹, CONOUT$
    std::string expected_log;
    for (int i = 1; i <= 10; ++i) {
        UseManifest("device-" + std::to_string(i));
        ChildRun run = Job();
        EXPECT_EQ(11u, run.exit_code) << i;
        EXPECT_EQ(kRefusedManifest, run.Statuses()) << i;
        EXPECT_TRUE(run.Transfers().empty()) << i;
        expected_log += "Product worker started\r\nManifest parse/restriction failure\r\n";
    }
    EXPECT_EQ(expected_log, Log());
    EXPECT_EQ("", sinks.Written("com1"));
    EXPECT_EQ("", sinks.Written("lpt1"));
    EXPECT_TRUE(IsEmptyTree(DefaultRoot()));
    EXPECT_TRUE(IsEmptyTree(Path(L".orvelant-staging")));
}

TEST_F(Hostile, AManifestPastTheFileBoundIsRefusedWhole) {
    // One entry more than the launcher takes: refused as a whole, before a
    // single file is looked at, with an installed product left as it was.
    WriteFileBytes(Dir() + L"\\Game.exe", "installed");
    WriteFileBytes(Dir() + L"\\.orvelant-known-good", "ok\r\n");
    UseManifest("too-many");
    ChildRun run = Job();
    EXPECT_EQ(11u, run.exit_code);
    EXPECT_EQ(kRefusedManifest, run.Statuses());
    EXPECT_TRUE(run.Transfers().empty());
    EXPECT_EQ("Product worker started\r\nManifest parse/restriction failure\r\n", Log());
    EXPECT_EQ("installed", ReadFileBytes(Dir() + L"\\Game.exe"));
    EXPECT_TRUE(PathIsFile(Dir() + L"\\.orvelant-known-good"));
    EXPECT_FALSE(PathIsFile(Dir() + L"\\version.json"));
    EXPECT_TRUE(IsEmptyTree(Path(L".orvelant-staging")));
}

// Every file below the folder with its bytes, by path relative to it.
std::map<std::wstring, std::string> FolderBytes(const std::wstring &dir) {
    std::map<std::wstring, std::string> files;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        if (it->is_regular_file())
            files[it->path().wstring().substr(dir.size())] = ReadFileBytes(it->path().wstring());
    return files;
}

TEST_F(Hostile, PathsWindowsTakesForOneFileAndTheLaunchersOwnFilesAreRefused) {
    // Two entries that are one file here would flip the install between good
    // and bad on every job; a game file at the launcher's own name would be
    // overwritten by it. Each is refused whole, the installed product kept.
    WriteFileBytes(Dir() + L"\\Game.exe", "installed");
    WriteFileBytes(Dir() + L"\\data.pak", "installed data");
    WriteFileBytes(Dir() + L"\\.orvelant-known-good", "ok\r\n");
    WriteFileBytes(Dir() + L"\\version.json", "{\r\n  \"version\": \"0.9\"\r\n}\r\n");
    const std::map<std::wstring, std::string> before = FolderBytes(Dir());
    ASSERT_EQ(4u, before.size());
    const size_t served_before = HostAccessLog().size();
    std::string expected_log;
    for (const char *name : {"twins-1", "twins-2", "twins-3", "own-1", "own-2", "own-3", "own-4"}) {
        UseManifest(name);
        ChildRun run = Job();
        EXPECT_EQ(11u, run.exit_code) << name;
        EXPECT_EQ(kRefusedManifest, run.Statuses()) << name;
        EXPECT_TRUE(run.Transfers().empty()) << name;
        expected_log += "Product worker started\r\nManifest parse/restriction failure\r\n";
    }
    EXPECT_EQ(expected_log, Log());
    EXPECT_EQ(before, FolderBytes(Dir()));
    EXPECT_TRUE(IsEmptyTree(Path(L".orvelant-staging")));
    EXPECT_TRUE(IsEmptyTree(Path(L".orvelant-backup")));
    EXPECT_EQ(std::string::npos, HostAccessLog().substr(served_before).find("/games/twins/files/"));

    // Names that only look alike (a deeper version.json, a folder in another
    // letter case, a longer name) install, and stay current on the next job.
    UseManifest("twins-apart");
    ChildRun run = Job();
    EXPECT_EQ(0u, run.exit_code);
    ASSERT_FALSE(run.Statuses().empty());
    EXPECT_EQ(PRODUCT_CURRENT, run.Statuses().back().first);
    const std::wstring served = HostTree() + L"\\games\\twins\\files\\";
    EXPECT_EQ(ReadFileBytes(served + L"own.pak"), ReadFileBytes(Dir() + L"\\sub\\version.json"));
    EXPECT_EQ(ReadFileBytes(served + L"SUB\\X.PAK"), ReadFileBytes(Dir() + L"\\SUB\\x.pak"));
    EXPECT_EQ(ReadFileBytes(served + L"Data.pak"), ReadFileBytes(Dir() + L"\\Data.pak.bak"));
    EXPECT_EQ(ReadFileBytes(served + L"data.pak"), ReadFileBytes(Dir() + L"\\data.pak"));
    run = Job();
    EXPECT_EQ(0u, run.exit_code);
    EXPECT_TRUE(run.Transfers().empty());
}

TEST_F(Hostile, CatalogFoldersThatAreTheLibraryRootMakeTheProductInvalid) {
    // Each would put the game's files and the marker loose into the root.
    // 200 bytes fit the 220-byte read but not the 180-unit field (stored empty).
    std::string expected_log;
    for (const std::string &folder :
         {std::string("."), std::string("./"), std::string(". ."), std::string(" "),
          std::string(".\\\\ "), std::string("./. /."), std::string(200, 'w'), std::string("COM1"),
          std::string("games/aux.d")}) {
        WriteCatalog(Product("p", folder, "Game.exe", "/games/four/manifest.json"));
        ChildRun run = Job();
        EXPECT_EQ(10u, run.exit_code) << "[" << folder << "]";
        EXPECT_EQ(kNotInCatalog, run.Statuses()) << "[" << folder << "]";
        expected_log += "Product worker started\r\nProduct not found in catalog\r\n";
    }
    EXPECT_EQ(expected_log, Log());
    EXPECT_TRUE(IsEmptyTree(DefaultRoot()));
    // The same catalog with a folder that names one installs there.
    WriteCatalog(Product("p", "./four", "Game.exe", "/games/four/manifest.json"));
    EXPECT_EQ(0u, Job().exit_code);
    EXPECT_TRUE(PathIsFile(DefaultRoot() + L"\\four\\.orvelant-known-good"));
}

TEST_F(Hostile, RedirectsToAnotherPortAreNotFollowed) {
    // The redirect target is live and would answer every one of these.
    ASSERT_TRUE(RunOnHost("curl -sk -o /dev/null https://127.0.0.1:44300/files/empty.bin"));
    ASSERT_EQ("GET /files/empty.bin\n", HostileLog());
    UseTestHooks();
    const char *const paths[] = {"/redirect/documents/catalog.json",
                                 "/redirect/games/redirect/files/Game.exe",
                                 "/redirect/setup/ORVELANT_Launcher_Setup.exe"};
    size_t before[3];
    for (int i = 0; i < 3; ++i) before[i] = HostRequestCount(paths[i]);

    // A document.
    std::wstring out = Path(L"body.bin");
    env_.Set(L"ORV_TEST_GET", (L"/redirect/documents/catalog.json|" + out).c_str());
    EXPECT_EQ(1u, Run(L" /parent:{parent}").exit_code);
    env_.Set(L"ORV_TEST_GET", nullptr);
    EXPECT_FALSE(PathIsFile(out));

    // A product file: nothing is installed.
    UseManifest("redirect");
    ChildRun run = Job();
    EXPECT_EQ(12u, run.exit_code);
    ASSERT_FALSE(run.Statuses().empty());
    EXPECT_EQ(PRODUCT_FAILED, run.Statuses().back().first);
    EXPECT_TRUE(IsEmptyTree(DefaultRoot()));

    // The Setup of a self-update, with its right SHA-256.
    std::string sha = ReadFileBytes(HostTree() + L"\\setup\\sha256.txt");
    WriteFileBytes(Path(L"control.json"),
                   "{\"installer_url\": \"https://localhost/redirect/setup/ORVELANT_Launcher_Setup.exe\", "
                   "\"installer_sha256\": \"" + sha + "\"}");
    run = Run(L" /self-update /parent:{parent}");
    EXPECT_EQ(21u, run.exit_code);
    EXPECT_EQ((Statuses{{SELF_UPDATE_STARTED, 5}, {SELF_UPDATE_FAILED, 100}}), run.Statuses());
    EXPECT_FALSE(PathIsFile(Path(L"cache\\launcher-self-update\\ORVELANT_Launcher_Setup_latest.exe")));

    EXPECT_EQ("Product worker started\r\n" + std::string(kInterrupted) +
                  DownloadFailed("/redirect/games/redirect/files/Game.exe") +
                  "Launcher self-update started\r\n" + kInterrupted,
              AnyError(Log()));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(before[i] + 1, HostRequestCount(paths[i])) << paths[i];
    EXPECT_EQ("GET /files/empty.bin\n", HostileLog());  // no request ever reached the target
}

TEST_F(Hostile, EndlessBodyStopsAtTheSignedSizeAndThePartGoes) {
    UseManifest("endless");  // Game.exe, signed size 70000
    const std::wstring staged = Staged(L"Game.exe");
    unsigned long long largest = 0;
    ChildOptions options;
    options.on_message = [&](const WorkerMessage &, HANDLE) {
        largest = std::max(largest, FileSize(staged));
    };
    ChildRun run = Job(options);
    EXPECT_EQ(12u, run.exit_code);
    ASSERT_FALSE(run.Statuses().empty());
    EXPECT_EQ(PRODUCT_FAILED, run.Statuses().back().first);
    EXPECT_LE(largest, 70000u);
    EXPECT_FALSE(PathIsFile(staged));
    EXPECT_TRUE(IsEmptyTree(DefaultRoot()));
    EXPECT_EQ("Product worker started\r\nDownload exceeds the signed file size; .part deleted\r\n" +
                  std::string(kInterrupted) + DownloadFailed("/endless/games/endless/files/Game.exe"),
              AnyError(Log()));
    EXPECT_NE(std::string::npos, HostileLog().find("GET /endless/games/endless/files/Game.exe\n"));
}
