#include "library_test_support.h"

#include <filesystem>
#include <vector>

namespace orv_test {

std::string RandomBytes(unsigned int seed, size_t count) {
    std::string out(count, '\0');
    unsigned int x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < count; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = (char)(x & 0xFF);
    }
    return out;
}

std::string Digest(const std::string &bytes) {
    unsigned long long h = 1469598103934665603ull;
    for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
    char text[64];
    snprintf(text, sizeof(text), "%zu bytes, fnv %016llx", bytes.size(), h);
    return text;
}

// Visits the entries of a folder in the order FindFirstFileW returns them,
// the order every tree operation of the Shell sees.
template <typename F>
static void ForEachEntry(const std::wstring &dir, F visit) {
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        visit(name, (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
    } while (FindNextFileW(search, &entry));
    FindClose(search);
}

static void SnapInto(const std::wstring &abs, const std::wstring &rel, Snapshot &out) {
    ForEachEntry(abs, [&](const std::wstring &name, bool dir) {
        std::wstring r = rel.empty() ? name : rel + L"\\" + name;
        if (dir) {
            out[r] = "<dir>";
            SnapInto(abs + L"\\" + name, r, out);
        } else {
            out[r] = Digest(ReadFileBytes(abs + L"\\" + name));
        }
    });
}

Snapshot Snap(const std::wstring &root) {
    Snapshot out;
    SnapInto(root, L"", out);
    return out;
}

static void Walk(const std::wstring &abs, const std::wstring &rel, const std::wstring &stop_at,
                 bool &stopped, Split &split) {
    ForEachEntry(abs, [&](const std::wstring &name, bool dir) {
        std::wstring a = abs + L"\\" + name;
        std::wstring r = rel.empty() ? name : rel + L"\\" + name;
        if (stopped) {
            Snapshot rest;
            if (dir) {
                rest[L""] = "<dir>";
                SnapInto(a, L"", rest);
            } else {
                rest[L""] = Digest(ReadFileBytes(a));
            }
            for (const auto &e : rest) split.stayed[e.first.empty() ? r : r + L"\\" + e.first] = e.second;
            return;
        }
        if (!dir) {
            if (a == stop_at) {
                stopped = true;
                split.stayed[r] = Digest(ReadFileBytes(a));
            } else {
                split.moved[r] = Digest(ReadFileBytes(a));
            }
            return;
        }
        split.moved[r] = "<dir>";  // created at the destination on entry
        Walk(a, r, stop_at, stopped, split);
        if (stopped) split.stayed[r] = "<dir>";  // not emptied: stays at the source too
    });
}

Split ExpectedSplit(const std::wstring &root, const std::wstring &stop_at) {
    Split split;
    bool stopped = false;
    Walk(root, L"", stop_at, stopped, split);
    return split;
}

static BOOL CALLBACK FindTextProc(HWND child, LPARAM param) {
    auto *wanted = (std::pair<const std::wstring *, bool> *)param;
    if (orv_probe::ReadText(child) == *wanted->first) {
        wanted->second = true;
        return FALSE;
    }
    return TRUE;
}

bool DialogShowsText(HWND dialog, const std::wstring &text) {
    std::pair<const std::wstring *, bool> wanted(&text, false);
    EnumChildWindows(dialog, FindTextProc, (LPARAM)&wanted);
    return wanted.second;
}

bool RunUnix(const std::string &command) {
    static int counter = 0;
    std::wstring marker = ScratchRoot() + L"\\unix-command-" + std::to_wstring(GetCurrentProcessId()) +
                          L"-" + std::to_wstring(++counter) + L".done";
    return RunLinuxCommand(command, marker, UnixPath(marker), 15000);
}

std::string UnixPath(const std::wstring &wine_path) {
    std::string out = Narrow(wine_path.substr(2));
    for (char &c : out)
        if (c == '\\') c = '/';
    return out;
}

static BOOL CALLBACK EndGameProc(HWND window, LPARAM) {
    wchar_t cls[64];
    if (GetClassNameW(window, cls, 64) && std::wstring(cls) == L"ORVELANT_SAMPLE_GAME") {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
        if (process) {
            TerminateProcess(process, 0);
            WaitForSingleObject(process, 5000);
            CloseHandle(process);
        }
    }
    return TRUE;
}

void EndSampleGames() { EnumWindows(EndGameProc, 0); }

std::wstring RegistryRoot() {
    wchar_t value[2048];
    DWORD bytes = sizeof(value);
    if (RegGetValueW(HKEY_CURRENT_USER, L"Software\\ORVELANT\\Launcher", L"LibraryRoot",
                     RRF_RT_REG_SZ, nullptr, value, &bytes) != ERROR_SUCCESS)
        return L"";
    return value;
}

void LibraryShellTest::SetUp() {
    ShellProcessTest::SetUp();
    pick_file_ = dir_ + L"\\pick.txt";
    env_.Set(L"ORV_TEST_PICK_FILE", pick_file_.c_str());
}

void LibraryShellTest::TearDown() {
    ShellProcessTest::TearDown();
    EndSampleGames();
    SettingsGuard::Clear();
    if (viewer_registered_) {
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_CLASSES_ROOT, L".txt", 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                            nullptr) == ERROR_SUCCESS) {
            if (saved_txt_class_.empty())
                RegDeleteValueW(key, nullptr);
            else
                RegSetValueExW(key, nullptr, 0, REG_SZ, (const BYTE *)saved_txt_class_.c_str(),
                               (DWORD)((saved_txt_class_.size() + 1) * 2));
            RegCloseKey(key);
        }
        RegDeleteTreeW(HKEY_CLASSES_ROOT, L"orvelant.testviewer");
    }
}

