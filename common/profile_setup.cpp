// The Launcher Setup's copy of the runtime: no log, no whole-file reads.
#include "runtime.h"

const RuntimeProfile kRuntimeProfile = {
    0,        // ReadWholeFile is not used
    1200,     // CreateDirectoryTree working buffer
    0,        // WriteWholeFile does not create the parent directory
    0,        // the Setup writes no log
    0,        // ReadSettingText: the Setup does not read the settings key
};
