// The local update host the transport tests run against (started by the
// update_host fixture before these tests, stopped after them).
#pragma once

#include <string>
#include <vector>

namespace orv_test {

std::wstring HostTree();           // Wine path of the served tree
std::string HostAccessLog();       // nginx's access log so far
// How many GET requests for exactly this path the host has logged.
size_t HostRequestCount(const std::string &path);
// One request the hostile host answered under /flaky/ (its -flaky log):
// the URL, the Range header ("-" without one), how many requests it was
// answering at once when this one came, whether this one was given a fault,
// and the body bytes it sent (-1 while not answered yet).
struct FlakyRequest {
    std::string url, range;
    int inflight = 0;
    bool fault = false;
    long long sent = -1;
};
std::vector<FlakyRequest> FlakyRequests();
// Runs a shell command line on the Linux side and waits for it (up to 60 s).
bool RunOnHost(const std::string &command);
bool StopHost();
bool StartHost();

}  // namespace orv_test
