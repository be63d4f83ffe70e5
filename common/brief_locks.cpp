// Virus scanners, indexers and the launcher window open files for a moment
// (the window reads every "version.json" and the cached documents at each
// status): a write or move that meets such an open waits it out briefly.
#include "runtime.h"

// Called after a failed create or move with its error still set: when the
// failure is a sharing or lock violation and the time allowed (about one
// second in all) is not used up, sleeps and returns 1 to try again. A move
// over a file that another program holds open reports access denied, so for
// a move that error is waited out as well (a lasting denial still fails,
// one second later).
int WaitOutBriefLock(int attempt, int move) {
    DWORD error = GetLastError();
    int brief = error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
                (move && error == ERROR_ACCESS_DENIED);
    if (!brief) return 0;
    if (attempt >= 20) return 0;
    Sleep(50);
    SetLastError(error);
    return 1;
}
