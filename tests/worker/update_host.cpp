#include "update_host.h"

#include <windows.h>

#include <cstdio>
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

std::vector<FlakyRequest> FlakyRequests() {
    std::string log =
        ReadFileBytes(std::wstring(ORV_TEST_HOST_STATE_WINE) + L"\\logs\\hostile-flaky.log");
    std::vector<FlakyRequest> requests;
    size_t at = 0;
    while (at < log.size()) {
        size_t end = log.find('\n', at);
        if (end == std::string::npos) break;
        std::string line = log.substr(at, end - at);
        at = end + 1;
        char url[1024], range[128];
        int inflight = 0, fault = 0;
        long long sent = 0;
        if (sscanf(line.c_str(), "GET %1023s %127s inflight=%d fault=%d", url, range, &inflight,
                   &fault) == 4) {
            requests.push_back({url, range, inflight, fault != 0, -1});
        } else if (sscanf(line.c_str(), "END %1023s %lld", url, &sent) == 2) {
            // The oldest unanswered request for that URL.
            for (FlakyRequest &r : requests)
                if (r.url == url && r.sent < 0) {
                    r.sent = sent;
                    break;
                }
        }
    }
    return requests;
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