void LibraryShellTest::InstallSampleGame(const std::string &install_dir) {
    std::wstring folder = library_ + L"\\" + Widen(install_dir);
    MakeDirs(folder);
    ASSERT_TRUE(CopyFileW(ORV_TEST_SAMPLE_GAME, (folder + L"\\ORVELANT.exe").c_str(), FALSE));
    WriteFileBytes(folder + L"\\game.txt", "title=HALCYRA\r\nseconds=0\r\n");
}

void LibraryShellTest::InstallWorkerStandIn() {
    ASSERT_TRUE(CopyFileW(ORV_TEST_SAMPLE_GAME, (dir_ + L"\\ORVELANT Update Worker.exe").c_str(), FALSE));
    Write(L"game.txt", "title=WORKER STAND-IN\r\nseconds=0\r\n");
}

static void SetDefault(HKEY root, const std::wstring &path, const std::wstring &value) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                                             &key, nullptr));
    RegSetValueExW(key, nullptr, 0, REG_SZ, (const BYTE *)value.c_str(), (DWORD)((value.size() + 1) * 2));
    RegCloseKey(key);
}

void LibraryShellTest::RegisterTextViewer() {
    viewer_ = dir_ + L"\\viewer";
    MakeDirs(viewer_);
    ASSERT_TRUE(CopyFileW(ORV_TEST_SAMPLE_GAME, (viewer_ + L"\\viewer.exe").c_str(), FALSE));
    WriteFileBytes(viewer_ + L"\\game.txt", "title=VIEWER\r\nseconds=0\r\n");
    wchar_t old[256];
    DWORD bytes = sizeof(old);
    if (RegGetValueW(HKEY_CLASSES_ROOT, L".txt", nullptr, RRF_RT_REG_SZ, nullptr, old, &bytes) ==
        ERROR_SUCCESS)
        saved_txt_class_ = old;
    viewer_registered_ = true;
    SetDefault(HKEY_CLASSES_ROOT, L".txt", L"orvelant.testviewer");
    SetDefault(HKEY_CLASSES_ROOT, L"orvelant.testviewer\\shell\\open\\command",
               L"\"" + viewer_ + L"\\viewer.exe\" \"%1\"");
}

