// The launcher self-update end to end on the local update host: the real
// Worker downloads and checks the real Setup and starts it with the process
// id of the window it reports to; the Setup waits for that process, installs
// over the running install directory and starts the new Shell, which comes
// up and syncs. A test window program with the Shell's class stands in for
// the Shell that asked for the update.
#include "setup_fixture.h"
#include "shell_layout.h"
#include "update_host.h"

using namespace orv_setup_test;

namespace {

class SelfUpdateThroughSetup : public SetupTest {
protected:
    void SetUp() override {
        SetupTest::SetUp();
        // The Setup of this build, published beside the host's tree.
        std::string dir = std::string(ORV_TEST_HOST_TREE_UNIX) + "/launcher-e2e";
        ASSERT_TRUE(RunOnHost("(mkdir -p '" + dir + "' && cp '" + ORV_TEST_BUILD_UNIX +
                              "/bin/ORVELANT_Launcher_Setup_v1.0.0.exe' '" + dir +
                              "/' && sha256sum '" + dir +
                              "/ORVELANT_Launcher_Setup_v1.0.0.exe' | cut -c1-64 | tr -d '\\n' >'" +
                              dir + "/sha256.txt')"));
        sha_ = ReadFileBytes(HostTree() + L"\\launcher-e2e\\sha256.txt");
        ASSERT_EQ(64u, sha_.size());
    }

    void TearDown() override {
        SetupTest::TearDown();
        // Other tests expect a host that serves no launcher documents.
        for (const wchar_t *name : {L"catalog.json", L"news.json", L"control.json"}) {
            DeleteFileW((HostTree() + L"\\launcher\\" + name).c_str());
            DeleteFileW((HostTree() + L"\\launcher\\" + name + L".sig").c_str());
        }
    }

    // The host's signed launcher documents, from its prepared set.
    void ServeDocuments() {
        for (const wchar_t *name : {L"catalog.json", L"news.json", L"control.json"})
            for (const wchar_t *suffix : {L"", L".sig"})
                ASSERT_TRUE(CopyFileW((HostTree() + L"\\documents\\" + name + suffix).c_str(),
                                      (HostTree() + L"\\launcher\\" + name + suffix).c_str(),
                                      FALSE));
    }

    void WriteControl(const std::string &sha) {
        WriteFileBytes(In(L"control.json"),
                       "{\r\n  \"service_state\": \"normal\",\r\n  \"latest_launcher_version\": \"1.1.0\",\r\n"
                       "  \"installer_url\": \"https://localhost/launcher-e2e/ORVELANT_Launcher_Setup_v1.0.0.exe\",\r\n"
                       "  \"installer_sha256\": \"" + sha + "\"\r\n}\r\n");
    }

    // A window with the Shell's class, standing in for the Shell that asks
    // for the update.
    HWND StartStandinShell(Process &standin) {
        std::wstring exe = Widen(ORV_TEST_TOOLS_DIR) + L"\\shell-standin.exe";
        StartProcess(standin, exe, L"\"" + exe + L"\"");
        return orv_probe::FindShellWindow(standin.pid, 20000);
    }

    // The Worker of the install directory in self-update mode, reporting to
    // the window of the stand-in Shell.
    DWORD RunWorker(HWND shell) {
        Process worker;
        std::wstring exe = In(L"ORVELANT Update Worker.exe");
        StartProcess(worker, exe,
                     L"\"" + exe + L"\" /self-update /parent:" +
                         std::to_wstring((unsigned long long)(ULONG_PTR)shell),
                     install_);
        return worker.Wait(60000);
    }

