// The Worker as a real child process of a test window: mode choice, command
// line, statuses, exit codes, log lines, directories and the crash guard.
#include "worker_fixture.h"

#include <algorithm>

using namespace orv_test;

namespace {

const char kNotFoundLog[] = "Product worker started\r\nProduct not found in catalog\r\n";
const char kUnavailableLog[] =
    "Product worker started\r\nManifest unavailable; no local files modified\r\n";
const char kSyncLog[] =
    "Sync worker started (RSA-signed catalog/news/control)\r\n"
    "Signed sync unavailable or invalid; trusted local cache retained\r\n";

}  // namespace

using WorkerModes = WorkerFixture;

TEST_F(WorkerModes, NoSwitchRunsTheProductJobWithAnEmptyId) {
    ChildRun run = Run(L" /parent:{parent}");
    EXPECT_EQ(10u, run.exit_code);
    EXPECT_EQ((Statuses{{PRODUCT_FAILED, 100}}), run.Statuses());
    EXPECT_EQ(kNotFoundLog, Log());
}

TEST_F(WorkerModes, SelfUpdateWinsOverSyncAndSyncOverProduct) {
    for (const wchar_t *args : {L" /sync /self-update /parent:{parent}",
                                L" /self-update /sync /parent:{parent} /product:x"}) {
        ChildRun run = Run(args);
        EXPECT_EQ(20u, run.exit_code);
        EXPECT_EQ((Statuses{{SELF_UPDATE_STARTED, 5}, {SELF_UPDATE_FAILED, 100}}), run.Statuses());
    }
    ChildRun run = Run(L" /parent:{parent} /product:first-title /sync");
    EXPECT_EQ(0u, run.exit_code);
    EXPECT_EQ((Statuses{{SYNC_STARTED, 0}, {SYNC_UNAVAILABLE, 0}}), run.Statuses());
}

TEST_F(WorkerModes, SwitchesAreFoundInsideOtherText) {
    // A product value that holds "/sync" selects the sync mode.
    ChildRun run = Run(L" /parent:{parent} /product:abc/sync");
    EXPECT_EQ((Statuses{{SYNC_STARTED, 0}, {SYNC_UNAVAILABLE, 0}}), run.Statuses());
    // Matching is case-sensitive: "/SYNC" is no switch.
    run = Run(L" /parent:{parent} /SYNC");
    EXPECT_EQ((Statuses{{PRODUCT_FAILED, 100}}), run.Statuses());
    EXPECT_EQ(10u, run.exit_code);
}

TEST_F(WorkerModes, SyncWithoutTheUpdateHostKeepsTheCaches) {
    WriteFileBytes(Path(L"catalog.json"), "cached catalog");
    WriteFileBytes(Path(L"control.json"), "cached control");
    ChildRun run = Run(L" /sync /parent:{parent}");
    EXPECT_EQ(0u, run.exit_code);
    EXPECT_EQ((Statuses{{SYNC_STARTED, 0}, {SYNC_UNAVAILABLE, 0}}), run.Statuses());
    EXPECT_TRUE(run.Transfers().empty());
    EXPECT_EQ(kSyncLog, Log());
    EXPECT_EQ("cached catalog", ReadFileBytes(Path(L"catalog.json")));
    EXPECT_EQ("cached control", ReadFileBytes(Path(L"control.json")));
    EXPECT_FALSE(PathIsFile(Path(L"news.json")));
    EXPECT_FALSE(PathIsFile(Path(L"catalog.json.new")));
}

TEST_F(WorkerModes, RepairChangesOnlyTheFirstLogLine) {
    ChildRun run = Run(L" /parent:{parent} /product:nothing /repair");
    EXPECT_EQ(10u, run.exit_code);
    EXPECT_EQ((Statuses{{PRODUCT_FAILED, 100}}), run.Statuses());
    EXPECT_EQ("Product worker started (repair)\r\nProduct not found in catalog\r\n", Log());
}

using WorkerCommandLine = WorkerFixture;

TEST_F(WorkerCommandLine, ProductIdIsCutAt63Characters) {
    std::string id63(63, 'p');
    WriteCatalog(Product(id63));
    ChildRun run = Run(L" /parent:{parent} /product:" + Widen(id63) + L"EXTRA12");
    EXPECT_EQ(0u, run.exit_code);
    EXPECT_EQ((Statuses{{PRODUCT_CHECKING, 3}, {PRODUCT_NOT_INSTALLED, 100}}), run.Statuses());
    EXPECT_EQ(kUnavailableLog, Log());
}