void LibraryShellTest::StartHooked() {
    Start(TestBinDir() + L"\\shell-with-test-hooks.exe");
    window_ = orv_probe::FindShellWindow(pid_, 20000);
    ASSERT_NE(nullptr, window_) << "no Shell window";
    ASSERT_TRUE(orv_probe::WaitProcessed(window_));
}

void LibraryShellTest::Pick(const std::wstring &folder) { WriteFileBytes(pick_file_, Narrow(folder)); }

void LibraryShellTest::InstallGame(const std::string &install_dir, bool known_good) {
    std::wstring folder = library_ + L"\\" + Widen(install_dir);
    unsigned int seed = (unsigned int)install_dir.size() * 31u + (unsigned char)install_dir[0];
    WriteFileBytes(folder + L"\\ORVELANT.exe", "MZ" + RandomBytes(seed, 5000));
    WriteFileBytes(folder + L"\\version.json", "{\r\n  \"version\": \"1.0.0\"\r\n}\r\n");
    WriteFileBytes(folder + L"\\data\\a.pak", RandomBytes(seed + 1, 200000));
    WriteFileBytes(folder + L"\\data\\maps\\b.pak", RandomBytes(seed + 2, 70000));
    if (known_good) WriteFileBytes(folder + L"\\.orvelant-known-good", "ok\r\n");
}

void LibraryShellTest::ExpectBox(const std::wstring &text, int answer, bool question,
                                 const std::wstring &caption) {
    HWND box = orv_probe::FindMessageBox(pid_, 15000);
    ASSERT_NE(nullptr, box) << "no box: " << Narrow(text);
    EXPECT_EQ(caption, orv_probe::MessageBoxCaption(box));
    EXPECT_EQ(text, orv_probe::MessageBoxText(box));
    EXPECT_EQ(window_, GetWindow(box, GW_OWNER));
    EXPECT_EQ(question, GetDlgItem(box, IDYES) != nullptr && GetDlgItem(box, IDNO) != nullptr);
    ASSERT_TRUE(orv_probe::AnswerMessageBox(box, question ? answer : IDOK));
    ASSERT_TRUE(orv_probe::WaitProcessed(window_));
}

void LibraryShellTest::ExpectBoxAfter(int id, const std::wstring &text, int answer, bool question,
                                      const std::wstring &caption) {
    ASSERT_TRUE(PostMessageW(window_, WM_COMMAND, MAKEWPARAM(id, 0), 0));
    ExpectBox(text, answer, question, caption);
}

void LibraryShellTest::ExpectNoBox() {
    ASSERT_TRUE(orv_probe::WaitProcessed(window_));
    HWND box = orv_probe::FindMessageBox(pid_, 300);
    if (box) {
        ADD_FAILURE() << "unexpected box: " << Narrow(orv_probe::MessageBoxText(box));
        orv_probe::AnswerMessageBox(box, GetDlgItem(box, IDNO) ? IDNO : IDOK);
    }
}

void LibraryShellTest::ExpectNoBoxAfter(int id) {
    Click(id);
    ExpectNoBox();
}

Statuses LibraryShellTest::RunWorkerJob(const std::string &id) {
    std::wstring install = dir_ + L"\\worker-install";
    MakeDirs(install);
    std::wstring exe = install + L"\\ORVELANT Update Worker.exe";
    CopyFileW((BinDir() + L"\\ORVELANT Update Worker.exe").c_str(), exe.c_str(), FALSE);
    WriteFileBytes(install + L"\\catalog.json",
                   "{\"products\": [{\"id\": \"" + id + "\", \"title\": \"T\", \"install_dir\": \"" +
                       id + "\", \"executable\": \"ORVELANT.exe\", \"manifest_path\": "
                            "\"/games/nowhere/manifest.json\"}]}");
    ChildRun run = RunChild(exe, L" /parent:{parent} /product:" + Widen(id));
    EXPECT_EQ(0u, run.exit_code);
    return run.Statuses();
}

}  // namespace orv_test