    // The installed Shell with a cached control document that requires a
    // newer launcher; returns once its start-up sync has ended (the Shell
    // refuses a launcher update while a sync runs).
    HWND StartShellNeedingUpdate(Process &shell, const std::string &sha) {
        EXPECT_TRUE(WaitFor([&] { auto s = Syncs(); return s.first == s.second; }, 30000));
        WriteFileBytes(In(L"control.json"),
                       "{\r\n  \"min_launcher_version\": \"2.0.0\",\r\n  \"latest_launcher_version\": \"2.0.0\",\r\n"
                       "  \"installer_url\": \"https://localhost/launcher-e2e/ORVELANT_Launcher_Setup_v1.0.0.exe\",\r\n"
                       "  \"installer_sha256\": \"" + sha + "\"\r\n}\r\n");
        size_t before = Syncs().first;
        HWND window = StartInstalledShell(shell);
        EXPECT_TRUE(WaitFor([&] { auto s = Syncs(); return s.first > before && s.first == s.second; },
                            30000));
        if (window) orv_probe::WaitProcessed(window);
        // The Worker's log line is not the Shell's view: the command is sent
        // only once the window itself shows the sync has ended.
        EXPECT_TRUE(window && WaitFor([&] { return SignalLabel(window) == L"SIGNAL // LOCAL"; },
                                      30000))
            << "the Shell still shows its start-up sync";
        return window;
    }

    static std::wstring SignalLabel(HWND window) {
        const UiRow &row = ShellTable().rows[ROW_SIGNAL_LABEL];
        const RECT label =
            orv_probe::LayoutRect(orv_probe::LayoutDpi(window, ShellTable().outer_w), row.x,
                                  row.y, row.w, row.h);
        for (const orv_probe::ControlInfo &c : orv_probe::ListControls(window))
            if (c.rect.left == label.left && c.rect.top == label.top && c.rect.right == label.right)
                return c.text;
        return L"";
    }

    std::string sha_;
};

}  // namespace

TEST_F(SelfUpdateThroughSetup, VerifiedSetupReplacesTheCoreAfterTheShellEnds) {
    SilentInstall();
    // What the update must put back: the programs and texts of the payload.
    WriteFileBytes(In(L"README.txt"), "older release");
    WriteFileBytes(In(L"Uninstall.exe"), "older setup");
    WriteControl(sha_);
    Process standin;
    HWND shell = StartStandinShell(standin);
    ASSERT_TRUE(shell);

    EXPECT_EQ(0u, RunWorker(shell));
    std::string log = ReadFileBytes(In(L"logs\\updater.log"));
    EXPECT_NE(std::string::npos, log.find("Self-update installer launched")) << log;
    std::wstring downloaded = In(L"cache\\launcher-self-update\\ORVELANT_Launcher_Setup_latest.exe");
    EXPECT_TRUE(ReadFileBytes(SetupExe()) == ReadFileBytes(downloaded));
    // The documents the new Shell's first sync will find.
    ServeDocuments();

    // While the Shell that asked for it runs, the Setup only waits.
    Sleep(2500);
    EXPECT_EQ("older release", ReadFileBytes(In(L"README.txt")));
    EXPECT_FALSE(orv_probe::FindMessageBox(0, 100));
    PostMessageW(shell, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(standin.handle, 10000) != WAIT_OBJECT_0)
        TerminateProcess(standin.handle, 0);

    // Then the core is replaced and the new Shell comes up and syncs.
    HWND fresh = orv_probe::FindShellWindow(0, 30000);
    ASSERT_TRUE(fresh) << "no Shell after the self-update";
    EXPECT_NE(std::string::npos, ReadFileBytes(In(L"README.txt")).find("ORVELANT Launcher v1.0.0"));
    EXPECT_TRUE(ReadFileBytes(SetupExe()) == ReadFileBytes(In(L"Uninstall.exe")));
    ExpectPayload(install_, false);
    ExpectUninstallEntry();
    EXPECT_TRUE(WaitFor([&] {
        return ReadFileBytes(In(L"logs\\updater.log")).find("Signed sync completed", log.size()) !=
               std::string::npos;
    }, 30000)) << ReadFileBytes(In(L"logs\\updater.log"));
    EXPECT_EQ(ReadFileBytes(HostTree() + L"\\launcher\\control.json"),
              ReadFileBytes(In(L"control.json")));
    EXPECT_EQ(std::string::npos, Record().find("REFUSED"));
}