TEST_F(WorkerCommandLine, CatalogIdsTooLongForTheIdFieldNeverMatch) {
    std::string id64(64, 'q');
    WriteCatalog(Product(id64));
    ChildRun run = Run(L" /parent:{parent} /product:" + Widen(id64));
    EXPECT_EQ(10u, run.exit_code);
    EXPECT_EQ((Statuses{{PRODUCT_FAILED, 100}}), run.Statuses());
}

TEST_F(WorkerCommandLine, ProductValueRunsToTheEndOrTheFirstBlank) {
    WriteCatalog(Product("last-one"));
    ChildRun run = Run(L" /parent:{parent} /product:last-one");
    EXPECT_EQ((Statuses{{PRODUCT_CHECKING, 3}, {PRODUCT_NOT_INSTALLED, 100}}), run.Statuses());
    run = Run(L" /product:last-one /parent:{parent}");
    EXPECT_EQ((Statuses{{PRODUCT_CHECKING, 3}, {PRODUCT_NOT_INSTALLED, 100}}), run.Statuses());
    // A later /product: overrides an earlier one.
    run = Run(L" /parent:{parent} /product:last-one /product:other");
    EXPECT_EQ((Statuses{{PRODUCT_FAILED, 100}}), run.Statuses());
    EXPECT_EQ(10u, run.exit_code);
}

TEST_F(WorkerCommandLine, TheCharacterThatStoppedTheIdIsNotScannedAgain) {
    // The 64th character of the value is "/" of a "/parent:" that is then not
    // seen: nothing is posted, although the job runs.
    std::string id63(63, 'r');
    WriteCatalog(Product(id63));
    ChildRun run = Run(L" /product:" + Widen(id63) + L"/parent:{parent}");
    EXPECT_TRUE(run.messages.empty());
    EXPECT_EQ(0u, run.exit_code);
    EXPECT_EQ(kUnavailableLog, Log());
}

TEST_F(WorkerCommandLine, TheLastParentSwitchWins) {
    ChildRun run = Run(L" /parent:1 /parent:{parent}");
    EXPECT_EQ((Statuses{{PRODUCT_FAILED, 100}}), run.Statuses());
    run = Run(L" /parent:{parent} /parent:0");
    EXPECT_TRUE(run.messages.empty());
    EXPECT_EQ(10u, run.exit_code);
}

TEST_F(WorkerCommandLine, WithoutAParentNothingIsPostedButTheJobRuns) {
    // "/parent:" without digits, and no switch at all; the window's handle
    // stands elsewhere in the line and must not be picked up.
    for (const wchar_t *args : {L" /parent:x{parent} /sync", L" /sync {parent}"}) {
        ChildRun run = Run(args);
        EXPECT_TRUE(run.messages.empty()) << Narrow(args);
        EXPECT_EQ(0u, run.exit_code);
    }
    EXPECT_EQ(std::string(kSyncLog) + kSyncLog, Log());
}

using WorkerDirectories = WorkerFixture;

TEST_F(WorkerDirectories, DefaultGameLibraryRootIsCreatedInEveryMode) {
    for (const wchar_t *args : {L" /sync", L" /self-update", L" /product:x"}) {
        RemoveDirectoryW(DefaultRoot().c_str());
        RemoveDirectoryW((local_app_data_ + L"\\ORVELANT").c_str());
        Run(args);
        EXPECT_TRUE(PathIsDir(DefaultRoot())) << Narrow(args);
    }
}

TEST_F(WorkerDirectories, StoredLibraryRootIsUsedAndCreated) {
    std::wstring root = install_ + L"-library\\deep\\ORVELANT Games";
    SettingsGuard::SetText(L"LibraryRoot", root);
    WriteCatalog(Product("game-a", "game-a"));
    MakeDirs(root + L"\\game-a");
    WriteFileBytes(root + L"\\game-a\\Game.exe", "exe");
    ChildRun run = Run(L" /parent:{parent} /product:game-a");
    EXPECT_TRUE(PathIsDir(root));
    EXPECT_FALSE(PathIsDir(DefaultRoot()));
    // The executable without the known-good marker is a failed install.
    EXPECT_EQ((Statuses{{PRODUCT_CHECKING, 3}, {PRODUCT_FAILED, 100}}), run.Statuses());
    EXPECT_EQ(0u, run.exit_code);
}

