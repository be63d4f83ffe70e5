// Runs a program as a child of a hidden window that the caller owns and
// records every Worker message that arrives, with its time, and the exit
// code. Used by the tests and by the demo's monitor.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#define WM_WORKER_STATUS (WM_APP + 10)
#define WM_WORKER_TRANSFER (WM_APP + 11)

namespace orv_test {

struct WorkerMessage {
    UINT message;        // WM_WORKER_STATUS or WM_WORKER_TRANSFER
    unsigned long long wparam;
    long long lparam;
    double at_ms;        // arrival, ms after the child was started
};

struct ChildRun {
    DWORD exit_code = 0;
    bool started = false;
    bool timed_out = false;
    std::string error;
    unsigned long long parent = 0;   // the window handle given to the child
    std::vector<WorkerMessage> messages;
    std::vector<std::pair<int, int>> Statuses() const;   // (code, percent) in order
    std::vector<WorkerMessage> Transfers() const;
};

struct ChildOptions {
    DWORD timeout_ms = 60000;
    // Called for every recorded message while the child runs.
    std::function<void(const WorkerMessage &, HANDLE process)> on_message;
};

// Starts "exe" with the command line "\"exe\"" + args, where every "{parent}"
// in args becomes the decimal handle of a hidden window the caller owns.
// Pumps messages until the child exits and returns what arrived; error
// describes a failure to start.
ChildRun RunChildProcess(const std::wstring &exe, const std::wstring &args,
                         const ChildOptions &options = ChildOptions());

}  // namespace orv_test
