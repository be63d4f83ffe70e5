// Start-up profile: when the environment holds ORVELANT_STARTUP_PROFILE the
// Shell logs how long each start-up step took, and the time since the
// process was created; otherwise nothing is measured or written.
#include "shell.h"

#include "runtime.h"

static int g_profile_on = -1;  // -1 not looked up yet
static LARGE_INTEGER g_frequency, g_last;
static unsigned long long g_created_100ns;

static unsigned long long FileTimeValue(const FILETIME *t) {
    return ((unsigned long long)t->dwHighDateTime << 32) | t->dwLowDateTime;
}

// Microseconds as "<ms>.<tenths> ms".
static void AppendMs(char *line, unsigned int capacity, unsigned long long us) {
    AppendDecimal(line, capacity, us / 1000);
    AppendNarrow(line, capacity, ".");
    AppendDecimal(line, capacity, (us % 1000) / 100);
    AppendNarrow(line, capacity, " ms");
}

void StartupStep(const char *step) {
    if (g_profile_on < 0) {
        wchar_t value[8];
        g_profile_on = GetEnvironmentVariableW(L"ORVELANT_STARTUP_PROFILE", value, 8) > 0;
        if (!g_profile_on) return;
        QueryPerformanceFrequency(&g_frequency);
        FILETIME created, exited, kernel, user;
        if (GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
            g_created_100ns = FileTimeValue(&created);
    }
    if (!g_profile_on) return;
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    FILETIME wall;
    GetSystemTimeAsFileTime(&wall);
    char line[160] = "startup profile: ";
    AppendNarrow(line, sizeof(line), step);
    AppendNarrow(line, sizeof(line), " ");
    // The first step is everything before the Shell's own code ran.
    unsigned long long step_us =
        g_last.QuadPart == 0
            ? (FileTimeValue(&wall) - g_created_100ns) / 10
            : (unsigned long long)(now.QuadPart - g_last.QuadPart) * 1000000ULL /
                  (unsigned long long)g_frequency.QuadPart;
    AppendMs(line, sizeof(line), step_us);
    AppendNarrow(line, sizeof(line), ", since the process was created ");
    AppendMs(line, sizeof(line), (FileTimeValue(&wall) - g_created_100ns) / 10);
    g_last = now;
    LogLine(line);
}