TEST_F(WorkerDirectories, UnusableStoredRootsFallBackToTheDefault) {
    SettingsGuard::SetText(L"LibraryRoot", L"");
    Run(L" /sync");
    EXPECT_TRUE(PathIsDir(DefaultRoot()));
    RemoveDirectoryW(DefaultRoot().c_str());
    SettingsGuard::SetText(L"LibraryRoot", install_ + L"-expand", REG_EXPAND_SZ);
    Run(L" /sync");
    EXPECT_TRUE(PathIsDir(DefaultRoot()));
    EXPECT_FALSE(PathIsDir(install_ + L"-expand"));
}

TEST_F(WorkerDirectories, WithoutUsableLocalAppDataTheRootIsUnderTheInstallDirectory) {
    std::wstring fallback = install_ + L"\\ORVELANT\\Games";
    env_.Set(L"LOCALAPPDATA", nullptr);
    Run(L" /sync");
    EXPECT_TRUE(PathIsDir(fallback));
    RemoveDirectoryW(fallback.c_str());
    env_.Set(L"LOCALAPPDATA", std::wstring(900, L'w').c_str());
    Run(L" /sync");
    EXPECT_TRUE(PathIsDir(fallback));
}

using WorkerProductLookup = WorkerFixture;

TEST_F(WorkerProductLookup, UnreachableManifestReportsWhatIsInstalled) {
    WriteCatalog(Product("game-a", "game-a", "bin/Game.exe"));
    std::wstring dir = DefaultRoot() + L"\\game-a";
    ChildRun run = Run(L" /parent:{parent} /product:game-a");
    EXPECT_EQ((Statuses{{PRODUCT_CHECKING, 3}, {PRODUCT_NOT_INSTALLED, 100}}), run.Statuses());

    WriteFileBytes(dir + L"\\bin\\Game.exe", "exe");
    run = Run(L" /parent:{parent} /product:game-a");
    EXPECT_EQ((Statuses{{PRODUCT_CHECKING, 3}, {PRODUCT_FAILED, 100}}), run.Statuses());

    WriteFileBytes(dir + L"\\.orvelant-known-good", "ok\r\n");
    run = Run(L" /parent:{parent} /product:game-a");
    EXPECT_EQ((Statuses{{PRODUCT_CHECKING, 3}, {PRODUCT_OFFLINE_READY, 100}}), run.Statuses());
    EXPECT_EQ(0u, run.exit_code);
    // Nothing was touched.
    EXPECT_EQ("exe", ReadFileBytes(dir + L"\\bin\\Game.exe"));
    EXPECT_EQ("ok\r\n", ReadFileBytes(dir + L"\\.orvelant-known-good"));
}

TEST_F(WorkerProductLookup, LegacyLayoutCountsOnlyForTheFirstTitle) {
    WriteCatalog(Product("first-title", "first-title", "ORVELANT.exe") + "," +
                 Product("other", "other", "ORVELANT.exe"));
    WriteFileBytes(Path(L"game\\ORVELANT_First_Title.exe"), "legacy");
    ChildRun run = Run(L" /parent:{parent} /product:first-title");
    EXPECT_EQ((Statuses{{PRODUCT_CHECKING, 3}, {PRODUCT_OFFLINE_READY, 100}}), run.Statuses());
    run = Run(L" /parent:{parent} /product:other");
    EXPECT_EQ((Statuses{{PRODUCT_CHECKING, 3}, {PRODUCT_NOT_INSTALLED, 100}}), run.Statuses());
}

TEST_F(WorkerProductLookup, TheFirstEntryWithTheIdDecides) {
    WriteCatalog(Product("dup", "../escape") + "," + Product("dup", "fine"));
    ChildRun run = Run(L" /parent:{parent} /product:dup");
    EXPECT_EQ(10u, run.exit_code);
    EXPECT_EQ((Statuses{{PRODUCT_FAILED, 100}}), run.Statuses());
    WriteCatalog(Product("Upper") + "," + Product("bad", "ok", "x.exe", "no-slash.json") + "," +
                 Product("bad2", "ok", "C:x.exe"));
    for (const wchar_t *id : {L"Upper", L"bad", L"bad2"}) {
        run = Run(std::wstring(L" /parent:{parent} /product:") + id);
        EXPECT_EQ(10u, run.exit_code) << Narrow(id);
    }
}

