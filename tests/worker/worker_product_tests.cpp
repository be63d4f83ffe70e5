// Product jobs against the real update host: install, verify, update, the
// staged checks, the commit with backups and rollback, and jobs killed part
// way through.
#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <thread>

#include "update_host.h"
#include "worker_fixture.h"

using namespace orv_test;

namespace {

class ProductJob : public WorkerFixture {
protected:
    void SetUp() override {
        WorkerFixture::SetUp();
        WriteCatalog(Product("p", "p-dir", "Game.exe", "/games/four/manifest.json"));
    }
    void UseManifest(const std::string &name, const std::string &id = "p") {
        WriteCatalog(Product(id, "p-dir", "Game.exe", "/games/" + name + "/manifest.json"));
        name_ = name;
    }
    std::wstring Dir() const { return DefaultRoot() + L"\\p-dir"; }
    std::wstring Local(const std::wstring &relative) const { return Dir() + L"\\" + relative; }
    std::wstring Staged(const std::wstring &relative) const {
        return Path(L".orvelant-staging\\p\\" + relative + L".part");
    }
    std::wstring Backup(const std::wstring &relative) const {
        return Path(L".orvelant-backup\\p\\previous\\" + relative);
    }
    std::string Served(const std::wstring &relative) const {
        return ReadFileBytes(HostTree() + L"\\games\\" + Widen(name_) + L"\\files\\" + relative);
    }
    void Install(const std::wstring &relative) { WriteFileBytes(Local(relative), Served(relative)); }
    ChildRun Job(const ChildOptions &options = ChildOptions()) {
        return Run(L" /parent:{parent} /product:p", options);
    }
    bool HasMarker() const { return PathIsFile(Local(L".orvelant-known-good")); }
    void ExpectInstalled(const std::vector<std::wstring> &files) {
        for (const std::wstring &f : files) EXPECT_EQ(Served(f), ReadFileBytes(Local(f))) << Narrow(f);
    }
    std::string name_ = "four";
};

const std::vector<std::wstring> kFour = {L"Game.exe", L"data\\a.pak", L"data\\b.pak", L"c.txt"};
const std::vector<std::wstring> kThree = {L"Game.exe", L"one.pak", L"two.pak"};

std::string VersionJson(const std::string &v) { return "{\r\n  \"version\": \"" + v + "\"\r\n}\r\n"; }

}  // namespace

TEST_F(ProductJob, FreshInstallDownloadsEverythingAndSealsIt) {
    ChildRun run = Job();
    EXPECT_EQ(0u, run.exit_code);
    EXPECT_EQ((Statuses{{PRODUCT_CHECKING, 3}, {PRODUCT_VERIFYING, 10}, {PRODUCT_VERIFYING, 16},
                        {PRODUCT_VERIFYING, 22}, {PRODUCT_VERIFYING, 28}, {PRODUCT_VERIFYING, 35},
                        {PRODUCT_TRANSFER, 36}, {PRODUCT_TRANSFER, 47}, {PRODUCT_TRANSFER, 58},
                        {PRODUCT_TRANSFER, 69}, {PRODUCT_TRANSFER, 80}, {PRODUCT_TRANSFER, 82},
                        {PRODUCT_TRANSFER, 85}, {PRODUCT_TRANSFER, 89}, {PRODUCT_TRANSFER, 93},
                        {PRODUCT_TRANSFER, 97}, {PRODUCT_CURRENT, 100}}),
              run.Statuses());
    ExpectInstalled(kFour);
    EXPECT_EQ("ok\r\n", ReadFileBytes(Local(L".orvelant-known-good")));
    EXPECT_EQ(VersionJson("1.2.0"), ReadFileBytes(Local(L"version.json")));
    EXPECT_EQ(28u, ReadFileBytes(Local(L"version.json")).size());
    EXPECT_FALSE(PathIsFile(Staged(L"Game.exe")));
    EXPECT_FALSE(PathIsDir(Path(L".orvelant-backup\\p\\previous")));  // nothing was replaced
    ASSERT_FALSE(run.Transfers().empty());
    EXPECT_EQ(0, run.Transfers().back().lparam);  // the post after PRODUCT_CURRENT
    EXPECT_GT(run.Transfers().back().at_ms, 0);
    EXPECT_EQ("Product worker started\r\nProduct update committed successfully\r\n", Log());
}

TEST_F(ProductJob, OnlyTheFirstOfFourFilesNeedsADownload) {
    Install(L"data\\a.pak");
    Install(L"data\\b.pak");
    Install(L"c.txt");
    WriteFileBytes(Local(L"Game.exe"), "an older executable");
    ChildRun run = Job();
    EXPECT_EQ(0u, run.exit_code);
    EXPECT_EQ((Statuses{{PRODUCT_CHECKING, 3}, {PRODUCT_VERIFYING, 10}, {PRODUCT_VERIFYING, 16},
                        {PRODUCT_VERIFYING, 22}, {PRODUCT_VERIFYING, 28}, {PRODUCT_VERIFYING, 35},
                        {PRODUCT_TRANSFER, 36}, {PRODUCT_TRANSFER, 47}, {PRODUCT_TRANSFER, 82},
                        {PRODUCT_TRANSFER, 85}, {PRODUCT_CURRENT, 100}}),
              run.Statuses());
    ExpectInstalled(kFour);
    EXPECT_EQ("an older executable", ReadFileBytes(Backup(L"Game.exe")));
}

TEST_F(ProductJob, AlreadyCurrentRewritesMarkerAndVersion) {
    for (const std::wstring &f : kFour) Install(f);
    WriteFileBytes(Local(L"version.json"), "stale");
    ChildRun run = Job();
    EXPECT_EQ(0u, run.exit_code);
    EXPECT_EQ((Statuses{{PRODUCT_CHECKING, 3}, {PRODUCT_VERIFYING, 10}, {PRODUCT_VERIFYING, 16},
                        {PRODUCT_VERIFYING, 22}, {PRODUCT_VERIFYING, 28}, {PRODUCT_VERIFYING, 35},
                        {PRODUCT_CURRENT, 100}}),
              run.Statuses());
    EXPECT_TRUE(run.Transfers().empty());
    EXPECT_TRUE(HasMarker());
    EXPECT_EQ(VersionJson("1.2.0"), ReadFileBytes(Local(L"version.json")));
    // Repair does the same work; only its first log line differs.
    run = Run(L" /parent:{parent} /product:p /repair");
    EXPECT_EQ(7u, run.Statuses().size());
    EXPECT_EQ("Product worker started\r\nProduct already current\r\n"
              "Product worker started (repair)\r\nProduct already current\r\n",
              Log());
}

