// Test tooling, never shipped: a stand-in "powershell.exe" for the Wine test
// prefix, which has no Windows PowerShell. It accepts exactly the four
// command lines the Launcher Setup runs (anything else is refused with exit
// code 1), records every command line it gets, and does what PowerShell and
// WScript.Shell would do, with the same Win32 calls underneath: two shell
// links (IShellLinkW + IPersistFile) or the deferred, error-ignoring
// recursive removal of the launcher's folders (the removal waits first for
// the process named by its leading Wait-Process, as PowerShell would).
//
// The record: when ORV_POWERSHELL_RECORD names a file, one line per run is
// appended, "ACCEPTED <name>" or "REFUSED <command line>", UTF-8, CR LF.
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <string>

namespace {

const wchar_t kPrefix[] =
    L"powershell.exe -NoProfile -ExecutionPolicy Bypass -WindowStyle Hidden -Command ";

const wchar_t kCreateShortcuts[] =
    L"\"$i=Join-Path $env:LOCALAPPDATA 'Programs\\ORVELANT Launcher';"
    L"$e=Join-Path $i 'ORVELANT Launcher.exe';$ico=Join-Path $i 'assets\\origin-core.ico';"
    L"$w=New-Object -ComObject WScript.Shell;"
    L"$d=Join-Path ([Environment]::GetFolderPath('Desktop')) 'ORVELANT Launcher.lnk';"
    L"$s=$w.CreateShortcut($d);$s.TargetPath=$e;$s.WorkingDirectory=$i;"
    L"$s.Description='ORVELANT Launcher';$s.IconLocation=$ico;$s.Save();"
    L"$m=Join-Path $env:APPDATA 'Microsoft\\Windows\\Start Menu\\Programs\\ORVELANT Launcher.lnk';"
    L"$s=$w.CreateShortcut($m);$s.TargetPath=$e;$s.WorkingDirectory=$i;"
    L"$s.Description='ORVELANT Launcher';$s.IconLocation=$ico;$s.Save()\"";
const wchar_t kRemoveShortcuts[] =
    L"\"$d=Join-Path ([Environment]::GetFolderPath('Desktop')) 'ORVELANT Launcher.lnk';"
    L"$m=Join-Path $env:APPDATA 'Microsoft\\Windows\\Start Menu\\Programs\\ORVELANT Launcher.lnk';"
    L"Remove-Item -LiteralPath $d -Force -ErrorAction SilentlyContinue;"
    L"Remove-Item -LiteralPath $m -Force -ErrorAction SilentlyContinue\"";
const wchar_t kRemoveLauncher[] =
    L"\"Start-Sleep -Milliseconds 1200;$p=Join-Path $env:LOCALAPPDATA 'Programs\\ORVELANT Launcher';"
    L"Remove-Item -LiteralPath $p -Recurse -Force -ErrorAction SilentlyContinue\"";
const wchar_t kRemoveAll[] =
    L"\"Start-Sleep -Milliseconds 1200;$p=Join-Path $env:LOCALAPPDATA 'Programs\\ORVELANT Launcher';"
    L"$g=Join-Path $env:LOCALAPPDATA 'ORVELANT\\Games';"
    L"Remove-Item -LiteralPath $p -Recurse -Force -ErrorAction SilentlyContinue;"
    L"Remove-Item -LiteralPath $g -Recurse -Force -ErrorAction SilentlyContinue\"";

std::wstring Env(const wchar_t *name) {
    wchar_t value[32768];
    DWORD n = GetEnvironmentVariableW(name, value, 32768);
    return n > 0 && n < 32768 ? std::wstring(value, n) : std::wstring();
}

void Record(const std::wstring &line) {
    std::wstring path = Env(L"ORV_POWERSHELL_RECORD");
    if (path.empty()) return;
    int n = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), (int)line.size(), nullptr, 0, nullptr,
                                nullptr);
    std::string bytes(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.c_str(), (int)line.size(), bytes.data(), n, nullptr,
                        nullptr);
    bytes += "\r\n";
    HANDLE h = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(h, bytes.data(), (DWORD)bytes.size(), &written, nullptr);
    CloseHandle(h);
}

// [Environment]::GetFolderPath('Desktop')
std::wstring DesktopFolder() {
    wchar_t path[MAX_PATH];
    if (SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK)
        return L"";
    return path;
}

