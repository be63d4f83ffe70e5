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
    return RunLinuxCommand(command, ScratchRoot() + L"\\host-command.done",
                           std::string(ORV_TEST_SCRATCH_UNIX) + "/host-command.done", 60000);
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
