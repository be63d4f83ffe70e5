#include "shell_fixture.h"

#include "layout_reader.h"

#include <filesystem>

namespace orv_test {

using orv_probe::ControlInfo;

void ShellProcessTest::SetUp() {
    SettingsGuard::Clear();
    dir_ = FreshScratchDir();
    local_ = dir_ + L"\\localappdata";
    MakeDirs(local_);
    env_.Set(L"LOCALAPPDATA", local_.c_str());
    library_ = local_ + L"\\ORVELANT\\Games";
}

void ShellProcessTest::TearDown() {
    if (!process_) return;
    if (window_ && IsWindow(window_)) PostMessageW(window_, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(process_, 10000) != WAIT_OBJECT_0) TerminateProcess(process_, 9);
    CloseHandle(process_);
}

void ShellProcessTest::Write(const std::wstring &name, const std::string &bytes) {
    WriteFileBytes(dir_ + L"\\" + name, bytes);
}

std::string ShellProcessTest::Read(const std::wstring &name) {
    return ReadFileBytes(dir_ + L"\\" + name);
}

void ShellProcessTest::InstallAssets() {
    std::filesystem::path from = std::filesystem::path(ORV_TEST_ASSETS_DIR);
    MakeDirs(dir_ + L"\\assets");
    for (const wchar_t *name : {L"orvelant-wordmark.bmp", L"origin-core.bmp", L"origin-core.ico"})
        ASSERT_TRUE(CopyFileW((from / name).wstring().c_str(),
                              (dir_ + L"\\assets\\" + name).c_str(), FALSE));
}

void ShellProcessTest::InstallWorker() {
    ASSERT_TRUE(CopyFileW((BinDir() + L"\\ORVELANT Update Worker.exe").c_str(),
                          (dir_ + L"\\ORVELANT Update Worker.exe").c_str(), FALSE));
}

void ShellProcessTest::InstallProduct(const std::string &install_dir, const char *version,
                                      bool known_good) {
    std::wstring folder = library_ + L"\\" + Widen(install_dir);
    WriteFileBytes(folder + L"\\ORVELANT.exe", "MZ");
    if (version)
        WriteFileBytes(folder + L"\\version.json",
                       std::string("{\r\n  \"version\": \"") + version + "\"\r\n}\r\n");
    if (known_good) WriteFileBytes(folder + L"\\.orvelant-known-good", "");
}

void ShellProcessTest::Start(const std::wstring &program) {
    std::wstring source = program.empty() ? BinDir() + L"\\ORVELANT Launcher.exe" : program;
    ASSERT_TRUE(CopyFileW(source.c_str(), (dir_ + L"\\ORVELANT Launcher.exe").c_str(), FALSE));
    process_ = StartInstalled(&pid_);
    ASSERT_NE(nullptr, process_);
}

HANDLE ShellProcessTest::StartInstalled(DWORD *pid, const std::wstring &spelling) {
    std::wstring exe = (spelling.empty() ? dir_ : spelling) + L"\\ORVELANT Launcher.exe";
    std::wstring cmd = L"\"" + exe + L"\"";
    std::vector<wchar_t> line(cmd.begin(), cmd.end());
    line.push_back(0);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &si, &pi))
        return nullptr;
    CloseHandle(pi.hThread);
    *pid = pi.dwProcessId;
    return pi.hProcess;
}

void ShellProcessTest::StartAndWait(const std::wstring &program) {
    Start(program);
    window_ = orv_probe::FindShellWindow(pid_, 20000);
    ASSERT_NE(nullptr, window_) << "no Shell window";
    ASSERT_TRUE(orv_probe::WaitProcessed(window_));
}

DWORD ShellProcessTest::WaitExit(DWORD timeout_ms) {
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process_, timeout_ms));
    DWORD code = 259;
    GetExitCodeProcess(process_, &code);
    return code;
}

std::vector<ControlInfo> ShellProcessTest::Controls() { return orv_probe::ListControls(window_); }

ControlInfo ShellProcessTest::ById(int id) {
    std::vector<ControlInfo> all = Controls();
    const ControlInfo *c = orv_probe::ControlById(all, id);
    EXPECT_NE(nullptr, c) << "no control " << id;
    return c ? *c : ControlInfo{};
}

// A control's 96-DPI rectangle, as the Shell laid it out in its window (the
// same at 96 DPI; scaled on a screen the window does not fit).
bool SameRect(const ControlInfo &c, int id, int x, int y, int w, int h) {
    RECT r = orv_probe::LayoutRect(ShellLayoutDpi(GetParent(c.hwnd)), x, y, w, h);
    return c.id == id && EqualRect(&c.rect, &r);
}

ControlInfo ShellProcessTest::At(int x, int y, int w, int h) {
    for (const ControlInfo &c : Controls())
        if (SameRect(c, c.id, x, y, w, h)) return c;
    ADD_FAILURE() << "no control at " << x << "," << y << " " << w << "x" << h;
    return ControlInfo{};
}

const UiWindowTable &ShellTable() {
    return orv_probe::RequireProgramLayoutTable(BinDir() + L"\\ORVELANT Launcher.exe");
}

RECT ShellRowRect(HWND main, int row, int index) {
    int x, y, w, h;
    UiRowRect(&ShellTable().rows[row], index, &x, &y, &w, &h);
    return orv_probe::LayoutRect(ShellLayoutDpi(main), x, y, w, h);
}

int ShellLayoutDpi(HWND main) { return orv_probe::LayoutDpi(main, ShellTable().outer_w); }

ControlInfo ShellProcessTest::AtRow(int row, int index) {
    const UiRow &r = ShellTable().rows[row];
    const RECT want = ShellRowRect(window_, row, index);
    const int id = r.id != 0 ? r.id + index : 0;
    for (const ControlInfo &c : Controls())
        if (c.id == id && EqualRect(&c.rect, &want)) return c;
    ADD_FAILURE() << "no control of row " << row << " (" << index << ")";
    return ControlInfo{};
}

std::wstring ShellProcessTest::RowText(int row, int index) { return AtRow(row, index).text; }

std::wstring ShellProcessTest::Text(int id) { return ById(id).text; }

std::wstring ShellProcessTest::TextAt(int x, int y, int w, int h) { return At(x, y, w, h).text; }

void ShellProcessTest::Click(int id) { ASSERT_TRUE(orv_probe::Command(window_, id)); }

void ShellProcessTest::Search(const std::wstring &text) {
    ASSERT_TRUE(orv_probe::SetSearchText(window_, text));
}

std::vector<std::wstring> ShellProcessTest::VisibleLibraryRows() {
    std::vector<std::wstring> rows;
    for (int i = 0; i < 8; ++i) {
        ControlInfo c = ById(2100 + i);
        if (c.visible) rows.push_back(c.text);
    }
    return rows;
}

std::string Catalog(const std::vector<std::string> &products) {
    std::string out = "{\"products\": [";
    for (size_t i = 0; i < products.size(); ++i) out += (i ? ",\n" : "\n") + products[i];
    return out + "]}";
}

std::string Product(const std::string &id, const std::string &title, const std::string &project) {
    return "{\"id\": \"" + id + "\", \"title\": \"" + title + "\", \"project\": \"" + project +
           "\", \"install_dir\": \"" + id + "\", \"executable\": \"ORVELANT.exe\"}";
}

}  // namespace orv_test