bool SaveShortcut(const std::wstring &link, const std::wstring &target, const std::wstring &dir,
                  const std::wstring &icon) {
    IShellLinkW *shell_link = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                (void **)&shell_link)))
        return false;
    shell_link->SetPath(target.c_str());
    shell_link->SetWorkingDirectory(dir.c_str());
    shell_link->SetDescription(L"ORVELANT Launcher");
    shell_link->SetIconLocation(icon.c_str(), 0);
    IPersistFile *file = nullptr;
    bool ok = SUCCEEDED(shell_link->QueryInterface(IID_IPersistFile, (void **)&file));
    if (ok) {
        ok = SUCCEEDED(file->Save(link.c_str(), TRUE));
        file->Release();
    }
    shell_link->Release();
    return ok;
}

int CreateShortcuts() {
    std::wstring i = Env(L"LOCALAPPDATA") + L"\\Programs\\ORVELANT Launcher";
    std::wstring e = i + L"\\ORVELANT Launcher.exe";
    std::wstring ico = i + L"\\assets\\origin-core.ico";
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    // PowerShell stops at the first failing statement of a -Command script.
    bool ok = SaveShortcut(DesktopFolder() + L"\\ORVELANT Launcher.lnk", e, i, ico) &&
              SaveShortcut(Env(L"APPDATA") +
                               L"\\Microsoft\\Windows\\Start Menu\\Programs\\ORVELANT Launcher.lnk",
                           e, i, ico);
    CoUninitialize();
    return ok ? 0 : 1;
}

// Remove-Item -Recurse -Force -ErrorAction SilentlyContinue: removes what it
// can (read-only and hidden entries too) and ignores the rest.
void RemoveTree(const std::wstring &path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        if (!DeleteFileW(path.c_str())) RemoveDirectoryW(path.c_str());
        return;
    }
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name != L"." && name != L"..") RemoveTree(path + L"\\" + name);
        } while (FindNextFileW(find, &found));
        FindClose(find);
    }
    RemoveDirectoryW(path.c_str());
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    std::wstring line = GetCommandLineW();
    std::wstring prefix = kPrefix;
    std::wstring script = line.compare(0, prefix.size(), prefix) == 0 ? line.substr(prefix.size())
                                                                       : std::wstring();
    std::wstring local = Env(L"LOCALAPPDATA");
    if (script == kCreateShortcuts) {
        Record(L"ACCEPTED shortcut-creation");
        return CreateShortcuts();
    }
    if (script == kRemoveShortcuts) {
        Record(L"ACCEPTED shortcut-removal");
        DeleteFileW((DesktopFolder() + L"\\ORVELANT Launcher.lnk").c_str());
        DeleteFileW((Env(L"APPDATA") +
                     L"\\Microsoft\\Windows\\Start Menu\\Programs\\ORVELANT Launcher.lnk")
                        .c_str());
        return 0;
    }
    // Wait-Process -Id <pid> -ErrorAction SilentlyContinue; before the removal.
    const std::wstring wait = L"\"Wait-Process -Id ";
    const std::wstring wait_tail = L" -ErrorAction SilentlyContinue;";
    std::wstring waited;
    if (script.compare(0, wait.size(), wait) == 0) {
        size_t digits = wait.size();
        while (digits < script.size() && script[digits] >= L'0' && script[digits] <= L'9') ++digits;
        if (digits > wait.size() && script.compare(digits, wait_tail.size(), wait_tail) == 0) {
            waited = script.substr(wait.size(), digits - wait.size());
            script = L"\"" + script.substr(digits + wait_tail.size());
        }
    }
    if (script == kRemoveLauncher || script == kRemoveAll) {
        bool all = script == kRemoveAll;
        std::wstring name = all ? L"launcher-and-library-removal" : L"launcher-removal";
        if (waited.empty()) {
            Record(L"ACCEPTED " + name);
        } else {
            HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, (DWORD)std::stoul(waited));
            if (process) {
                WaitForSingleObject(process, INFINITE);
                CloseHandle(process);
            }
            Record(L"ACCEPTED " + name + L" after process " + waited + L" ended");
        }
        Sleep(1200);
        RemoveTree(local + L"\\Programs\\ORVELANT Launcher");
        if (all) RemoveTree(local + L"\\ORVELANT\\Games");
        return 0;
    }
    Record(L"REFUSED " + line);
    return 1;
}