TEST_F(SelfUpdateThroughSetup, MismatchingSetupIsNeverStarted) {
    SilentInstall();
    WriteFileBytes(In(L"README.txt"), "older release");
    std::string wrong = sha_;
    wrong[0] = wrong[0] == 'a' ? 'b' : 'a';
    WriteControl(wrong);
    Process standin;
    HWND shell = StartStandinShell(standin);
    ASSERT_TRUE(shell);
    EXPECT_NE(0u, RunWorker(shell));
    std::string log = ReadFileBytes(In(L"logs\\updater.log"));
    EXPECT_NE(std::string::npos, log.find("Self-update installer SHA-256 mismatch")) << log;
    EXPECT_FALSE(PathIsFile(In(L"cache\\launcher-self-update\\ORVELANT_Launcher_Setup_latest.exe")));
    PostMessageW(shell, WM_CLOSE, 0, 0);
    WaitForSingleObject(standin.handle, 10000);
    Sleep(2000);  // a started Setup would have installed by now
    EXPECT_EQ("older release", ReadFileBytes(In(L"README.txt")));
    EXPECT_FALSE(orv_probe::FindShellWindow(0, 500));
}


// The whole chain through the real Shell: its launcher-update command, the
// Worker, the Setup waiting for the Shell to quit, the new Shell syncing.
TEST_F(SelfUpdateThroughSetup, ShellRequestedUpdateBringsUpTheNewShell) {
    SilentInstall();
    WriteFileBytes(In(L"README.txt"), "older release");
    Process shell;
    HWND window = StartShellNeedingUpdate(shell, sha_);
    ASSERT_TRUE(window);
    EXPECT_EQ("older release", ReadFileBytes(In(L"README.txt")));
    ASSERT_TRUE(orv_probe::Command(window, 1005));
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(1402, 0), 0);
    EXPECT_EQ(0u, shell.Wait(60000)) << "the Shell did not hand over";
    ServeDocuments();
    HWND fresh = orv_probe::FindShellWindow(0, 40000);
    ASSERT_TRUE(fresh) << "no new Shell";
    EXPECT_NE(shell.pid, orv_probe::WindowProcessId(fresh));
    EXPECT_NE(std::string::npos, ReadFileBytes(In(L"README.txt")).find("ORVELANT Launcher v1.0.0"));
    EXPECT_TRUE(ReadFileBytes(SetupExe()) == ReadFileBytes(In(L"Uninstall.exe")));
    ExpectUninstallEntry();
    EXPECT_TRUE(WaitFor([&] {
        return ReadFileBytes(In(L"control.json")) ==
               ReadFileBytes(HostTree() + L"\\launcher\\control.json");
    }, 30000)) << "the new Shell did not sync";
}

TEST_F(SelfUpdateThroughSetup, ShellShowsTheFailureWhenTheSetupDoesNotMatch) {
    SilentInstall();
    WriteFileBytes(In(L"README.txt"), "older release");
    std::string wrong = sha_;
    wrong[5] = wrong[5] == '0' ? '1' : '0';
    Process shell;
    HWND window = StartShellNeedingUpdate(shell, wrong);
    ASSERT_TRUE(window);
    ASSERT_TRUE(orv_probe::Command(window, 1005));
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(1402, 0), 0);
    HWND box = orv_probe::FindMessageBox(shell.pid, 60000);
    ASSERT_TRUE(box);
    EXPECT_EQ(L"Launcherの自動更新に失敗しました。\n\n"
              L"Settingsから再試行するか、公式サイトから最新版を取得してください。",
              orv_probe::MessageBoxText(box));
    EXPECT_TRUE(orv_probe::AnswerMessageBox(box, IDOK));
    EXPECT_TRUE(shell.Running());
    EXPECT_EQ("older release", ReadFileBytes(In(L"README.txt")));
    EXPECT_FALSE(PathIsFile(In(L"cache\\launcher-self-update\\ORVELANT_Launcher_Setup_latest.exe")));
}
