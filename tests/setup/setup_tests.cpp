// Install, update, reinstall, the silent update and the uninstall through
// the real Setup in a scratch profile; its window driven from outside.
#include "accessible_checks.h"
#include "setup_fixture.h"
#include "setup_layout.h"

using namespace orv_setup_test;

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
        // From the keyboard: the install action has the focus; Tab and
        // Shift+Tab go round the actions; a reader gets both buttons and
        // the named artwork; Enter runs the install.
        const std::map<std::wstring, RECT> images = {
            {L"ORVELANT", orv_probe::RowRect(w, SetupTable().rows[SROW_WORDMARK_IMAGE])},
            {L"ORVELANT Launcher", orv_probe::RowRect(w, SetupTable().rows[SROW_CORE_IMAGE])}};
        EXPECT_EQ(2001, orv_probe::FocusedId(w));
        orv_probe::AccessibleTree tree = CheckAccessible(w, orv_probe::ListControls(w), {}, images);
        EXPECT_EQ(4u, tree.children.size());
        EXPECT_EQ(2004, CheckHeardOnKey(w, VK_TAB, 0, {}));
        CheckAccessible(w, orv_probe::ListControls(w), {}, images);
        EXPECT_EQ(2001, orv_probe::PressKey(w, VK_TAB));
        EXPECT_EQ(2004, orv_probe::PressKey(w, VK_TAB, orv_probe::kShift));
        ASSERT_EQ(2001, orv_probe::PressKey(w, VK_TAB, orv_probe::kShift));
        orv_probe::PressKey(w, VK_RETURN);
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
        L"assets\\origin-core-2x.bmp", L"assets\\origin-core.bmp", L"assets\\origin-core.ico",
        L"assets\\orvelant-wordmark-2x.bmp", L"assets\\orvelant-wordmark.bmp", L"carried-root.json", L"catalog.json", L"control.json", L"launcher_config.json", L"logs", L"news.json"};
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
        // The recommended update has the focus; Space runs it.
        EXPECT_EQ(2002, orv_probe::FocusedId(w));
        const std::map<std::wstring, RECT> images = {
            {L"ORVELANT", orv_probe::RowRect(w, SetupTable().rows[SROW_WORDMARK_IMAGE])},
            {L"ORVELANT Launcher", orv_probe::RowRect(w, SetupTable().rows[SROW_CORE_IMAGE])}};
        orv_probe::AccessibleTree tree = CheckAccessible(w, controls, {}, images);
        ASSERT_EQ(5u, tree.children.size());  // two images, three actions
        EXPECT_EQ(L"ORVELANT Launcher Setup", tree.self.name);
        EXPECT_EQ(2003, CheckHeardOnKey(w, VK_TAB, 0, {}));
        EXPECT_EQ(2002, orv_probe::PressKey(w, VK_TAB, orv_probe::kShift));
        orv_probe::PressKey(w, VK_SPACE);  // the focus is then in the box
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
    // exit code 2, the Shell that is there started again
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
        CloseStartedShell();
        RemoveDirectoryW(In(L"ORVELANT Launcher.new").c_str());
    }
    // the new Worker cannot be written (its temporary file is locked): the
    // old Worker program stays whole, no box, exit code 2, the Shell started
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
        CloseStartedShell();
    }
    // and after it, a good silent update leaves no temporary file at all
    SilentInstall();
    EXPECT_FALSE(PathIsFile(In(L"ORVELANT Update Worker.new")));
    EXPECT_FALSE(PathIsFile(In(L"ORVELANT Launcher.new")));
    ExpectPayload(install_, true);
    EXPECT_EQ(std::string::npos, Record().find("REFUSED")) << Record();
}

