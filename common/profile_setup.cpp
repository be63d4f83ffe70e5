// The Launcher Setup's copy of the runtime: no log; the one whole-file read
// is the uninstall's look at the cached catalog, as the Shell reads it.
#include "runtime.h"

const RuntimeProfile kRuntimeProfile = {
    262144,   // ReadWholeFile reads at most 256 KiB
    1200,     // CreateDirectoryTree working buffer
    0,        // WriteWholeFile does not create the parent directory
    0,        // the Setup writes no log
    0,        // ReadSettingText leaves its destination as the query left it
};