TEST_F(WorkerProductLookup, MissingOrBrokenCatalogFindsNothing) {
    ChildRun run = Run(L" /parent:{parent} /product:game-a");
    EXPECT_EQ(10u, run.exit_code);
    WriteFileBytes(Path(L"catalog.json"), "{\"items\": [" + Product("game-a") + "]}");
    run = Run(L" /parent:{parent} /product:game-a");
    EXPECT_EQ(10u, run.exit_code);
    WriteFileBytes(Path(L"catalog.json"), "{\"products\": [" + Product("game-a"));  // unclosed
    run = Run(L" /parent:{parent} /product:game-a");
    EXPECT_EQ(10u, run.exit_code);
    EXPECT_EQ(std::string(kNotFoundLog) + kNotFoundLog + kNotFoundLog, Log());
}

using WorkerSelfUpdateTarget = WorkerFixture;

TEST_F(WorkerSelfUpdateTarget, InstallerUrlMustStartWithTheUpdateOrigin) {
    const std::string sha(64, 'a');
    const char *refused[] = {
        "https://LOCALHOST/s.exe", "https://localhost:443/s.exe", "http://localhost/s.exe",
        "https://localhost.evil.example/s.exe", "https://user@localhost/s.exe",
        "https://localhost", "/launcher/s.exe"};
    for (const char *url : refused) {
        WriteFileBytes(Path(L"control.json"), std::string("{\"service_state\":\"online\",") +
                                                  "\"installer_url\":\"" + url +
                                                  "\",\"installer_sha256\":\"" + sha + "\"}");
        ChildRun run = Run(L" /self-update /parent:{parent}");
        EXPECT_EQ(20u, run.exit_code) << url;
        EXPECT_EQ((Statuses{{SELF_UPDATE_STARTED, 5}, {SELF_UPDATE_FAILED, 100}}), run.Statuses());
    }
    EXPECT_FALSE(PathIsDir(Path(L"cache")));
}

TEST_F(WorkerSelfUpdateTarget, InstallerDigestMustBeExactly64HexDigits) {
    for (const std::string &sha : {std::string(64, 'a') + " ", std::string(63, 'a'),
                                   std::string(63, 'a') + "g", std::string()}) {
        WriteFileBytes(Path(L"control.json"),
                       "{\"installer_url\":\"https://localhost/s.exe\",\"installer_sha256\":\"" +
                           sha + "\"}");
        EXPECT_EQ(20u, Run(L" /self-update").exit_code) << sha;
    }
    WriteFileBytes(Path(L"control.json"), "{\"installer_sha256\":\"" + std::string(64, 'a') + "\"}");
    EXPECT_EQ(20u, Run(L" /self-update").exit_code);
    std::string log = Log();
    size_t lines = std::count(log.begin(), log.end(), '\n');
    EXPECT_EQ(10u, lines);
    EXPECT_EQ(0u, log.find("Launcher self-update started\r\n"
                           "Self-update control missing/invalid installer URL or SHA-256\r\n"));
}

TEST_F(WorkerSelfUpdateTarget, AcceptedTargetGoesOnToTheDownload) {
    // Upper-case digits are accepted; without a transport the download then
    // fails like an unreachable host, keeping what was already downloaded.
    WriteFileBytes(Path(L"control.json"),
                   "{\"installer_url\":\"https://localhost/launcher/ORVELANT_Launcher_Setup.exe\","
                   "\"installer_sha256\":\"" + std::string(32, 'A') + std::string(32, 'f') + "\"}");
    WriteFileBytes(Path(L"cache\\launcher-self-update\\ORVELANT_Launcher_Setup_latest.exe.part"),
                   "partial");
    ChildRun run = Run(L" /self-update /parent:{parent}");
    EXPECT_EQ(21u, run.exit_code);
    EXPECT_EQ((Statuses{{SELF_UPDATE_STARTED, 5}, {SELF_UPDATE_FAILED, 100}}), run.Statuses());
    EXPECT_EQ("Launcher self-update started\r\nDownload interrupted; .part retained for resume\r\n",
              Log());
    EXPECT_EQ("partial", ReadFileBytes(Path(
                             L"cache\\launcher-self-update\\ORVELANT_Launcher_Setup_latest.exe.part")));
}

using WorkerCrashGuard = WorkerFixture;