// The uninstall through the entry's own command: No; Yes then No (library
// kept); Yes then Yes after a library move (the default library and the
// cataloged games at the moved root removed, the rest of the moved root and
// the settings key kept). The Setup runs from a Downloads folder and the
// uninstall from the install directory, each beside a planted
// "powershell.exe" and with another in the current directory: only the
// system's Windows PowerShell ever runs, and the removal waits for the
// uninstalling process to end.
TEST_F(SetupTest, UninstallAnswers) {
    std::wstring downloads = root_ + L"\\Downloads", current = root_ + L"\\current";
    auto plant = [&](const std::wstring &dir) {
        MakeDirs(dir);
        EXPECT_TRUE(CopyFileW((TestBinDir() + L"\\open-recorder.exe").c_str(),
                              (dir + L"\\powershell.exe").c_str(), FALSE));
    };
    plant(downloads);
    plant(current);
    std::wstring setup = downloads + L"\\ORVELANT_Launcher_Setup_v1.0.0.exe";
    ASSERT_TRUE(CopyFileW(SetupExe().c_str(), setup.c_str(), FALSE));
    {
        Process p;
        StartProcess(p, setup, L"\"" + setup + L"\" /silent-update", current);
        ASSERT_EQ(0u, p.Wait());
        CloseStartedShell();
    }
    ExpectShortcuts();
    plant(install_);
    MakeDirs(library_ + L"\\first-title");
    WriteFileBytes(library_ + L"\\first-title\\ORVELANT.exe", "MZ game");
    std::wstring uninstall = RegText(HKEY_CURRENT_USER, kUninstallKey, L"UninstallString");
    ASSERT_EQ(L"\"" + install_ + L"\\Uninstall.exe\" /uninstall", uninstall);
    std::map<std::wstring, std::string> installed = Snapshot(install_);
    {
        Process p;
        StartProcess(p, L"", uninstall, current);
        Answer(p.pid, IDNO);
        EXPECT_EQ(0u, p.Wait());
    }
    Sleep(1500);
    EXPECT_EQ("", Differences(installed, Snapshot(install_)));
    EXPECT_TRUE(KeyExists(kUninstallKey));
    EXPECT_TRUE(PathIsFile(desktop_ + L"\\ORVELANT Launcher.lnk"));

    DWORD uninstall_pid = 0;
    {
        Process p;
        StartProcess(p, L"", uninstall, current);
        uninstall_pid = p.pid;
        Answer(p.pid, IDYES);
        std::string caption;
        EXPECT_EQ("インストール済みゲームも削除しますか？\n\n[はい] Launcher + Game Library を削除\n"
                  "[いいえ] Launcherだけ削除し、Game Libraryを保持\n\nセーブデータはどちらでも削除しません。",
                  Answer(p.pid, IDNO, &caption));
        EXPECT_EQ("ORVELANT Launcher Uninstall", caption);
        // The last box stays well beyond the removal's own pause: the
        // folder it runs from is still there.
        HWND box = orv_probe::FindMessageBox(p.pid, 20000);
        ASSERT_TRUE(box);
        Sleep(2500);
        EXPECT_TRUE(PathIsFile(In(L"Uninstall.exe"))) << "removed while Uninstall.exe ran";
        EXPECT_FALSE(PathIsFile(In(L"opened.txt"))) << "the planted powershell.exe beside it ran";
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
    MakeDirs(moved + L"\\first-title\\data");
    WriteFileBytes(moved + L"\\first-title\\ORVELANT.exe", "MZ moved");
    WriteFileBytes(moved + L"\\first-title\\data\\a.pak", "pak");
    WriteFileBytes(moved + L"\\not-a-product\\keep.txt", "keep");
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
    EXPECT_FALSE(PathIsDir(moved + L"\\first-title"));
    EXPECT_EQ("keep", ReadFileBytes(moved + L"\\not-a-product\\keep.txt"));
    EXPECT_EQ(moved, RegText(HKEY_CURRENT_USER, L"Software\\ORVELANT\\Launcher", L"LibraryRoot"));
    EXPECT_FALSE(KeyExists(kUninstallKey));
    std::string record = Record();
    EXPECT_EQ(std::string::npos, record.find("REFUSED")) << record;
    EXPECT_NE(std::string::npos, record.find("ACCEPTED shortcut-removal")) << record;
    EXPECT_NE(std::string::npos, record.find("ACCEPTED launcher-removal")) << record;
    EXPECT_NE(std::string::npos, record.find("ACCEPTED launcher-and-library-removal")) << record;
    EXPECT_NE(std::string::npos,
              record.find("ACCEPTED launcher-removal after process " +
                          std::to_string(uninstall_pid) + " ended"))
        << record;
    for (const std::wstring &dir : {downloads, current})
        EXPECT_FALSE(PathIsFile(dir + L"\\opened.txt")) << "a planted powershell.exe ran in " << Narrow(dir);
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
        // Every row of the window's table for a first install, in its order:
        // the text wordmark in place of the missing image, no artwork.
        std::vector<const UiRow *> rows;
        for (int r = 0; r < SetupTable().row_count; ++r) {
            const UiRow &row = SetupTable().rows[r];
            if (row.kind != UI_KIND_IMAGE &&
                (row.variant == 0 || row.variant == SETUP_VARIANT_NEW))
                rows.push_back(&row);
        }
        ASSERT_EQ(rows.size(), controls.size());
        EXPECT_EQ(L"ORVELANT", controls[0].text);
        EXPECT_TRUE(rows[0]->flags & UI_ROW_IMAGE_FALLBACK);
        for (size_t i = 0; i < rows.size(); ++i) {
            const UiRow &row = *rows[i];
            const ControlInfo &c = controls[i];
            SCOPED_TRACE("control " + std::to_string(i));
            EXPECT_EQ(row.id, c.id);
            const RECT want = orv_probe::LayoutRect(96, row.x, row.y, row.w, row.h);
            EXPECT_TRUE(EqualRect(&want, &c.rect))
                << c.rect.left << "," << c.rect.top << " " << c.rect.right - c.rect.left << "x"
                << c.rect.bottom - c.rect.top;
            if (row.flags & UI_ROW_VIEW_TEXT)  // the folder lines: the row's lead, then the path
                EXPECT_EQ(0u, c.text.find(row.text)) << Narrow(c.text);
            else
                EXPECT_EQ(std::wstring(row.text), c.text);
            EXPECT_EQ(row.kind == UI_KIND_ACTION ? SS_NOTIFY : 0, c.style & SS_NOTIFY);
            EXPECT_TRUE(c.visible);
        }
        // Without artwork a reader gets the two actions only; Esc cancels.
        orv_probe::AccessibleTree tree = CheckAccessible(w, controls, {});
        EXPECT_EQ(2u, tree.children.size());
        orv_probe::PressKey(w, VK_ESCAPE);
        EXPECT_EQ(0u, p.Wait());
        EXPECT_FALSE(PathIsDir(install_)) << "Esc installed something";
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

// The launcher core as a player finds it after the Setup was killed at
// chosen moments of a silent update, after a lasting and a brief lock, and
// after the interactive update failed part way: every file whole, the
// launcher starts, and one uninterrupted run brings the new release.
TEST_F(SetupTest, CoreInstallKilledOrFailingLeavesAWholeLauncher) {
    SilentInstall();
    const std::vector<std::wstring> core = {
        L"ORVELANT Launcher.exe", L"ORVELANT Update Worker.exe", L"carried-root.json",
        L"Uninstall.exe", L"assets\\orvelant-wordmark.bmp", L"assets\\origin-core.bmp",
        L"assets\\origin-core.ico", L"assets\\orvelant-wordmark-2x.bmp",
        L"assets\\origin-core-2x.bmp", L"launcher_config.json", L"README.txt"};
    std::map<std::wstring, std::string> fresh = Snapshot(install_), current, old;
    // An older release: the same programs (they still start) with other bytes.
    auto make_old_release = [&] {
        for (const std::wstring &name : core) {
            old[name] = fresh[name] + "\r\nOLDER RELEASE\r\n";
            // (the closed Shell's Worker may take a moment to end)
            ASSERT_TRUE(WaitFor([&] {
                HANDLE h = CreateFileW(In(name).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                       0, nullptr);
                if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
                return h != INVALID_HANDLE_VALUE;
            }, 15000)) << Narrow(name);
            WriteFileBytes(In(name), old[name]);
        }
    };
    auto count = [&](const std::map<std::wstring, std::string> &release) {
        size_t n = 0;
        for (const std::wstring &name : core) n += ReadFileBytes(In(name)) == release.at(name);
        return n;
    };
    auto names = [&](const std::map<std::wstring, std::string> &snapshot) {
        std::vector<std::wstring> out;
        for (auto &entry : snapshot) out.push_back(entry.first);
        return out;
    };
    std::wstring hooks = TestBinDir() + L"\\setup-with-test-hooks.exe";
    fresh[L"Uninstall.exe"] = ReadFileBytes(hooks);  // what the hooked Setup installs

    // -- killed after the first rename, in the middle, before the last
    for (size_t kill : {size_t(1), core.size() / 2, core.size() - 1}) {
        make_old_release();
        {
            EnvGuard env;
            env.Set(L"ORV_TEST_SETUP_KILL_AFTER", std::to_wstring(kill).c_str());
            Process p;
            StartSetup(p, L"/silent-update", hooks);
            EXPECT_EQ(9u, p.Wait()) << "not killed after rename " << kill;
        }
        std::string which;
        for (const std::wstring &name : core)
            which += " " + Narrow(name) + (ReadFileBytes(In(name)) == fresh[name] ? "=new" : "");
        EXPECT_EQ(kill, count(fresh)) << "new files after rename " << kill << which;
        EXPECT_EQ(core.size() - kill, count(old)) << "cut or missing files after rename " << kill;
        EXPECT_TRUE(old[L"ORVELANT Launcher.exe"] == ReadFileBytes(In(L"ORVELANT Launcher.exe")))
            << "the release changed before its last rename";
        Process left;
        EXPECT_TRUE(StartInstalledShell(left)) << "the launcher left does not start " << kill;
        CloseShells();
        SilentInstall();
        ExpectPayload(install_, true);
        EXPECT_EQ(names(fresh), names(Snapshot(install_))) << "left behind after rename " << kill;
    }

    // -- a file held open for good: the update fails, every old file comes
    //    back, the Shell that is there starts, exit code 2
    make_old_release();
    current = Snapshot(install_);
    HANDLE held = CreateFileW(In(L"assets\\origin-core.bmp").c_str(), GENERIC_READ, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    {
        Process p;
        StartSetup(p, L"/silent-update");
        EXPECT_EQ(2u, p.Wait());
        EXPECT_FALSE(orv_probe::FindMessageBox(0, 300));
    }
    CloseHandle(held);
    EXPECT_EQ("", Differences(current, Snapshot(install_))) << "not put back";
    CloseStartedShell();

    // -- a restore that fails too: the Worker program is taken into use right
    //    after its rename and the image held for good. The Worker's backup
    //    stays, setup.log names each failing step with its error and paths,
    //    and the next run puts the old Worker back before anything else (its
    //    own update, failing on the same image, then leaves the old core whole)
    make_old_release();
    current = Snapshot(install_);
    held = CreateFileW(In(L"assets\\origin-core.bmp").c_str(), GENERIC_READ, 0, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    const std::wstring worker = L"ORVELANT Update Worker.exe";
    {
        EnvGuard env;
        env.Set(L"ORV_TEST_SETUP_HOLD", worker.c_str());
        Process p;
        StartSetup(p, L"/silent-update", hooks);
        EXPECT_EQ(2u, p.Wait());
    }
    CloseStartedShell();
    EXPECT_TRUE(fresh[worker] == ReadFileBytes(In(worker)));  // could not be put back
    EXPECT_TRUE(old[worker] == ReadFileBytes(In(L"ORVELANT Update Worker.old")));
    const std::string log = ReadFileBytes(In(L"logs\\setup.log"));
    EXPECT_NE(std::string::npos,
              log.find(FailedStepLine("Core file backup failed", ERROR_SHARING_VIOLATION,
                                      In(L"assets\\origin-core.bmp"),
                                      In(L"assets\\origin-core-bmp.old"))))
        << log;
    EXPECT_NE(std::string::npos,
              log.find(FailedStepLine("Core file restore failed", ERROR_ACCESS_DENIED,
                                      In(L"ORVELANT Update Worker.old"), In(worker))))
        << log;
    ASSERT_TRUE(WaitFor([&] {
        HANDLE h = CreateFileW(In(worker).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                               nullptr);
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        return h != INVALID_HANDLE_VALUE;
    }, 15000));
    {
        Process p;
        StartSetup(p, L"/silent-update");
        EXPECT_EQ(2u, p.Wait());
    }
    CloseStartedShell();
    CloseHandle(held);
    EXPECT_EQ("", Differences(current, Snapshot(install_))) << "the earlier restore not finished";
    EXPECT_NE(std::string::npos, ReadFileBytes(In(L"logs\\setup.log"))
                                     .find("Core restore left by an earlier run finished\r\n"));

    // -- the same lock, interactively: the failure box, the window stays and a
    //    second try after the lock has gone completes the update
    held = CreateFileW(In(L"assets\\origin-core.bmp").c_str(), GENERIC_READ, 0, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    {
        Process setup;
        StartSetup(setup);
        HWND w = SetupWindow(setup);
        ASSERT_TRUE(w);
        Click(w, 2002);
        EXPECT_EQ("既存Launcherを更新できませんでした。\n\nLauncherを終了してから再実行してください。",
                  Answer(setup.pid, IDOK));
        CloseHandle(held);
        EXPECT_EQ("", Differences(current, Snapshot(install_))) << "not put back";
        EXPECT_TRUE(setup.Running());
        Click(w, 2002);
        EXPECT_EQ(CompletionText("アップデート"), Answer(setup.pid, IDNO));
        EXPECT_EQ(0u, setup.Wait());
    }
    ExpectPayload(install_, true);

    // -- a reader holding a file for a moment while it is replaced: waited out
    make_old_release();
    held = CreateFileW(In(L"assets\\origin-core.ico").c_str(), GENERIC_READ, FILE_SHARE_READ,
                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    {
        Process p;
        StartSetup(p, L"/silent-update");
        EXPECT_TRUE(WaitFor([&] { return PathIsFile(In(L"ORVELANT Launcher.new")); }, 20000));
        Sleep(300);
        CloseHandle(held);
        EXPECT_EQ(0u, p.Wait());
    }
    CloseStartedShell();
    ExpectPayload(install_, true);

    // -- "Uninstall.exe" started by hand shows the window; its update ends in
    //    the failure box and changes nothing
    current = Snapshot(install_);
    {
        Process setup;
        StartSetup(setup, L"", In(L"Uninstall.exe"));
        HWND w = SetupWindow(setup);
        ASSERT_TRUE(w);
        Click(w, 2002);
        EXPECT_EQ("既存Launcherを更新できませんでした。\n\nLauncherを終了してから再実行してください。",
                  Answer(setup.pid, IDOK));
        EXPECT_TRUE(setup.Running());
        Click(w, 2004);
        EXPECT_EQ(0u, setup.Wait());
    }
    EXPECT_EQ("", Differences(current, Snapshot(install_)));
}
