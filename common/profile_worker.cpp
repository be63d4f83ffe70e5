// The Update Worker's copy of the runtime.
#include "runtime.h"

const RuntimeProfile kRuntimeProfile = {
    524288,                // ReadWholeFile reads at most 512 KiB
    1200,                  // CreateDirectoryTree working buffer
    1,                     // WriteWholeFile creates the parent directory first
    L"logs\\updater.log",  // log file
    1,                     // ReadSettingText leaves an empty text on failure
};