// The launcher window reads version.json at every status: a read that meets
// the Worker's write is waited out, not taken for a failed job.
TEST_F(ProductJob, VersionFileHeldOpenBrieflyByAReaderStillSealsTheJob) {
    for (const std::wstring &f : kFour) Install(f);
    WriteFileBytes(Local(L"version.json"), VersionJson("0.9"));
    HANDLE held = CreateFileW(Local(L"version.json").c_str(), GENERIC_READ, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    // The reader lets go 400 ms after the marker (written just before
    // version.json) appears.
    std::wstring marker = Local(L".orvelant-known-good");
    bool released_late = false;
    std::thread reader([&] {
        ULONGLONG start = GetTickCount64();
        while (!PathIsFile(marker) && GetTickCount64() - start < 30000) Sleep(2);
        Sleep(400);
        // Still the old text: the Worker has not written past the reader.
        released_late = ReadFileBytes(Local(L"version.json")) == VersionJson("0.9");
        CloseHandle(held);
    });
    ChildRun run = Job();
    reader.join();
    EXPECT_TRUE(released_late);
    EXPECT_EQ(0u, run.exit_code);
    ASSERT_FALSE(run.Statuses().empty());
    EXPECT_EQ(PRODUCT_CURRENT, run.Statuses().back().first);
    EXPECT_TRUE(HasMarker());
    EXPECT_EQ(VersionJson("1.2.0"), ReadFileBytes(Local(L"version.json")));
    EXPECT_EQ("Product worker started\r\nProduct already current\r\n", Log());
}

TEST_F(ProductJob, EmptyManifestCreatesTheFolderWithMarker) {
    UseManifest("empty");
    ChildRun run = Job();
    EXPECT_EQ(0u, run.exit_code);
    EXPECT_EQ((Statuses{{PRODUCT_CHECKING, 3}, {PRODUCT_VERIFYING, 10}, {PRODUCT_CURRENT, 100}}),
              run.Statuses());
    EXPECT_TRUE(HasMarker());
    EXPECT_EQ(VersionJson("2.0"), ReadFileBytes(Local(L"version.json")));
}

TEST_F(ProductJob, VersionTextWithoutQuotesOrBackslashesAndTheDefault) {
    UseManifest("quoted");
    EXPECT_EQ(0u, Job().exit_code);
    EXPECT_EQ(VersionJson("1.2x"), ReadFileBytes(Local(L"version.json")));
    UseManifest("plain");
    EXPECT_EQ(0u, Job().exit_code);
    EXPECT_EQ(VersionJson("current"), ReadFileBytes(Local(L"version.json")));
}

TEST_F(ProductJob, UnsafeManifestFailsBeforeAnythingIsTouched) {
    UseManifest("bad-path");
    ChildRun run = Job();
    EXPECT_EQ(11u, run.exit_code);
    EXPECT_EQ((Statuses{{PRODUCT_CHECKING, 3}, {PRODUCT_VERIFYING, 10}, {PRODUCT_FAILED, 100}}),
              run.Statuses());
    EXPECT_FALSE(PathIsDir(Dir()));
    EXPECT_EQ("Product worker started\r\nManifest parse/restriction failure\r\n", Log());
}

TEST_F(ProductJob, DefaultAndExplicitFileUrls) {
    UseManifest("urls");
    ChildRun run = Job();
    EXPECT_EQ(0u, run.exit_code);
    // "sub\x.bin" came from /games/urls/files/sub/x.bin and lies in sub\ on disk.
    EXPECT_EQ(Served(L"sub\\x.bin"), ReadFileBytes(Local(L"sub\\x.bin")));
    EXPECT_EQ(ReadFileBytes(HostTree() + L"\\files\\sub dir\\small.bin"),
              ReadFileBytes(Local(L"explicit.bin")));
    EXPECT_NE(std::string::npos, HostAccessLog().find("\"GET /games/urls/files/sub/x.bin "));
}

TEST_F(ProductJob, FullAddressesAreRefused) {
    UseManifest("full-url");
    ChildRun run = Job();
    EXPECT_EQ(12u, run.exit_code);
    EXPECT_EQ(PRODUCT_FAILED, run.Statuses().back().first);
    EXPECT_EQ("Product worker started\r\nFile URL rejected; must be host-relative\r\n", Log());
}

TEST_F(ProductJob, SecondOfThreeFailingItsHashLeavesTheProductAlone) {
    UseManifest("three-bad");
    WriteFileBytes(Local(L"Game.exe"), "old");
    ChildRun run = Job();
    EXPECT_EQ(12u, run.exit_code);
    // The first file travels beside the bad one: whether it is whole (and
    // counted) before the bad one's check stops the job depends on which
    // arrives first. Either way what it staged is kept for next time.
    Statuses statuses = run.Statuses();
    const bool first_whole = statuses.size() == 8;
    Statuses want{{PRODUCT_CHECKING, 3}, {PRODUCT_VERIFYING, 10}, {PRODUCT_VERIFYING, 18},
                  {PRODUCT_VERIFYING, 26}, {PRODUCT_VERIFYING, 35}, {PRODUCT_TRANSFER, 36}};
    if (first_whole) want.push_back({PRODUCT_TRANSFER, 50});
    want.push_back({PRODUCT_FAILED, 100});
    EXPECT_EQ(want, statuses);
    EXPECT_EQ("old", ReadFileBytes(Local(L"Game.exe")));
    const std::string first = ReadFileBytes(Staged(L"Game.exe"));
    if (first_whole)
        EXPECT_EQ(Served(L"Game.exe"), first);
    else
        EXPECT_EQ(Served(L"Game.exe").substr(0, first.size()), first);
    EXPECT_FALSE(PathIsFile(Staged(L"one.pak")));
    // The third travels beside the second and stops with it: what it staged
    // is the start of the file, kept for next time.
    const std::string third = ReadFileBytes(Staged(L"two.pak"));
    EXPECT_EQ(Served(L"two.pak").substr(0, third.size()), third);
    EXPECT_EQ("Product worker started\r\nStaged SHA-256 mismatch\r\n", Log());
}

TEST_F(ProductJob, ThirdOfThreeFailingToCommitRollsTheOthersBack) {
    UseManifest("three");
    WriteFileBytes(Local(L"Game.exe"), "old exe");  // replaced, then restored
    WriteFileBytes(Local(L"two.pak"), "old two");   // cannot be replaced
    WriteFileBytes(Local(L".orvelant-known-good"), "ok\r\n");
    WriteFileBytes(Local(L"version.json"), "old version");
    // Readable (so the backup copy works) but not replaceable.
    HANDLE held = CreateFileW(Local(L"two.pak").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    ChildRun run = Job();
    CloseHandle(held);
    EXPECT_EQ(12u, run.exit_code);
    EXPECT_EQ(PRODUCT_FAILED, run.Statuses().back().first);
    EXPECT_EQ("old exe", ReadFileBytes(Local(L"Game.exe")));
    EXPECT_FALSE(PathIsFile(Local(L"one.pak")));  // new in this release: deleted again
    EXPECT_EQ("old two", ReadFileBytes(Local(L"two.pak")));
    EXPECT_EQ(Served(L"two.pak"), ReadFileBytes(Staged(L"two.pak")));
    EXPECT_TRUE(HasMarker());  // the earlier install was known-good and is again
    EXPECT_EQ("old version", ReadFileBytes(Local(L"version.json")));
    // The failure names the error and both ends of the rename.
    EXPECT_EQ("Product worker started\r\n" +
                  FailedStepLine("Commit failed", ERROR_ACCESS_DENIED, Staged(L"two.pak"),
                                 Local(L"two.pak")) +
                  "Rollback completed after commit failure\r\n",
              Log());
}

TEST_F(ProductJob, OldFileMovedAsideIsPutBackWhenItsReplacementCannotBeCommitted) {
    UseManifest("three");
    for (const std::wstring &f : kThree) WriteFileBytes(Local(f), "old " + Narrow(f));
    WriteFileBytes(Local(L".orvelant-known-good"), "ok\r\n");
    // two.pak's complete staged copy is held open (readable, not writable,
    // not renamable): its check passes, its flush and move cannot, after
    // the old two.pak has already gone aside as its backup.
    WriteFileBytes(Staged(L"two.pak"), Served(L"two.pak"));
    HANDLE held = CreateFileW(Staged(L"two.pak").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    ChildRun run = Job();
    CloseHandle(held);
    EXPECT_EQ(12u, run.exit_code);
    for (const std::wstring &f : kThree) EXPECT_EQ("old " + Narrow(f), ReadFileBytes(Local(f)));
    EXPECT_TRUE(HasMarker());
    EXPECT_EQ(Served(L"two.pak"), ReadFileBytes(Staged(L"two.pak")));  // kept for next time
    const std::string log = Log();
    EXPECT_NE(std::string::npos, log.find(FailedStepLine("Commit failed", ERROR_SHARING_VIOLATION,
                                                         Staged(L"two.pak"), Local(L"two.pak"))))
        << log;
    EXPECT_EQ(std::string::npos, log.find("Rollback could not restore")) << log;
    // The next run, with nothing held, commits all three.
    ChildRun again = Job();
    EXPECT_EQ(0u, again.exit_code);
    ExpectInstalled(kThree);
    EXPECT_EQ("old two.pak", ReadFileBytes(Backup(L"two.pak")));
}

TEST_F(ProductJob, StalePartFromAnOlderReleaseIsDownloadedAgainOnce) {
    UseManifest("three");
    WriteFileBytes(Staged(L"one.pak"), std::string(5000, 'S'));  // not the start of one.pak
    ChildRun run = Job();
    EXPECT_EQ(0u, run.exit_code);
    ExpectInstalled(kThree);
    EXPECT_EQ("Product worker started\r\nHTTP Range resume accepted\r\n"
              "Resumed staged file failed SHA-256; downloading it again\r\n"
              "Product update committed successfully\r\n",
              Log());
}

TEST_F(ProductJob, CompleteStagedFileFromAnEarlierRunIsNotDownloadedAgain) {
    UseManifest("three");
    for (const std::wstring &f : kThree) WriteFileBytes(Staged(f), Served(f));
    size_t before = HostAccessLog().size();
    ChildRun run = Job();
    EXPECT_EQ(0u, run.exit_code);
    ExpectInstalled(kThree);
    std::string requests = HostAccessLog().substr(before);
    EXPECT_NE(std::string::npos, requests.find("/games/three/files/one.pak HTTP/1.1\" 416"));
}

TEST_F(ProductJob, CompleteStagedFileIsKeptWhenTheRangeIsAnsweredWithTheWholeFile) {
    UseManifest("whole");
    const std::vector<std::wstring> files = {L"Game.exe", L"one.pak"};
    for (const std::wstring &f : files) WriteFileBytes(Staged(f), Served(f));
    size_t before = HostAccessLog().size();
    ChildRun run = Job();
    EXPECT_EQ(0u, run.exit_code);
    ExpectInstalled(files);
    std::string requests = HostAccessLog().substr(before);
    EXPECT_NE(std::string::npos, requests.find("/norange/games/whole/files/one.pak HTTP/1.1\" 200"));
    // Neither file was started again: no restart, no interrupted download.
    std::string log = Log();
    EXPECT_EQ(std::string::npos, log.find("interrupted")) << log;
    size_t kept = 0;
    for (size_t at = log.find("Staged file already complete"); at != std::string::npos;
         at = log.find("Staged file already complete", at + 1))
        ++kept;
    EXPECT_EQ(2u, kept) << log;
}

TEST_F(ProductJob, UnreachableManifestTouchesNothing) {
    WriteCatalog(Product("p", "p-dir", "Game.exe", "/games/none/manifest.json"));
    WriteFileBytes(Local(L"Game.exe"), "exe");
    WriteFileBytes(Local(L".orvelant-known-good"), "ok\r\n");
    ChildRun run = Job();
    EXPECT_EQ(0u, run.exit_code);
    EXPECT_EQ((Statuses{{PRODUCT_CHECKING, 3}, {PRODUCT_OFFLINE_READY, 100}}), run.Statuses());
    EXPECT_EQ("exe", ReadFileBytes(Local(L"Game.exe")));
    EXPECT_FALSE(PathIsFile(Local(L"version.json")));
}

class KilledProductJob : public ProductJob {
protected:
    void SetUp() override {
        ProductJob::SetUp();
        UseTestHooks();
    }
    // Runs the job and kills the Worker at the first message that matches.
    ChildRun KillWhen(std::function<bool(const WorkerMessage &)> when) {
        ChildOptions options;
        options.on_message = [when](const WorkerMessage &m, HANDLE process) {
            if (when(m)) {
                TerminateProcess(process, 77);
                WaitForSingleObject(process, 5000);
            }
        };
        return Job(options);
    }
};

TEST_F(KilledProductJob, KilledAtPointsOfTheDownloadThenANormalJobFinishes) {
    UseManifest("slow");
    // Early in the two large files (which travel side by side), and later.
    for (double kill_after_ms : {1200.0, 3000.0}) {
        SCOPED_TRACE(kill_after_ms);
        std::error_code ec;
        std::filesystem::remove_all(Dir(), ec);
        std::filesystem::remove_all(Path(L".orvelant-staging"), ec);
        WriteFileBytes(Local(L"Game.exe"), "old");
        WriteFileBytes(Local(L".orvelant-known-good"), "ok\r\n");
        ChildRun run = KillWhen([kill_after_ms](const WorkerMessage &m) {
            return m.message == WM_WORKER_TRANSFER && m.at_ms > kill_after_ms;
        });
        EXPECT_EQ(77u, run.exit_code);
        EXPECT_EQ("old", ReadFileBytes(Local(L"Game.exe")));  // downloads never touch it
        EXPECT_TRUE(HasMarker());
        EXPECT_FALSE(PathIsFile(Local(L"big1.pak")));

        run = Job();
        EXPECT_EQ(0u, run.exit_code);
        ExpectInstalled({L"Game.exe", L"big1.pak", L"big2.pak"});
        EXPECT_TRUE(HasMarker());
    }
    EXPECT_NE(std::string::npos, Log().find("HTTP Range resume accepted"));
}

TEST_F(KilledProductJob, KilledAtPointsOfTheCommitLeavesNoMarkerOnAMixedInstall) {
    UseManifest("three");
    env_.Set(L"ORV_TEST_COMMIT_DELAY_MS", L"400");
    // After the first committed file (87), after the second (92), and after
    // the last (97) but before the marker is written.
    for (int at : {87, 92, 97}) {
        SCOPED_TRACE(at);
        for (const std::wstring &f : kThree) WriteFileBytes(Local(f), "old " + Narrow(f));
        WriteFileBytes(Local(L".orvelant-known-good"), "ok\r\n");
        ChildRun run = KillWhen([at](const WorkerMessage &m) {
            return m.message == WM_WORKER_STATUS && m.wparam == PRODUCT_TRANSFER && m.lparam == at;
        });
        EXPECT_EQ(77u, run.exit_code);
        EXPECT_EQ(Served(L"Game.exe"), ReadFileBytes(Local(L"Game.exe")));  // committed
        if (at < 92) EXPECT_EQ("old one.pak", ReadFileBytes(Local(L"one.pak")));
        if (at < 97) EXPECT_EQ("old two.pak", ReadFileBytes(Local(L"two.pak")));
        EXPECT_FALSE(HasMarker());

        env_.Set(L"ORV_TEST_COMMIT_DELAY_MS", nullptr);
        run = Job();
        env_.Set(L"ORV_TEST_COMMIT_DELAY_MS", L"400");
        EXPECT_EQ(0u, run.exit_code);
        ExpectInstalled(kThree);
        EXPECT_TRUE(HasMarker());
        EXPECT_EQ(VersionJson("3.0.0"), ReadFileBytes(Local(L"version.json")));
    }
}

TEST_F(ProductJob, ManifestAtTheHostRootTakesItsFilesFromFiles) {
    WriteCatalog(Product("p", "p-dir", "blob-1m.bin", "/root-game.json"));
    ChildRun run = Job();
    EXPECT_EQ(0u, run.exit_code);
    EXPECT_EQ(ReadFileBytes(HostTree() + L"\\files\\blob-1m.bin"), ReadFileBytes(Local(L"blob-1m.bin")));
    EXPECT_EQ(VersionJson("current"), ReadFileBytes(Local(L"version.json")));
}


// Thousands of files in nested folders: an install, a verify that finds one
// changed file, a repair of a deleted one, and an update killed in its commit
// phase followed by the normal run.
TEST_F(KilledProductJob, ThousandsOfFilesInstallVerifyRepairAndAKilledUpdate) {
    UseManifest("many");
    const std::wstring changed = L"d02\\s3\\f00523.bin";
    const std::wstring deleted = L"d03\\s1\\f00876.bin";
    const std::wstring first = L"d00\\s0\\f00000.bin";
    const std::wstring untouched = L"d03\\s4\\f00999.bin";
    ChildRun run = Job();
    ASSERT_EQ(0u, run.exit_code);
    ExpectInstalled({first, changed, deleted, untouched});
    EXPECT_TRUE(HasMarker());
    // A thousand files, yet few status posts: per-file steps come at most
    // every 300 ms, and each phase's end is always posted.
    Statuses statuses = run.Statuses();
    EXPECT_LT(statuses.size(), 250u);
    EXPECT_NE(statuses.end(), std::find(statuses.begin(), statuses.end(),
                                        std::pair<int, int>{PRODUCT_VERIFYING, 35}));
    EXPECT_EQ((std::pair<int, int>{PRODUCT_CURRENT, 100}), statuses.back());
    double last_step = -1000;
    for (const WorkerMessage &m : run.messages) {
        if (m.message != WM_WORKER_STATUS || m.wparam != PRODUCT_TRANSFER) continue;
        if (m.lparam == 36 || m.lparam == 82) continue;  // phase starts
        EXPECT_GT(m.at_ms - last_step, 250.0) << m.lparam;  // 300 ms apart, less the clock's grain
        last_step = m.at_ms;
    }

    WriteFileBytes(Local(changed), "changed");
    run = Job();
    EXPECT_EQ(0u, run.exit_code);
    ExpectInstalled({changed});
    // Only the changed file was replaced: it alone is in the backup area.
    EXPECT_EQ("changed", ReadFileBytes(Backup(changed)));
    EXPECT_FALSE(PathIsFile(Backup(first)));

    DeleteFileW(Local(deleted).c_str());
    run = Run(L" /parent:{parent} /product:p /repair");
    EXPECT_EQ(0u, run.exit_code);
    ExpectInstalled({deleted});
    EXPECT_TRUE(HasMarker());

    // Version 2 changes the first 150 files; the commit is slowed down and the
    // Worker killed once a part of them is in place.
    UseManifest("many-2");
    env_.Set(L"ORV_TEST_COMMIT_DELAY_MS", L"10");
    run = KillWhen([](const WorkerMessage &m) {
        return m.message == WM_WORKER_STATUS && m.wparam == PRODUCT_TRANSFER && m.lparam > 82;
    });
    env_.Set(L"ORV_TEST_COMMIT_DELAY_MS", nullptr);
    EXPECT_EQ(77u, run.exit_code);
    const std::wstring last_changed = L"d00\\s4\\f00149.bin";
    EXPECT_EQ(Served(first), ReadFileBytes(Local(first)));  // committed
    EXPECT_NE(Served(last_changed), ReadFileBytes(Local(last_changed)));  // not yet
    EXPECT_FALSE(HasMarker());  // a mixed install is never known-good

    run = Job();
    EXPECT_EQ(0u, run.exit_code);
    ExpectInstalled({first, last_changed, changed, untouched});
    EXPECT_TRUE(HasMarker());
    EXPECT_EQ(VersionJson("2"), ReadFileBytes(Local(L"version.json")));
}

// A scanner or indexer holding a file for a moment at the commit: the
// backup copy and the commit move wait it out and the job succeeds.
TEST_F(KilledProductJob, BriefLocksAtTheCommitAreWaitedOut) {
    UseManifest("three");
    WriteFileBytes(Local(L"Game.exe"), "old exe");
    WriteFileBytes(Staged(L"one.pak"), Served(L"one.pak"));  // complete from an earlier run
    // Game.exe held without sharing (its backup copy cannot read it), one.pak's
    // staged file held for reading (it cannot be moved), until the commit begins.
    HANDLE game = CreateFileW(Local(L"Game.exe").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
    HANDLE staged = CreateFileW(Staged(L"one.pak").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, game);
    ASSERT_NE(INVALID_HANDLE_VALUE, staged);
    ChildOptions options;
    options.on_message = [&](const WorkerMessage &m, HANDLE) {
        if (m.message != WM_WORKER_STATUS || m.wparam != PRODUCT_TRANSFER || m.lparam != 82) return;
        Sleep(150);
        CloseHandle(game);
        game = INVALID_HANDLE_VALUE;
        Sleep(150);
        CloseHandle(staged);
        staged = INVALID_HANDLE_VALUE;
    };
    ChildRun run = Job(options);
    if (game != INVALID_HANDLE_VALUE) CloseHandle(game);
    if (staged != INVALID_HANDLE_VALUE) CloseHandle(staged);
    EXPECT_EQ(0u, run.exit_code);
    ExpectInstalled(kThree);
    EXPECT_EQ("old exe", ReadFileBytes(Backup(L"Game.exe")));
    EXPECT_TRUE(HasMarker());
}

// The rollback cannot put one file back (its backup is held without sharing
// when the rollback runs): the mixed install is left without the marker and
// the log names the file.
TEST_F(KilledProductJob, RollbackThatCannotRestoreAFileLeavesNoMarker) {
    UseManifest("three");
    env_.Set(L"ORV_TEST_COMMIT_DELAY_MS", L"300");
    WriteFileBytes(Local(L"Game.exe"), "old exe");
    WriteFileBytes(Local(L"two.pak"), "old two");
    WriteFileBytes(Local(L".orvelant-known-good"), "ok\r\n");
    HANDLE two = CreateFileW(Local(L"two.pak").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, two);
    HANDLE backup = INVALID_HANDLE_VALUE;
    ChildOptions options;
    options.on_message = [&](const WorkerMessage &m, HANDLE) {
        // After Game.exe's commit its backup exists; hold it from then on.
        if (m.message == WM_WORKER_STATUS && m.wparam == PRODUCT_TRANSFER && m.lparam == 87)
            backup = CreateFileW(Backup(L"Game.exe").c_str(), GENERIC_READ, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    };
    ChildRun run = Job(options);
    ASSERT_NE(INVALID_HANDLE_VALUE, backup);
    CloseHandle(backup);
    CloseHandle(two);
    EXPECT_EQ(12u, run.exit_code);
    EXPECT_EQ(Served(L"Game.exe"), ReadFileBytes(Local(L"Game.exe")));  // could not be put back
    EXPECT_FALSE(PathIsFile(Local(L"one.pak")));
    EXPECT_EQ("old two", ReadFileBytes(Local(L"two.pak")));
    EXPECT_FALSE(HasMarker());
    EXPECT_EQ("Product worker started\r\n" +
                  FailedStepLine("Commit failed", ERROR_ACCESS_DENIED, Staged(L"two.pak"),
                                 Local(L"two.pak")) +
                  FailedStepLine("Rollback could not restore", ERROR_SHARING_VIOLATION,
                                 Backup(L"Game.exe"), Local(L"Game.exe")) +
                  "Rollback completed after commit failure\r\n",
              Log());
}

namespace {

// The requests the hostile host logged after the first `from` of them.
std::vector<FlakyRequest> FlakySince(size_t from) {
    std::vector<FlakyRequest> all = FlakyRequests();
    return std::vector<FlakyRequest>(all.begin() + std::min(from, all.size()), all.end());
}

int MostInFlight(const std::vector<FlakyRequest> &requests) {
    int most = 0;
    for (const FlakyRequest &r : requests) most = std::max(most, r.inflight);
    return most;
}

// Every file of a served product folder, as relative Windows paths.
std::vector<std::wstring> ServedFiles(const std::wstring &folder) {
    std::vector<std::wstring> files;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(folder))
        if (entry.is_regular_file())
            files.push_back(std::filesystem::relative(entry.path(), folder).wstring());
    return files;
}

std::string UrlPath(const std::wstring &relative) {
    std::string path = Narrow(relative);
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

}  // namespace

// 300 small files and a large one that travels in segments (several ranges
// at once), several requests in flight (each slow at the host), the Worker
// killed part way: the next run asks for none of the files the first one
// staged whole, and for each segment of the large one only from where its
// bytes in the ".part" end.
TEST_F(KilledProductJob, SeveralRequestsInFlightKilledPartWayThenNothingStagedIsFetchedAgain) {
    UseManifest("wide");
    const size_t segment = 262144;
    env_.Set(L"ORV_TEST_SEGMENT_BYTES", std::to_wstring(segment).c_str());
    const std::wstring served_dir = HostTree() + L"\\games\\wide\\files";
    const std::vector<std::wstring> files = ServedFiles(served_dir);
    ASSERT_EQ(301u, files.size());
    const std::string prefix = "/flaky/slow/games/wide/files/";
    const std::string large_url = prefix + "large.pak", large = Served(L"large.pak");
    size_t before = FlakyRequests().size();
    double first_post = -1;  // half way through the first segments
    ChildRun run = KillWhen([&first_post](const WorkerMessage &m) {
        if (m.message != WM_WORKER_TRANSFER) return false;
        if (first_post < 0) first_post = m.at_ms;
        return m.at_ms - first_post > 500;
    });
    ASSERT_EQ(77u, run.exit_code);
    std::vector<FlakyRequest> first = FlakySince(before);
    EXPECT_GE(MostInFlight(first), 2);  // several requests at once
    int large_ranges = 0;
    for (const FlakyRequest &r : first) large_ranges += r.url == large_url ? 1 : 0;
    EXPECT_GE(large_ranges, 2);  // several ranges of the large file
    std::map<std::string, size_t> staged_whole;  // URL, size
    for (const std::wstring &f : files) {
        std::string served = Served(f);
        if (ReadFileBytes(Staged(f)) == served) staged_whole[prefix + UrlPath(f)] = served.size();
    }
    // How much of each segment's start the .part holds.
    const std::string part = ReadFileBytes(Staged(L"large.pak"));
    std::map<size_t, size_t> segment_have;  // first byte, bytes in place
    size_t have_total = 0;
    for (size_t at = 0; at < large.size(); at += segment) {
        size_t n = 0, end = std::min(large.size(), at + segment);
        while (at + n < end && at + n < part.size() && part[at + n] == large[at + n]) ++n;
        segment_have[at] = n;
        have_total += n;
    }
    EXPECT_GT(have_total, 0u);
    EXPECT_LT(have_total, large.size());  // killed part way through it
    EXPECT_FALSE(HasMarker());

    before = FlakyRequests().size();
    run = Job();
    EXPECT_EQ(0u, run.exit_code);
    ExpectInstalled(files);
    EXPECT_TRUE(HasMarker());
    std::map<std::string, int> asked;
    size_t fetched = 0, large_sent = 0;
    for (const FlakyRequest &r : FlakySince(before)) {
        ++asked[r.url];
        auto whole = staged_whole.find(r.url);
        if (whole != staged_whole.end()) {
            // At most the question whether anything follows its end (416).
            EXPECT_EQ("bytes=" + std::to_string(whole->second) + "-", r.range) << r.url;
            EXPECT_LE(r.sent, 0) << r.url;
        } else if (r.url != large_url) {
            ++fetched;
        } else {
            unsigned long long from = 0, to = 0;
            ASSERT_EQ(2, sscanf(r.range.c_str(), "bytes=%llu-%llu", &from, &to)) << r.range;
            size_t start = from / segment * segment;
            EXPECT_EQ(start + segment_have[start], from) << r.range;
            EXPECT_EQ(std::min(large.size(), start + segment) - 1, to) << r.range;
            large_sent += (size_t)r.sent;
        }
    }
    EXPECT_EQ(large.size() - have_total, large_sent);
    for (const auto &url : asked)
        if (url.first != large_url) EXPECT_EQ(1, url.second) << url.first;
    EXPECT_EQ(files.size() - 1, fetched + staged_whole.size());
}

// What a killed first install recorded of its segments goes on only for the
// same file: a same-size file of a newer release starts afresh, and a record
// whose bytes were lost (a power cut) starts over once, whole.
TEST_F(KilledProductJob, RecordedSegmentsGoOnOnlyForTheFileTheyWereFor) {
    env_.Set(L"ORV_TEST_SEGMENT_BYTES", L"262144");
    const std::vector<std::wstring> files = {L"Game.exe", L"large.pak"};
    auto killed = [&](const std::string &name) {
        UseManifest(name);
        double first = -1;
        ChildRun run = KillWhen([&first](const WorkerMessage &m) {
            if (m.message != WM_WORKER_TRANSFER) return false;
            if (first < 0) first = m.at_ms;
            return m.at_ms - first > 400;
        });
        EXPECT_EQ(77u, run.exit_code);
        EXPECT_GT(ReadFileBytes(Staged(L"large.pak")).size(), 0u);
    };
    killed("seg-a");
    UseManifest("seg-b");
    ChildRun run = Job();
    EXPECT_EQ(0u, run.exit_code);
    ExpectInstalled(files);
    EXPECT_EQ(std::string::npos, Log().find("failed SHA-256"));

    std::filesystem::remove_all(Dir());
    killed("seg-a");
    const std::string part = ReadFileBytes(Staged(L"large.pak"));
    WriteFileBytes(Staged(L"large.pak"), std::string(part.size(), '\0'));
    run = Job();
    EXPECT_EQ(0u, run.exit_code);
    ExpectInstalled(files);
    EXPECT_NE(std::string::npos, Log().find("Resumed staged file failed SHA-256; downloading it again"));

    // A range answered with the whole body (a cache that does not hold it
    // yet) is asked once more: the segments stay, no whole file travels.
    std::filesystem::remove_all(Dir());
    UseManifest("seg-whole");
    const size_t before = FlakyRequests().size();
    run = Job();
    EXPECT_EQ(0u, run.exit_code);
    ExpectInstalled(files);
    int ranges = 0;
    for (const FlakyRequest &r : FlakySince(before)) {
        EXPECT_NE("-", r.range) << r.url;
        ++ranges;
    }
    EXPECT_GE(ranges, 8);  // each of the 4 segments asked twice
    EXPECT_NE(std::string::npos, Log().find("Range answered with the whole body; asked again"));
    EXPECT_EQ(std::string::npos, Log().find("Host ignored the range request"));
}

// 24 files of 256 KiB, each sent at 256 KiB/s by the host: the bandwidth
// limit (below what the requests in flight could take) holds for all of them
// together (the average the Worker posts stays within 10 % of it), and the
// settings value "ParallelRequests" bounds the requests in flight.
TEST_F(ProductJob, BandwidthLimitHoldsForTheRequestsTogether) {
    UseManifest("crowd-slow");
    SettingsGuard::SetNumber(L"BandwidthKbps", 1024);
    size_t before = FlakyRequests().size();
    ChildRun run = Job();
    EXPECT_EQ(0u, run.exit_code);
    ExpectInstalled(ServedFiles(HostTree() + L"\\games\\crowd-slow\\files"));
    EXPECT_GE(MostInFlight(FlakySince(before)), 2);
    std::vector<WorkerMessage> posts = run.Transfers();
    ASSERT_FALSE(posts.empty());
    EXPECT_GE(posts.back().wparam, 1024u * 9 / 10);  // average KiB/s over the whole download
    EXPECT_LE(posts.back().wparam, 1024u * 11 / 10);
    EXPECT_GT(posts.back().at_ms - posts.front().at_ms, 4000.0);  // 6 MiB do not rush through

    SettingsGuard::SetNumber(L"BandwidthKbps", 0);
    SettingsGuard::SetNumber(L"ParallelRequests", 2);
    UseManifest("crowd");
    std::filesystem::remove_all(Dir());
    before = FlakyRequests().size();
    run = Job();
    EXPECT_EQ(0u, run.exit_code);
    std::vector<FlakyRequest> bounded = FlakySince(before);
    EXPECT_EQ(24u, bounded.size());
    EXPECT_LE(MostInFlight(bounded), 2);
}

// A pause stops every request in flight (no staged file grows while the flag
// is there) and all of them go on after it, each on its own request.
TEST_F(ProductJob, PauseStopsEveryRequestInFlightAndResumesThemAll) {
    UseManifest("crowd-slow");
    const std::wstring flag = Path(L"pause.download");
    const std::vector<std::wstring> files = ServedFiles(HostTree() + L"\\games\\crowd\\files");
    auto staged_bytes = [&] {
        unsigned long long sum = 0;
        for (const std::wstring &f : files)
            if (std::filesystem::exists(Staged(f))) sum += std::filesystem::file_size(Staged(f));
        return sum;
    };
    size_t before = FlakyRequests().size();
    int in_flight_at_pause = 0;
    unsigned long long paused_bytes = 0, later_bytes = 0;
    bool paused = false;
    double first_post = -1;
    ChildOptions options;
    options.on_message = [&](const WorkerMessage &m, HANDLE) {
        if (paused || m.message != WM_WORKER_TRANSFER) return;
        if (first_post < 0) first_post = m.at_ms;
        if (m.at_ms - first_post < 500) return;  // half way through the first files
        paused = true;
        WriteFileBytes(flag, "");
        Sleep(400);  // a poll is at most 150 ms away, plus the chunks in flight
        for (const std::wstring &f : files) {
            unsigned long long size =
                std::filesystem::exists(Staged(f)) ? std::filesystem::file_size(Staged(f)) : 0;
            if (size > 0 && size < Served(f).size()) ++in_flight_at_pause;  // begun, not done
        }
        paused_bytes = staged_bytes();
        Sleep(1500);
        later_bytes = staged_bytes();
        DeleteFileW(flag.c_str());
    };
    ChildRun run = Job(options);
    EXPECT_TRUE(paused);
    EXPECT_EQ(0u, run.exit_code);
    ExpectInstalled(files);
    EXPECT_GE(in_flight_at_pause, 2);
    EXPECT_EQ(paused_bytes, later_bytes);
    // One request per file: the pause kept every request open.
    EXPECT_EQ(files.size(), FlakySince(before).size());
}

// Faults on the first request of each file: a connection dropped mid-body
// (also each range of a large file fetched in ranges), a 503, and a part
// answer that starts elsewhere. Each is asked for again and the job ends
// current, the retries resuming from the bytes already staged.
TEST_F(KilledProductJob, DroppedConnectionsCutRangesAnd503sAreAskedAgain) {
    UseManifest("flaky");
    env_.Set(L"ORV_TEST_RANGE_BYTES", L"1048576");
    size_t before = FlakyRequests().size();
    ChildRun run = Job();
    env_.Set(L"ORV_TEST_RANGE_BYTES", nullptr);
    EXPECT_EQ(0u, run.exit_code);
    ExpectInstalled({L"Game.exe", L"one.pak", L"big.pak", L"big2.pak"});
    EXPECT_TRUE(HasMarker());
    std::vector<FlakyRequest> requests = FlakySince(before);
    std::map<std::string, std::vector<FlakyRequest>> by_url;
    for (const FlakyRequest &r : requests) by_url[r.url].push_back(r);
    // The whole file, cut at half: asked again from where the cut came.
    const auto &exe = by_url["/flaky/drop/games/flaky/files/Game.exe"];
    ASSERT_EQ(2u, exe.size());
    EXPECT_TRUE(exe[0].fault);
    EXPECT_EQ("bytes=" + std::to_string(exe[0].sent) + "-", exe[1].range);
    EXPECT_EQ(2u, by_url["/flaky/503/games/flaky/files/one.pak"].size());
    // Three ranges of 1 MiB, each cut once and asked again from its cut.
    const auto &big = by_url["/flaky/drop/games/flaky/files/big.pak"];
    ASSERT_EQ(6u, big.size());
    for (size_t k = 0; k + 1 < big.size(); k += 2) {
        EXPECT_TRUE(big[k].fault);
        EXPECT_FALSE(big[k + 1].fault);
    }
    // A part answer that starts elsewhere is dropped and the same range asked again.
    const auto &big2 = by_url["/flaky/wrongstart/games/flaky/files/big2.pak"];
    ASSERT_GE(big2.size(), 2u);
    EXPECT_EQ(big2[0].range, big2[1].range);
    std::string log = Log();
    EXPECT_NE(std::string::npos, log.find("Download interrupted; asking again"));
    EXPECT_NE(std::string::npos, log.find("Range transfer interrupted; asking again"));
    EXPECT_NE(std::string::npos, log.find("Range answer starts elsewhere; asked again"));
    EXPECT_EQ(std::string::npos, log.find("Download failed"));

    // Again with the large file in one request, cut and resumed: the bytes
    // already on disk count once, so the figures reach their total only at
    // the end and the posts keep their pace until then.
    std::filesystem::remove_all(Dir());
    run = Job();
    EXPECT_EQ(0u, run.exit_code);
    ExpectInstalled({L"Game.exe", L"one.pak", L"big.pak", L"big2.pak"});
    // Before the job's last post (always at 0), only the one that reached it.
    const std::vector<WorkerMessage> posts = run.Transfers();
    ASSERT_FALSE(posts.empty());
    int at_total = 0;
    for (size_t k = 0; k + 1 < posts.size(); ++k) at_total += posts[k].lparam == 0 ? 1 : 0;
    EXPECT_EQ(1, at_total);
}

namespace {

// A product of 300 small files published with this build's release tool
// (release 2: one small file changed), copied into the host tree.
class PackedProductJob : public KilledProductJob {
protected:
    void SetUp() override {
        KilledProductJob::SetUp();
        WriteCatalog(Product("p", "p-dir", "Game.exe", "/games/packed/manifest.json"));
    }
    static std::string Work() { return std::string(ORV_TEST_SCRATCH_UNIX) + "/packed-release"; }
    void Publish(int version, const std::string &options = "") {
        const std::string w = Work();
        const std::string tool = ORV_TEST_BUILD_UNIX "/native/orvelant-release";
        const std::wstring script = Widen("Z:" + w + ".sh");
        WriteFileBytes(script,
            "set -e; w=" + w + "\n"
            "if [ $1 = 1 ]; then rm -rf $w; mkdir -p $w/v1; printf 'MZ packed' >$w/v1/Game.exe\n"
            "for i in $(seq 100 399); do mkdir -p $w/v1/d$((i / 100))\n"
            "  head -c $((200 + i * 37 % 9000)) /dev/urandom >$w/v1/d$((i / 100))/f$i.bin; done\n"
            "cp -a $w/v1 $w/v2; head -c 5000 /dev/urandom >$w/v2/d2/f250.bin\n"
            "for v in 1 2; do printf '%s\\n' 'host = localhost' "
            "'signing_key = " ORV_TEST_BUILD_UNIX "/keys/update-signing.pem' '[product p]' 'title = P' "
            "'install_dir = p-dir' 'executable = Game.exe' 'manifest_path = /games/packed/manifest.json' "
            "\"folder = $w/v$v\" \"version = $v\" >$w/release-$v.txt; done\n"
            "fi; " + tool + " publish $w/release-$1.txt $w/tree " + options + " >/dev/null\n"
            "rm -rf " ORV_TEST_HOST_TREE_UNIX "/games/packed\n"
            "cp -a $w/tree/games $w/tree/content " ORV_TEST_HOST_TREE_UNIX "/\n"
            "touch $w/published\n");
        ASSERT_TRUE(RunOnHost("bash " + w + ".sh " + std::to_string(version)));
        ASSERT_TRUE(PathIsFile(Widen("Z:" + w + "/published")));
        version_ = version;
    }
    // Files (path with "\") and the address each is served at, from the served manifest.
    std::map<std::wstring, std::string> Addresses() const {
        std::map<std::wstring, std::string> out;
        const std::string m = ReadFileBytes(HostTree() + L"\\games\\packed\\manifest.json");
        for (size_t at = m.find("\"path\": \""); at != std::string::npos; at = m.find("\"path\": \"", at + 1)) {
            size_t from = at + 9, url = m.find("\"url\": \"", from) + 8;
            std::wstring path = Widen(m.substr(from, m.find('"', from) - from));
            for (wchar_t &c : path) if (c == L'/') c = L'\\';
            out[path] = m.substr(url, m.find('"', url) - url);
        }
        return out;
    }
    // The packs of the served index: address and its members' SHA-256 (hex).
    std::vector<std::pair<std::string, std::vector<std::string>>> Packs() const {
        std::vector<std::pair<std::string, std::vector<std::string>>> out;
        const std::string index = ReadFileBytes(HostTree() + L"\\games\\packed\\manifest.json.packs");
        const size_t header = index.find('\n');
        if (header == std::string::npos) return out;
        const size_t packs = std::strtoull(index.c_str() + index.find("\"packs\": ") + 9, nullptr, 10);
        auto hex = [&](size_t at) {
            std::string h;
            for (size_t i = 0; i < 32; ++i) {
                char b[3];
                snprintf(b, sizeof b, "%02x", (unsigned char)index[at + i]);
                h += b;
            }
            return h;
        };
        size_t member = header + 1 + packs * 44;
        for (size_t p = 0; p < packs; ++p) {
            const size_t record = header + 1 + p * 44;
            const std::string sha = hex(record);
            std::vector<std::string> members;
            const unsigned count = (unsigned char)index[record + 40] | (unsigned char)index[record + 41] << 8;
            for (unsigned i = 0; i < count; ++i, member += 40) members.push_back(hex(member));
            out.push_back({"/content/" + sha.substr(0, 2) + "/" + sha, members});
        }
        return out;
    }
    std::string Source(const std::wstring &relative) const {
        return ReadFileBytes(Widen("Z:" + Work() + "/v" + std::to_string(version_) + "/") + relative);
    }
    void ExpectSourceInstalled() {
        for (const auto &f : Addresses()) EXPECT_EQ(Source(f.first), ReadFileBytes(Local(f.first))) << Narrow(f.first);
    }
    int version_ = 1;
};

size_t Count(const std::string &log, const std::string &needle) {
    size_t n = 0;
    for (size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1)) ++n;
    return n;
}

}  // namespace

// An install takes the small files in packs: one request per pack and one
// per file left out of every pack. An update of one small file fetches that
// file, not its new pack; a missing pack leaves its files to travel alone.
TEST_F(PackedProductJob, InstallFromPacksOneChangedFileAloneAndAMissingPackFallsBack) {
    Publish(1);
    const auto files = Addresses();
    const auto packs = Packs();
    ASSERT_EQ(301u, files.size());
    ASSERT_GE(packs.size(), 2u);
    size_t members = 0;
    for (const auto &p : packs) members += p.second.size();
    size_t mark = HostAccessLog().size();
    ChildRun run = Job();
    EXPECT_EQ(0u, run.exit_code);
    ExpectSourceInstalled();
    EXPECT_TRUE(HasMarker());
    std::string log = HostAccessLog().substr(mark);
    EXPECT_EQ(1u, Count(log, "\"GET /games/packed/manifest.json.packs HTTP/1.1\" 200 "));
    for (const auto &p : packs) EXPECT_EQ(1u, Count(log, "\"GET " + p.first + " HTTP/1.1\" 200 ")) << p.first;
    EXPECT_EQ(packs.size() + files.size() - members, Count(log, "\"GET /content/"));

    // Release 2: the pack that holds the changed file is new, and not fetched.
    Publish(2);
    const std::wstring changed = L"d2\\f250.bin";
    mark = HostAccessLog().size();
    run = Job();
    EXPECT_EQ(0u, run.exit_code);
    ExpectSourceInstalled();
    log = HostAccessLog().substr(mark);
    EXPECT_EQ(1u, Count(log, "\"GET /content/"));
    EXPECT_EQ(1u, Count(log, "\"GET " + Addresses()[changed] + " HTTP/1.1\" 200 ")) << log;

    // A fresh install while one pack is gone from the host, and another one
    // half fetched by a run that was stopped: its ".part" is resumed.
    const auto now = Packs();
    std::wstring gone = Widen(now[0].first), half = Widen(now[1].first);
    for (wchar_t &c : gone) if (c == L'/') c = L'\\';
    for (wchar_t &c : half) if (c == L'/') c = L'\\';
    const std::string half_bytes = ReadFileBytes(HostTree() + half);
    ASSERT_TRUE(DeleteFileW((HostTree() + gone).c_str()));
    std::error_code ec;
    std::filesystem::remove_all(Dir(), ec);
    WriteFileBytes(Path(L".orvelant-staging\\.packs\\p\\" + half.substr(half.rfind(L'\\') + 1) + L".part"),
                   half_bytes.substr(0, half_bytes.size() / 2));
    mark = HostAccessLog().size();
    run = Job();
    EXPECT_EQ(0u, run.exit_code);
    ExpectSourceInstalled();
    EXPECT_TRUE(HasMarker());
    log = HostAccessLog().substr(mark);
    EXPECT_EQ(1u, Count(log, "\"GET " + now[0].first + " HTTP/1.1\" 404 "));
    EXPECT_EQ(1u, Count(log, "\"GET " + now[1].first + " HTTP/1.1\" 206 " +
                                 std::to_string(half_bytes.size() - half_bytes.size() / 2) + " "));
    std::map<std::string, std::string> by_sha;  // SHA-256 -> address
    for (const auto &f : files) by_sha[f.second.substr(f.second.rfind('/') + 1)] = f.second;
    for (const auto &f : Addresses()) by_sha[f.second.substr(f.second.rfind('/') + 1)] = f.second;
    for (const std::string &sha : now[0].second)
        EXPECT_EQ(1u, Count(log, "\"GET " + by_sha[sha] + " HTTP/1.1\" 200 ")) << sha;
    EXPECT_NE(std::string::npos, Log().find("Pack unavailable; fetching its files one by one"));

    // A first install killed while its packs travel (slowly, under a
    // bandwidth limit): the next run resumes them where they stopped.
    std::filesystem::remove_all(Dir(), ec);
    std::filesystem::remove_all(Path(L".orvelant-staging"), ec);
    SettingsGuard::SetNumber(L"BandwidthKbps", 400);
    double first_post = -1;  // a second into the transfers
    run = KillWhen([&first_post](const WorkerMessage &m) {
        if (m.message != WM_WORKER_TRANSFER) return false;
        if (first_post < 0) first_post = m.at_ms;
        return m.at_ms - first_post > 1000;
    });
    SettingsGuard::SetNumber(L"BandwidthKbps", 0);
    EXPECT_EQ(77u, run.exit_code);
    EXPECT_FALSE(HasMarker());
    mark = HostAccessLog().size();
    run = Job();
    EXPECT_EQ(0u, run.exit_code);
    ExpectSourceInstalled();
    EXPECT_TRUE(HasMarker());
    log = HostAccessLog().substr(mark);
    size_t resumed = 0;
    for (size_t p = 1; p < now.size(); ++p) resumed += Count(log, "\"GET " + now[p].first + " HTTP/1.1\" 206 ");
    EXPECT_GE(resumed, 1u) << log;
}

// The check before a start on a current product: one conditional request for
// the manifest, answered 304 with no body, and no file read (one is held open
// without sharing, which any read would fail on). A file changed behind the
// launcher's back is read and mended; one rewritten with its size and times
// put back is not seen by the check but is by a repair. A kept manifest that
// expired is asked for whole again; a compressed twin that inflates past the
// manifest cap is refused for the plain manifest; a tree without twins works.
TEST_F(PackedProductJob, CheckBeforeAStartRevalidatesTheManifestAndReadsOnlyWhatChanged) {
    const std::string twin = "/games/packed/manifest.json.gz";
    const std::string plain = "/games/packed/manifest.json";
    Publish(1);
    size_t mark = HostAccessLog().size();
    ASSERT_EQ(0u, Job().exit_code);
    std::string log = HostAccessLog().substr(mark);
    EXPECT_EQ(1u, Count(log, "\"GET " + twin + " HTTP/1.1\" 200 ")) << log;
    EXPECT_EQ(0u, Count(log, "\"GET " + plain + " HTTP/1.1\"")) << log;

    HANDLE held = CreateFileW(Local(L"d1\\f150.bin").c_str(), GENERIC_READ, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    mark = HostAccessLog().size();
    ChildRun run = Job();
    CloseHandle(held);
    EXPECT_EQ(0u, run.exit_code);
    EXPECT_EQ((std::pair<int, int>{PRODUCT_CURRENT, 100}), run.Statuses().back());
    log = HostAccessLog().substr(mark);
    EXPECT_EQ(1u, Count(log, "\"GET ")) << log;
    EXPECT_EQ(1u, Count(log, "\"GET " + twin + " HTTP/1.1\" 304 0 ")) << log;

    // One file grows, one is rewritten at its size: both are read and mended.
    WriteFileBytes(Local(L"d1\\f160.bin"), Source(L"d1\\f160.bin") + "x");
    std::string flipped = Source(L"d3\\f300.bin");
    flipped[0] ^= 1;
    WriteFileBytes(Local(L"d3\\f300.bin"), flipped);
    mark = HostAccessLog().size();
    EXPECT_EQ(0u, Job().exit_code);
    ExpectSourceInstalled();
    EXPECT_EQ(2u, Count(HostAccessLog().substr(mark), "\"GET /content/"));

    // Rewritten in place with its size and times put back: the check does not
    // read it; a repair reads every file and mends it.
    const std::wstring quiet = Local(L"d2\\f220.bin");
    HANDLE h = CreateFileW(quiet.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    FILETIME created, accessed, written;
    ASSERT_TRUE(GetFileTime(h, &created, &accessed, &written));
    char first = Source(L"d2\\f220.bin")[0] ^ 1;
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, &first, 1, &n, nullptr));
    ASSERT_TRUE(SetFileTime(h, &created, &accessed, &written));
    CloseHandle(h);
    EXPECT_EQ(0u, Job().exit_code);
    EXPECT_NE(Source(L"d2\\f220.bin"), ReadFileBytes(quiet));
    EXPECT_EQ(0u, Run(L" /parent:{parent} /product:p /repair").exit_code);
    ExpectSourceInstalled();

    // Release 2 signed to expire in a few seconds: once it has, the kept copy
    // is set aside and the manifest asked for whole (and refused: the host has
    // nothing newer); a fresh publish of it is taken again.
    Publish(2, "--expires $(date -u -d '+12 seconds' +%Y-%m-%dT%H:%M:%SZ)");
    const ULONGLONG published = GetTickCount64();
    ASSERT_EQ(0u, Job().exit_code);
    ExpectSourceInstalled();
    while (GetTickCount64() - published < 14000) Sleep(200);
    mark = HostAccessLog().size();
    run = Job();
    EXPECT_EQ((std::pair<int, int>{PRODUCT_OFFLINE_READY, 100}), run.Statuses().back());
    log = HostAccessLog().substr(mark);
    EXPECT_EQ(1u, Count(log, "\"GET " + twin + " HTTP/1.1\" 304 ")) << log;
    EXPECT_EQ(1u, Count(log, "\"GET " + twin + " HTTP/1.1\" 200 ")) << log;
    EXPECT_NE(std::string::npos, Log().find("Kept manifest no longer fresh"));
    Publish(2);
    EXPECT_EQ(0u, Job().exit_code);
    EXPECT_TRUE(HasMarker());

    // A twin of a few kilobytes that inflates past the manifest cap.
    ASSERT_TRUE(RunOnHost("(head -c 68157440 /dev/zero | gzip -9 >'" ORV_TEST_HOST_TREE_UNIX + twin + "')"));
    mark = HostAccessLog().size();
    run = Job();
    EXPECT_EQ((std::pair<int, int>{PRODUCT_CURRENT, 100}), run.Statuses().back());
    EXPECT_NE(std::string::npos,
              Log().find("Compressed manifest refused: it inflates past the manifest cap"))
        << Log();
    EXPECT_EQ(1u, Count(HostAccessLog().substr(mark), "\"GET " + plain + " HTTP/1.1\" 200 "));

    // No twin at all (a tree published before them): the plain manifest,
    // revalidated like the twin.
    ASSERT_TRUE(RunOnHost("rm '" ORV_TEST_HOST_TREE_UNIX + twin + "'"));
    mark = HostAccessLog().size();
    run = Job();
    EXPECT_EQ((std::pair<int, int>{PRODUCT_CURRENT, 100}), run.Statuses().back());
    log = HostAccessLog().substr(mark);
    EXPECT_EQ(1u, Count(log, "\"GET " + twin + " HTTP/1.1\" 404 ")) << log;
    EXPECT_EQ(1u, Count(log, "\"GET " + plain + " HTTP/1.1\" 304 0 ")) << log;

    // A kept copy changed on this disk no longer matches its signature: it is
    // set aside and the manifest asked for whole.
    const std::wstring kept = Path(L".orvelant-manifests\\p.kept");
    std::string bytes = ReadFileBytes(kept);
    ASSERT_GT(bytes.size(), 100u);
    bytes[bytes.size() - 3] ^= 1;
    WriteFileBytes(kept, bytes);
    mark = HostAccessLog().size();
    run = Job();
    EXPECT_EQ((std::pair<int, int>{PRODUCT_CURRENT, 100}), run.Statuses().back());
    log = HostAccessLog().substr(mark);
    EXPECT_EQ(1u, Count(log, "\"GET " + plain + " HTTP/1.1\" 304 0 ")) << log;
    EXPECT_EQ(1u, Count(log, "\"GET " + plain + " HTTP/1.1\" 200 ")) << log;
    EXPECT_NE(std::string::npos, Log().find("Kept manifest does not match its signature; discarded"));
}
