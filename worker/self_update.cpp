// Launcher self-update: fetch the Setup named by the signed control document,
// check its SHA-256 and start it so that it can replace the launcher core.
#include "json.h"
#include "process.h"
#include "runtime.h"
#include "transport.h"
#include "worker.h"

#ifndef ORV_UPDATE_HOST
#define ORV_UPDATE_HOST "localhost"
#endif

static const char kUpdateOrigin[] = "https://" ORV_UPDATE_HOST;

int ReadInstallerTarget(wchar_t *path, char *digest) {
    wchar_t control[1200];
    InstallPath(L"control.json", control, 1200);
    unsigned int length = 0;
    char *doc = ReadWholeFile(control, &length);
    if (!doc) return 0;
    char url[900];
    int ok = JsonGetString(doc, 0, length, "installer_url", url, sizeof(url)) &&
             JsonGetString(doc, 0, length, "installer_sha256", digest, 80);
    HeapFree(GetProcessHeap(), 0, doc);
    if (!ok || !IsSha256Hex(digest)) return 0;
    // Only the update origin, then "/": no port, user, other scheme or host.
    unsigned int n = 0;
    while (kUpdateOrigin[n] != 0) {
        if (url[n] != kUpdateOrigin[n]) return 0;
        ++n;
    }
    if (url[n] != '/') return 0;
    return Utf8ToWide(url + n, path, 1000) > 0;
}

int RunSelfUpdate(void) {
    LogLine("Launcher self-update started");
    PostWorkerStatus(SELF_UPDATE_STARTED, 5);
    wchar_t url_path[1000];
    char digest[80];
    if (!ReadInstallerTarget(url_path, digest)) {
        LogLine("Self-update control missing/invalid installer URL or SHA-256");
        PostWorkerStatus(SELF_UPDATE_FAILED, 100);
        return EXIT_SELF_UPDATE_TARGET;
    }
    wchar_t folder[1300];
    wchar_t part[1400];
    wchar_t final_path[1400];
    InstallPath(L"cache\\launcher-self-update", folder, 1300);
    CreateDirectoryTree(folder);
    JoinPath(folder, L"ORVELANT_Launcher_Setup_latest.exe.part", part, 1400);
    JoinPath(folder, L"ORVELANT_Launcher_Setup_latest.exe", final_path, 1400);

    g_transfer.expected_bytes = 0;
    g_transfer.done_bytes = 0;
    g_transfer.start_tick = GetTickCount64();
    g_transfer.last_post_tick = 0;
    if (!DownloadToFile(url_path, part, 0)) {  // the control document gives no size
        PostWorkerStatus(SELF_UPDATE_FAILED, 100);
        return EXIT_SELF_UPDATE_DOWNLOAD;
    }

    unsigned char actual[kDigestBytes];
    if (!Sha256File(part, actual) || !DigestMatchesHex(actual, digest)) {
        DeleteFileW(part);
        LogLine("Self-update installer SHA-256 mismatch");
        PostWorkerStatus(SELF_UPDATE_FAILED, 100);
        return EXIT_SELF_UPDATE_DIGEST;
    }
    if (!MoveFileExW(part, final_path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        LogFailedStep("Self-update installer commit failed", GetLastError(), part, final_path);
        PostWorkerStatus(SELF_UPDATE_FAILED, 100);
        return EXIT_SELF_UPDATE_RENAME;
    }

    // The Setup waits for the Shell (by its process id) before it replaces
    // the launcher core.
    DWORD shell_pid = 0;
    if (g_command.parent_window != 0)
        GetWindowThreadProcessId((HWND)(ULONG_PTR)g_command.parent_window, &shell_pid);
    wchar_t command_line[1900];
    WideCopy(command_line, L"\"", 1900);
    WideAppend(command_line, final_path, 1900);
    WideAppend(command_line, L"\" /silent-update", 1900);
    if (shell_pid != 0) {
        wchar_t wait[40];
        wsprintfW(wait, L" /waitpid:%lu", shell_pid);
        WideAppend(command_line, wait, 1900);
    }
    if (!StartProgram(final_path, command_line, 0, g_install_dir, NULL)) {
        LogFailedStep("Self-update setup launch failed", GetLastError(), final_path, NULL);
        PostWorkerStatus(SELF_UPDATE_FAILED, 100);
        return EXIT_SELF_UPDATE_LAUNCH;
    }
    PostWorkerStatus(SELF_UPDATE_LAUNCHED, 100);
    LogLine("Self-update installer launched");
    return EXIT_OK;
}
