// The Launcher Shell's copy of the runtime.
#include "runtime.h"

const RuntimeProfile kRuntimeProfile = {
    262144,                 // ReadWholeFile reads at most 256 KiB
    2100,                   // CreateDirectoryTree working buffer (a deep game file's folder in a library move)
    0,                      // WriteWholeFile writes into an existing folder only
    L"logs\\launcher.log",  // log file
    0,                      // ReadSettingText leaves its destination as the query left it
};