TEST_F(WorkerCrashGuard, AFaultInAnyModeEndsWithItsFailureStatusAndCode99) {
    UseTestHooks();
    struct Case { const wchar_t *fault; const wchar_t *args; int status; } cases[] = {
        {L"access", L" /parent:{parent} /product:x", PRODUCT_FAILED},
        {L"divide", L" /sync /parent:{parent}", SYNC_UNAVAILABLE},
        {L"raise", L" /self-update /sync /parent:{parent}", SELF_UPDATE_FAILED},
        {L"access", L" /sync /parent:{parent}", SYNC_UNAVAILABLE},
    };
    std::string expected_log;
    for (const Case &c : cases) {
        env_.Set(L"ORV_TEST_FAULT", c.fault);
        ChildRun run = Run(c.args);
        EXPECT_EQ(99u, run.exit_code) << Narrow(c.fault);
        EXPECT_EQ((Statuses{{c.status, 100}}), run.Statuses()) << Narrow(c.fault);
        expected_log += "Caught fatal exception inside isolated update worker\r\n";
    }
    EXPECT_EQ(expected_log, Log());
}

TEST_F(WorkerCrashGuard, TheTestBuildWithoutAFaultBehavesLikeTheShippedWorker) {
    UseTestHooks();
    ChildRun run = Run(L" /sync /parent:{parent}");
    EXPECT_EQ(0u, run.exit_code);
    EXPECT_EQ((Statuses{{SYNC_STARTED, 0}, {SYNC_UNAVAILABLE, 0}}), run.Statuses());
    EXPECT_EQ(kSyncLog, Log());
}

using WorkerTransferPosts = WorkerFixture;

TEST_F(WorkerTransferPosts, AtMostOnePostPer300msWhileBytesRemainAndTheLastAlways) {
    UseTestHooks();
    // 10 MiB + 1 byte expected and ten 1 MiB chunks 60 ms apart: the expected
    // bytes are never reached, so only the 300 ms rule decides.
    const unsigned long long mib = 1048576;
    env_.Set(L"ORV_TEST_TRANSFER",
             (std::to_wstring(10 * mib + 1) + L"," + std::to_wstring(mib) + L",60,10").c_str());
    ChildRun run = Run(L" /parent:{parent}");
    EXPECT_EQ(0u, run.exit_code);
    std::vector<WorkerMessage> posts = run.Transfers();
    ASSERT_GE(posts.size(), 2u);
    ASSERT_LE(posts.size(), 4u);  // first chunk, then one per 300 ms
    for (size_t i = 1; i < posts.size(); ++i)
        EXPECT_GE(posts[i].at_ms - posts[i - 1].at_ms, 250.0) << i;
    // The first post comes with the first chunk: 10 MiB + 1 byte left, rounded up.
    EXPECT_EQ(10, posts[0].lparam);
    for (const WorkerMessage &m : posts) {
        EXPECT_GE(m.lparam, 1);  // never rounded down to 0 while bytes remain
        EXPECT_GT(m.wparam, 0u);
        EXPECT_LT(m.wparam, 1024u * 1024u);  // KiB/s: at most about 17 MiB in 60 ms
    }
}

TEST_F(WorkerTransferPosts, TheChunkThatCompletesTheExpectedBytesAlwaysPosts) {
    UseTestHooks();
    env_.Set(L"ORV_TEST_TRANSFER", L"3072,1024,20,3");
    ChildRun run = Run(L" /parent:{parent}");
    std::vector<WorkerMessage> posts = run.Transfers();
    // The first chunk posts, the second (20 ms later) does not, the third
    // completes the expected bytes and posts at once.
    ASSERT_EQ(2u, posts.size());
    EXPECT_EQ(1, posts[0].lparam);
    EXPECT_EQ(0, posts[1].lparam);
}

TEST_F(WorkerTransferPosts, WithNothingExpectedEveryChunkPostsWithZeroRemaining) {
    UseTestHooks();
    env_.Set(L"ORV_TEST_TRANSFER", L"0,65536,5,8");
    ChildRun run = Run(L" /parent:{parent}");
    std::vector<WorkerMessage> posts = run.Transfers();
    ASSERT_EQ(8u, posts.size());
    for (const WorkerMessage &m : posts) EXPECT_EQ(0, m.lparam);
    EXPECT_TRUE(run.Statuses().empty());
}

TEST_F(WorkerTransferPosts, NoParentNoPosts) {
    UseTestHooks();
    env_.Set(L"ORV_TEST_TRANSFER", L"0,65536,5,4");
    ChildRun run = Run(L" /sync");
    EXPECT_TRUE(run.messages.empty());
    EXPECT_EQ(0u, run.exit_code);
}
