// The chain walk of a sync: root N+1 from the host, checked against the
// trusted root N and against itself, until the host has none.
#include "root.h"

#include "runtime.h"

static const wchar_t kTrustedRootTemporary[] = L"trusted-root.json.new";

static void RootRefused(unsigned long long version, const char *reason, unsigned long long a,
                        unsigned long long b) {
    char line[300] = "Root ";
    AppendDecimal(line, 300, version);
    AppendNarrow(line, 300, " refused: ");
    for (const char *p = reason; *p; ++p) {
        // '#' stands for the next number of the reason.
        if (*p == '#') {
            AppendDecimal(line, 300, a);
            a = b;
            continue;
        }
        char one[2] = {*p, 0};
        AppendNarrow(line, 300, one);
    }
    AppendNarrow(line, 300, "; root ");
    AppendDecimal(line, 300, g_root.version);
    AppendNarrow(line, 300, " stays trusted");
    LogLine(line);
}

// One step of the walk: 1 when root N+1 was taken, 0 when the host has none
// or it was refused.
static int TakeNextRoot(TrustRoot *next) {
    const unsigned long long version = g_root.version + 1;
    char narrow[64] = "/launcher/root/";
    AppendDecimal(narrow, 64, version);
    AppendNarrow(narrow, 64, ".root.json");
    wchar_t url[80], sigs_url[80];
    Utf8ToWide(narrow, url, 80);
    WideCopy(sigs_url, url, 80);
    WideAppend(sigs_url, L".sigs", 80);
    char *body = NULL, *sigs = NULL;
    unsigned int length = 0, sigs_length = 0;
    int taken = 0;
    unsigned char digest[kDigestBytes];
    if (!HttpGetToMemoryCapped(url, kRootBytes, &body, &length)) return 0;  // none published
    if (!HttpGetToMemoryCapped(sigs_url, kRootBytes, &sigs, &sigs_length)) {
        RootRefused(version, "its signatures (.sigs) are unavailable", 0, 0);
    } else if (!ParseRoot(body, length, next)) {
        RootRefused(version, "not a readable root document (version, expiry, thresholds, keys)", 0, 0);
    } else if (next->version < version) {
        RootRefused(version, "it carries root_version #, not newer than the trusted root #",
                    next->version, g_root.version);
    } else if (next->version > version) {
        RootRefused(version, "it carries root_version #, skipping versions after the trusted root #",
                    next->version, g_root.version);
    } else if (!Sha256Buffer(body, length, digest)) {
        RootRefused(version, "its SHA-256 could not be computed", 0, 0);
    } else {
        const int by_previous =
            CountSigners(digest, sigs, sigs_length, g_root.root_keys, g_root.root_key_count);
        const int by_own = CountSigners(digest, sigs, sigs_length, next->root_keys, next->root_key_count);
        if (by_previous < g_root.root_threshold) {
            RootRefused(version, "signed by # distinct root keys of the trusted root where it needs #",
                        (unsigned long long)by_previous, (unsigned long long)g_root.root_threshold);
        } else if (by_own < next->root_threshold) {
            RootRefused(version, "signed by # distinct keys of its own root keys where it needs #",
                        (unsigned long long)by_own, (unsigned long long)next->root_threshold);
        } else {
            wchar_t path[1200], temporary[1300];
            InstallPath(kTrustedRootName, path, 1200);
            InstallPath(kTrustedRootTemporary, temporary, 1300);
            // Kept before it is used, so that the next run starts from it.
            if (!ReplaceFileWithBytes(path, temporary, body, length)) {
                LogFailedStep("Trusted root could not be saved", GetLastError(), path, NULL);
            } else {
                CopyBytes(&g_root, next, sizeof(g_root));
                char line[64] = "Root ";
                AppendDecimal(line, 64, version);
                AppendNarrow(line, 64, " accepted");
                LogLine(line);
                taken = 1;
            }
        }
    }
    HeapFree(GetProcessHeap(), 0, body);
    if (sigs) HeapFree(GetProcessHeap(), 0, sigs);
    return taken;
}

void WalkRootChain(void) {
    TrustedRoot();
    TrustRoot *next = (TrustRoot *)HeapAlloc(GetProcessHeap(), 0, sizeof(TrustRoot));
    if (!next) return;
    int steps = 0;
    while (steps < kRootWalkLimit && TakeNextRoot(next)) ++steps;
    if (steps == kRootWalkLimit)
        LogLine("Root walk stopped after 32 roots; the rest follow at the next sync");
    HeapFree(GetProcessHeap(), 0, next);
}
