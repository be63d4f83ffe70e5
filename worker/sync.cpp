// Signed sync: refresh catalog, news and control from their signed remote
// copies; a document that fails any check leaves its cached copy alone.
#include "runtime.h"
#include "transport.h"
#include "worker.h"

struct SyncDocument {
    const wchar_t *url;
    const char *token;
    const wchar_t *temporary;
    const wchar_t *cached;
};

static const SyncDocument kSyncDocuments[3] = {
    {L"/launcher/catalog.json", "\"products\"", L"catalog.json.new", L"catalog.json"},
    {L"/launcher/news.json", "\"items\"", L"news.json.new", L"news.json"},
    {L"/launcher/control.json", "\"service_state\"", L"control.json.new", L"control.json"},
};

int RunSignedSync(void) {
    LogLine("Sync worker started (RSA-signed catalog/news/control)");
    PostWorkerStatus(SYNC_STARTED, 0);
    int replaced[3] = {0, 0, 0};
    for (int d = 0; d < 3; ++d) {
        char *body = NULL;
        unsigned int length = 0;
        if (!FetchSignedDocument(kSyncDocuments[d].url, kSyncDocuments[d].token, &body, &length))
            continue;
        wchar_t temporary[1300];
        wchar_t cached[1200];
        InstallPath(kSyncDocuments[d].temporary, temporary, 1300);
        InstallPath(kSyncDocuments[d].cached, cached, 1200);
        if (WriteWholeFile(temporary, body, (int)length)) {
            for (int attempt = 0; !replaced[d]; ++attempt) {
                replaced[d] = MoveFileExW(temporary, cached,
                                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
                if (!replaced[d] && !WaitOutBriefLock(attempt)) break;
            }
            if (!replaced[d]) DeleteFileW(temporary);
        }
        HeapFree(GetProcessHeap(), 0, body);
    }
    if (replaced[0] && replaced[2]) {
        PostWorkerStatus(SYNC_DONE, 0);
        LogLine(replaced[1] ? "Signed sync completed"
                            : "Signed sync completed; news retained from cache");
    } else {
        PostWorkerStatus(SYNC_UNAVAILABLE, 0);
        LogLine("Signed sync unavailable or invalid; trusted local cache retained");
    }
    return EXIT_OK;
}
