#include "update_host.h"

#include <windows.h>

#include <vector>

#include "test_support.h"

namespace orv_test {

std::wstring HostTree() { return ORV_TEST_HOST_TREE; }

std::string HostAccessLog() {
    return ReadFileBytes(std::wstring(ORV_TEST_HOST_STATE_WINE) + L"\\logs\\access.log");
}

size_t HostRequestCount(const std::string &path) {
    std::string log = HostAccessLog();
    std::string needle = "\"GET " + path + " ";
    size_t count = 0;
    for (size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1))
        ++count;
    return count;
}

bool RunOnHost(const std::string &command) {
    // Wine starts Linux programs given by their Z: path; the marker file tells
    // when the command has finished.
    std::wstring marker = ScratchRoot() + L"\\host-command.done";
    DeleteFileW(marker.c_str());
    std::string unix_marker = std::string(ORV_TEST_SCRATCH_UNIX) + "/host-command.done";
    std::wstring line = L"/bin/sh -c \"" + Widen(command) + L" >/dev/null 2>&1; touch '" +
                        Widen(unix_marker) + L"'\"";
    std::vector<wchar_t> buffer(line.begin(), line.end());
    buffer.push_back(0);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(L"Z:\\bin\\sh", buffer.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &si, &pi))
        return false;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    for (int i = 0; i < 600; ++i) {
        if (PathIsFile(marker)) return true;
        Sleep(100);
    }
    return false;
}

// nginx only: the hostile host beside it stays up for the tests after.
bool StopHost() {
    return RunOnHost(std::string(ORV_TEST_REPO_UNIX) + "/host/stop.sh '" ORV_TEST_HOST_STATE_UNIX "'");
}

bool StartHost() {
    return RunOnHost(std::string(ORV_TEST_REPO_UNIX) + "/host/start.sh '" ORV_TEST_HOST_STATE_UNIX
                     "' '" ORV_TEST_HOST_TREE_UNIX "' localhost");
}

}  // namespace orv_test
