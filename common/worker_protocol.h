// What the Update Worker tells the window named on its command line: two
// posted messages, and the status codes carried by the first.
#pragma once

#include <windows.h>

#define WM_WORKER_STATUS (WM_APP + 10)     // wParam: WorkerStatus, lParam: percent
#define WM_WORKER_TRANSFER (WM_APP + 11)   // wParam: KiB/s, lParam: MiB remaining

enum WorkerStatus {
    PRODUCT_CHECKING = 1,
    PRODUCT_TRANSFER = 2,
    PRODUCT_CURRENT = 3,
    PRODUCT_OFFLINE_READY = 4,
    PRODUCT_FAILED = 5,
    PRODUCT_NOT_INSTALLED = 6,
    PRODUCT_VERIFYING = 7,
    SYNC_STARTED = 8,
    SYNC_DONE = 9,
    SYNC_UNAVAILABLE = 10,
    SELF_UPDATE_STARTED = 11,
    SELF_UPDATE_LAUNCHED = 12,
    SELF_UPDATE_FAILED = 13,
};
