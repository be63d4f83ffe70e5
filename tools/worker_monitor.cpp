// worker-monitor [--env NAME=VALUE]... <program> [arguments...]
// Starts the program as a child of a hidden window, as the Shell starts the
// Worker; "{parent}" in the arguments becomes that window's handle. Prints
// each WM_WORKER_STATUS / WM_WORKER_TRANSFER as it arrives, then the exit
// code, and exits with it. --env sets a variable for the program only.
#include <cstdio>
#include <string>

#include "child_process.h"

static const char *StatusName(unsigned long long code) {
    static const char *const names[] = {
        "?", "PRODUCT_CHECKING", "PRODUCT_TRANSFER", "PRODUCT_CURRENT", "PRODUCT_OFFLINE_READY",
        "PRODUCT_FAILED", "PRODUCT_NOT_INSTALLED", "PRODUCT_VERIFYING", "SYNC_STARTED",
        "SYNC_DONE", "SYNC_UNAVAILABLE", "SELF_UPDATE_STARTED", "SELF_UPDATE_LAUNCHED",
        "SELF_UPDATE_FAILED"};
    return code < sizeof(names) / sizeof(names[0]) ? names[code] : "?";
}

int wmain(int argc, wchar_t **argv) {
    int first = 1;
    while (first + 1 < argc && std::wstring(argv[first]) == L"--env") {
        std::wstring pair = argv[first + 1];
        size_t eq = pair.find(L'=');
        if (eq == std::wstring::npos) break;
        SetEnvironmentVariableW(pair.substr(0, eq).c_str(), pair.substr(eq + 1).c_str());
        first += 2;
    }
    if (first >= argc) {
        std::fprintf(stderr, "usage: worker-monitor [--env NAME=VALUE]... <program> [arguments...]\n");
        return 2;
    }
    std::wstring args;
    for (int i = first + 1; i < argc; ++i) args += L" " + std::wstring(argv[i]);
    orv_test::ChildOptions options;
    options.timeout_ms = 600000;
    // A product of 100,000 files takes longer than the default ten minutes.
    wchar_t limit[16];
    DWORD n = GetEnvironmentVariableW(L"ORV_MONITOR_TIMEOUT_S", limit, 16);
    if (n > 0 && n < 16) options.timeout_ms = (DWORD)_wtoi(limit) * 1000;
    options.on_message = [](const orv_test::WorkerMessage &m, HANDLE) {
        if (m.message == WM_WORKER_STATUS)
            std::printf("  %7.0f ms  status    %-22s %lld\n", m.at_ms, StatusName(m.wparam),
                        m.lparam);
        else
            std::printf("  %7.0f ms  transfer  %llu KiB/s, %lld MiB left\n", m.at_ms, m.wparam,
                        m.lparam);
        std::fflush(stdout);
    };
    orv_test::ChildRun run = orv_test::RunChildProcess(argv[first], args, options);
    if (!run.error.empty()) {
        std::fprintf(stderr, "worker-monitor: %s\n", run.error.c_str());
        return 2;
    }
    std::printf("  exit code %lu%s\n", run.exit_code, run.timed_out ? " (timed out, killed)" : "");
    return (int)run.exit_code;
}
