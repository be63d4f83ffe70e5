// RUN DIAGNOSTICS on the real Shell: the report's bytes for a known state,
// the same report after the state changed, the viewer the prefix has for
// text files started on it, and the failure box when the report is held
// open by someone else.
#include "library_test_support.h"

using namespace orv_test;

namespace {

std::string Utf16Report(const std::vector<std::wstring> &lines) {
    std::string out = "\xFF\xFE";
    for (const std::wstring &line : lines) {
        for (wchar_t unit : line + L"\r\n") {
            out += (char)(unit & 0xFF);
            out += (char)((unit >> 8) & 0xFF);
        }
    }
    return out;
}

std::vector<std::wstring> Head(const std::wstring &install, const std::wstring &library,
                               const std::wstring &signal, const std::wstring &bandwidth,
                               const std::wstring &pause) {
    return {L"ORVELANT LAUNCHER DIAGNOSTICS",
            L"================================",
            L"Launcher Version: 1.0.0",
            L"Install Root: " + install,
            L"Game Library: " + library,
            L"Remote Signal: " + signal,
            L"Service State: normal",
            L"Minimum Launcher: 0.9.0",
            L"Latest Launcher: 1.0.2",
            L"Launcher Update Required: NO",
            L"Offline Allowed: NO",
            L"Update Worker: PRESENT",
            L"Catalog Cache: PRESENT",
            L"Control Cache: PRESENT",
            L"News Cache: MISSING",
            L"Bandwidth Limit KB/s: " + bandwidth,
            L"Download Pause Flag: " + pause,
            L"",
            L"PRODUCTS",
            L"--------"};
}

const wchar_t kNotInstalled[] =
    L"[first-title] HALCYRA // NOT INSTALLED // KNOWN-GOOD NO // VERSION NOT INSTALLED";
const wchar_t kInstalled[] = L"[first-title] HALCYRA // INSTALLED // KNOWN-GOOD YES // VERSION 1.0.0";

}  // namespace

TEST_F(LibraryShellTest, DiagnosticsReportIsASnapshotOpenedInTheViewer) {
    Write(L"catalog.json", Catalog({Product("first-title", "HALCYRA"), Product("second-title", "VESPERLINE"),
                                    Product("third-title", "OBSIDIAN")}));
    Write(L"control.json",
          "{\"service_state\": \"normal\", \"signal\": \"SIGNAL // TEST FEED\", "
          "\"min_launcher_version\": \"0.9.0\", \"latest_launcher_version\": \"1.0.2\", "
          "\"allow_offline\": false}");
    Write(L"pause.download", "");
    InstallGame("second-title", true);
    // Installed, but neither version.json nor marker.
    WriteFileBytes(library_ + L"\\third-title\\ORVELANT.exe", "MZ");
    SettingsGuard::SetNumber(L"BandwidthKbps", 5120);
    InstallWorkerStandIn();  // the start-up sync then stays running
    RegisterTextViewer();
    StartHooked();
    const std::wstring report = dir_ + L"\\logs\\diagnostics.txt";
    const std::wstring record = viewer_ + L"\\launch-record.txt";

    std::vector<std::wstring> lines = Head(dir_, library_, L"SYNCING", L"5120", L"SET");
    lines.push_back(kNotInstalled);
    lines.push_back(L"[second-title] VESPERLINE // INSTALLED // KNOWN-GOOD YES // VERSION 1.0.0");
    lines.push_back(L"[third-title] OBSIDIAN // INSTALLED // KNOWN-GOOD NO // VERSION INSTALLED");
    Click(1005);
    ExpectNoBoxAfter(1405);
    EXPECT_EQ(Utf16Report(lines), ReadFileBytes(report));
    for (int i = 0; i < 200 && !PathIsFile(record); ++i) Sleep(50);
    std::string opened = ReadFileBytes(record);
    EXPECT_NE(std::string::npos, opened.find(Narrow(report))) << opened;
    EXPECT_NE(std::string::npos, Read(L"logs\\launcher.log").find("Diagnostics report generated\r\n"));

    // The sync ends, the limit goes round to unlimited, the pause flag goes
    // and the first title is installed: the next report shows all of it.
    PostMessageW(window_, WM_APP + 10, 10, 100);  // SYNC_UNAVAILABLE
    Click(1404);
    Click(1404);
    ASSERT_TRUE(DeleteFileW((dir_ + L"\\pause.download").c_str()));
    InstallGame("first-title", true);
    EXPECT_EQ(L"BANDWIDTH // UNLIMITED", Text(1404));
    lines = Head(dir_, library_, L"SIGNAL // TEST FEED", L"UNLIMITED", L"CLEAR");
    lines.push_back(kInstalled);
    lines.push_back(L"[second-title] VESPERLINE // INSTALLED // KNOWN-GOOD YES // VERSION 1.0.0");
    lines.push_back(L"[third-title] OBSIDIAN // INSTALLED // KNOWN-GOOD NO // VERSION INSTALLED");
    ExpectNoBoxAfter(1405);
    EXPECT_EQ(Utf16Report(lines), ReadFileBytes(report));

    // Held open without sharing: no report, the box, the log line, no viewer.
    DeleteFileW(record.c_str());
    HANDLE held = CreateFileW(report.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    ExpectBoxAfter(1405, L"診断レポートを作成できませんでした。logs\\launcher.log を確認してください。",
                   IDOK, false, L"ORVELANT Diagnostics");
    CloseHandle(held);
    EXPECT_EQ(Utf16Report(lines), ReadFileBytes(report));  // untouched
    EXPECT_NE(std::string::npos,
              Read(L"logs\\launcher.log")
                  .find(FailedStepLine("Diagnostics report create failed", ERROR_SHARING_VIOLATION,
                                       report)));
    Sleep(500);
    EXPECT_FALSE(PathIsFile(record));
}
