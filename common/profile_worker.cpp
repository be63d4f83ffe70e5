// The Update Worker's copy of the runtime.
#include "runtime.h"

const RuntimeProfile kRuntimeProfile = {
    524288,                // ReadWholeFile reads at most 512 KiB
    2100,                  // CreateDirectoryTree working buffer (a deep product file's folder)
    1,                     // WriteWholeFile creates the parent directory first
    L"logs\\updater.log",  // log file
    1,                     // ReadSettingText leaves an empty text on failure
};
