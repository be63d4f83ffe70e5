// The Launcher Setup's copy of the runtime: its own log of the steps that
// fail; the whole-file reads are the uninstall's look at the cached catalog,
// as the Shell reads it, and the record of an unfinished restore.
#include "runtime.h"

const RuntimeProfile kRuntimeProfile = {
    262144,   // ReadWholeFile reads at most 256 KiB
    1200,     // CreateDirectoryTree working buffer
    0,        // WriteWholeFile does not create the parent directory
    L"logs\\setup.log",
    0,        // ReadSettingText leaves its destination as the query left it
};
