// The local update host the transport tests run against (started by the
// update_host fixture before these tests, stopped after them).
#pragma once

#include <string>

namespace orv_test {

std::wstring HostTree();           // Wine path of the served tree
std::string HostAccessLog();       // nginx's access log so far
// How many GET requests for exactly this path the host has logged.
size_t HostRequestCount(const std::string &path);
// Runs a shell command line on the Linux side and waits for it (up to 60 s).
bool RunOnHost(const std::string &command);
bool StopHost();
bool StartHost();

}  // namespace orv_test
