// Launcher self-update against the real update host: the Setup named by the
// cached control document is downloaded, checked and started. The sample
// game stands in for the Setup: it records the command line it was given.
#include "update_host.h"
#include "worker_fixture.h"

using namespace orv_test;

namespace {

class SelfUpdate : public WorkerFixture {
protected:
    void SetUp() override {
        WorkerFixture::SetUp();
        cache_ = Path(L"cache\\launcher-self-update");
        served_ = ReadFileBytes(HostTree() + L"\\setup\\ORVELANT_Launcher_Setup.exe");
        sha_ = ReadFileBytes(HostTree() + L"\\setup\\sha256.txt");
        // The stand-in ends by itself after a second.
        WriteFileBytes(cache_ + L"\\game.txt", "title=SETUP\r\nseconds=1\r\n");
    }
    void WriteControl(const std::string &sha) {
        WriteFileBytes(Path(L"control.json"),
                       "{\r\n  \"service_state\": \"normal\",\r\n  \"installer_url\": "
                       "\"https://localhost/setup/ORVELANT_Launcher_Setup.exe\",\r\n"
                       "  \"installer_sha256\": \"" + sha + "\"\r\n}\r\n");
    }
    // The stand-in's record of how it was started (it appears whole).
    std::string LaunchRecord() {
        std::wstring record = cache_ + L"\\launch-record.txt";
        for (int i = 0; i < 100 && !PathIsFile(record); ++i) Sleep(100);
        return ReadFileBytes(record);
    }
    std::wstring Final() const { return cache_ + L"\\ORVELANT_Launcher_Setup_latest.exe"; }
    std::wstring Part() const { return Final() + L".part"; }
    std::wstring cache_;
    std::string served_, sha_;
};

const Statuses kLaunched = {{SELF_UPDATE_STARTED, 5}, {SELF_UPDATE_LAUNCHED, 100}};

}  // namespace

TEST_F(SelfUpdate, VerifiedSetupIsStartedWithTheShellsProcessId) {
    ASSERT_EQ(64u, sha_.size());
    WriteControl(sha_);
    ChildRun run = Run(L" /self-update /parent:{parent}");
    EXPECT_EQ(0u, run.exit_code);
    EXPECT_EQ(kLaunched, run.Statuses());
    EXPECT_EQ(served_, ReadFileBytes(Final()));
    EXPECT_FALSE(PathIsFile(Part()));
    // Every chunk posts, always with nothing "remaining".
    std::vector<WorkerMessage> posts = run.Transfers();
    ASSERT_GE(posts.size(), 2u);
    for (const WorkerMessage &m : posts) EXPECT_EQ(0, m.lparam);
    std::string record = LaunchRecord();
    EXPECT_NE(std::string::npos,
              record.find("command_line=\"" + Narrow(Final()) + "\" /silent-update /waitpid:" +
                          std::to_string(GetCurrentProcessId()) + "\r\n"))
        << record;
    EXPECT_NE(std::string::npos, record.find("working_directory=" + Narrow(install_) + "\r\n"))
        << record;
    EXPECT_EQ("Launcher self-update started\r\nSelf-update installer launched\r\n", Log());
}

TEST_F(SelfUpdate, WithoutAParentWindowThereIsNoProcessId) {
    std::string upper = sha_;
    for (char &c : upper) c = (char)toupper(c);
    WriteControl(upper);
    ChildRun run = Run(L" /self-update");
    EXPECT_EQ(0u, run.exit_code);
    EXPECT_TRUE(run.messages.empty());
    std::string record = LaunchRecord();
    EXPECT_NE(std::string::npos,
              record.find("command_line=\"" + Narrow(Final()) + "\" /silent-update\r\n"))
        << record;
}

TEST_F(SelfUpdate, MismatchingDownloadIsDeletedAndNeverStarted) {
    WriteControl(std::string(64, 'a'));
    ChildRun run = Run(L" /self-update /parent:{parent}");
    EXPECT_EQ(22u, run.exit_code);
    EXPECT_EQ((Statuses{{SELF_UPDATE_STARTED, 5}, {SELF_UPDATE_FAILED, 100}}), run.Statuses());
    EXPECT_FALSE(PathIsFile(Part()));
    EXPECT_FALSE(PathIsFile(Final()));
    Sleep(1500);
    EXPECT_FALSE(PathIsFile(cache_ + L"\\launch-record.txt"));
    EXPECT_EQ("Launcher self-update started\r\nSelf-update installer SHA-256 mismatch\r\n", Log());
}

TEST_F(SelfUpdate, InterruptedDownloadResumes) {
    WriteControl(sha_);
    const size_t offset = served_.size() * 6 / 10;
    WriteFileBytes(Part(), served_.substr(0, offset));
    ChildRun run = Run(L" /self-update /parent:{parent}");
    EXPECT_EQ(0u, run.exit_code);
    EXPECT_EQ(served_, ReadFileBytes(Final()));
    EXPECT_EQ("Launcher self-update started\r\nHTTP Range resume accepted\r\n"
              "Self-update installer launched\r\n",
              Log());
    LaunchRecord();  // let the stand-in finish
}

TEST_F(SelfUpdate, MissingSetupOnTheHostKeepsThePart) {
    WriteFileBytes(Path(L"control.json"),
                   "{\"installer_url\": \"https://localhost/setup/missing.exe\", "
                   "\"installer_sha256\": \"" + sha_ + "\"}");
    WriteFileBytes(Part(), "partial");
    ChildRun run = Run(L" /self-update /parent:{parent}");
    EXPECT_EQ(21u, run.exit_code);
    EXPECT_EQ("partial", ReadFileBytes(Part()));
    EXPECT_EQ("Launcher self-update started\r\nDownload interrupted; .part retained for resume\r\n",
              Log());
}
