// The diagnostics report: a snapshot of what the Shell knows, written as
// UTF-16 text to "logs\diagnostics.txt" and opened in the default viewer.
#include "library_ops.h"

#include "runtime.h"
#include "settings.h"

void WriteReportLine(HANDLE file, const wchar_t *text) {
    if (!file || file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    if (text && text[0])
        WriteFile(file, text, (DWORD)(WideLength(text) * 2), &written, NULL);
    static const wchar_t kLineEnd[] = L"\r\n";
    WriteFile(file, kLineEnd, 4, &written, NULL);
}

static void WriteLabelled(HANDLE file, const wchar_t *label, const wchar_t *value) {
    wchar_t line[1600];
    WideCopy(line, label, 1600);
    if (value) WideAppend(line, value, 1600);
    WriteReportLine(file, line);
}

static const wchar_t *PresenceText(const wchar_t *name) {
    wchar_t path[1200];
    InstallPath(name, path, 1200);
    return FileExists(path) ? L"PRESENT" : L"MISSING";
}

static void WriteProductLine(HANDLE file, int slot) {
    const CatalogProduct *p = &g_model.products[slot];
    wchar_t version[100];
    ReadInstalledVersion(slot, version, 100);
    wchar_t line[1600];
    WideCopy(line, L"[", 1600);
    WideAppend(line, p->id, 1600);
    WideAppend(line, L"] ", 1600);
    WideAppend(line, p->title, 1600);
    WideAppend(line, L" // ", 1600);
    WideAppend(line, IsInstalled(slot) ? L"INSTALLED" : L"NOT INSTALLED", 1600);
    WideAppend(line, L" // KNOWN-GOOD ", 1600);
    WideAppend(line, IsKnownGood(slot) ? L"YES" : L"NO", 1600);
    WideAppend(line, L" // VERSION ", 1600);
    WideAppend(line, version, 1600);
    WriteReportLine(file, line);
}

// The documents the last sync refused and why, as the Update Worker keeps
// them beside its trusted serials; the section appears only when there are
// any, so a report without refusals reads exactly as before.
static void WriteSyncRefusals(HANDLE file) {
    wchar_t path[1200];
    InstallPath(L"trusted-serials.txt", path, 1200);
    unsigned int size = 0;
    char *text = ReadWholeFile(path, &size);
    if (!text) return;
    static const char kPrefix[] = "refused ";
    int shown = 0;
    for (unsigned int at = 0; at < size;) {
        unsigned int end = at;
        while (end < size && text[end] != '\r' && text[end] != '\n') ++end;
        unsigned int k = 0;
        while (kPrefix[k] && at + k < end && text[at + k] == kPrefix[k]) ++k;
        if (!kPrefix[k]) {
            if (!shown) {
                WriteReportLine(file, L"");
                WriteReportLine(file, L"SYNC REFUSALS");
                WriteReportLine(file, L"-------------");
            }
            ++shown;
            char line[600];
            unsigned int n = 0;
            for (unsigned int i = at + k; i < end && n + 1 < sizeof(line); ++i) line[n++] = text[i];
            line[n] = 0;
            wchar_t wide[600];
            if (Utf8ToWide(line, wide, 600)) WriteReportLine(file, wide);
        }
        at = end;
        while (at < size && (text[at] == '\r' || text[at] == '\n')) ++at;
    }
    HeapFree(GetProcessHeap(), 0, text);
}

int WriteDiagnosticsReport(void) {
    wchar_t logs[1200];
    InstallPath(L"logs", logs, 1200);
    CreateDirectoryTree(logs);
    wchar_t path[1300];
    InstallPath(L"logs\\diagnostics.txt", path, 1300);
    HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        LogFailedStep("Diagnostics report create failed", GetLastError(), path, NULL);
        return 0;
    }
    static const unsigned char kByteOrderMark[2] = {0xFF, 0xFE};
    DWORD written = 0;
    WriteFile(file, kByteOrderMark, 2, &written, NULL);

    const wchar_t *signal = g_model.worker.sync_running ? L"SYNCING"
                            : g_model.control.signal[0] ? g_model.control.signal
                                                  : L"LOCAL";
    wchar_t bandwidth[80];
    if (g_model.bandwidth_kbps != 0)
        FormatUnsigned(bandwidth, 80, (unsigned int)g_model.bandwidth_kbps);
    else
        WideCopy(bandwidth, L"UNLIMITED", 80);

    WriteReportLine(file, L"ORVELANT LAUNCHER DIAGNOSTICS");
    WriteReportLine(file, L"================================");
    WriteLabelled(file, L"Launcher Version: ", ORV_LAUNCHER_VERSION);
    WriteLabelled(file, L"Install Root: ", g_install_dir);
    WriteLabelled(file, L"Game Library: ", g_library_root);
    WriteLabelled(file, L"Remote Signal: ", signal);
    WriteLabelled(file, L"Service State: ", g_model.control.service_state);
    WriteLabelled(file, L"Minimum Launcher: ", g_model.control.min_launcher_version);
    WriteLabelled(file, L"Latest Launcher: ", g_model.control.latest_launcher_version);
    WriteLabelled(file, L"Launcher Update Required: ",
                  g_model.control.launcher_update_required ? L"YES" : L"NO");
    WriteLabelled(file, L"Offline Allowed: ", g_model.control.allow_offline ? L"YES" : L"NO");
    WriteLabelled(file, L"Update Worker: ", PresenceText(L"ORVELANT Update Worker.exe"));
    WriteLabelled(file, L"Catalog Cache: ", PresenceText(L"catalog.json"));
    WriteLabelled(file, L"Control Cache: ", PresenceText(L"control.json"));
    WriteLabelled(file, L"News Cache: ", PresenceText(L"news.json"));
    WriteLabelled(file, L"Bandwidth Limit KB/s: ", bandwidth);
    WriteLabelled(file, L"Download Pause Flag: ", IsPauseFlagSet() ? L"SET" : L"CLEAR");
    WriteReportLine(file, L"");
    WriteReportLine(file, L"PRODUCTS");
    WriteReportLine(file, L"--------");
    for (int slot = 0; slot < g_model.product_count; ++slot) WriteProductLine(file, slot);
    WriteSyncRefusals(file);
    CloseHandle(file);
    LogLine("Diagnostics report generated");
    return 1;
}

void RunDiagnostics(void) {
    if (!WriteDiagnosticsReport()) {
        TellPlayer(
                    L"診断レポートを作成できませんでした。logs\\launcher.log を確認してください。",
                    L"ORVELANT Diagnostics", MB_ICONERROR);
        return;
    }
    wchar_t path[1200];
    InstallPath(L"logs\\diagnostics.txt", path, 1200);
    ShellOpen(g_main_window, path);
}
