// Signed sync: refresh catalog, news and control from their signed remote
// copies; a document that fails any check leaves its cached copy alone.
#include "freshness.h"
#include "root.h"
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
    // The root first: it decides which keys sign the documents, and whose
    // serial marks bind them.
    WalkRootChain();
    LoadTrustState(1);
    char *bodies[3] = {NULL, NULL, NULL};
    unsigned int lengths[3] = {0, 0, 0};
    for (int d = 0; d < 3; ++d)
        FetchSignedDocument(kSyncDocuments[d].url, kSyncDocuments[d].token, &bodies[d], &lengths[d]);

    // Freshness: the control document first, because it may name the serial
    // and SHA-256 of the catalog and the news of the same publish.
    FreshDocument fresh[3];
    int refused = 0;
    int accepted[3] = {0, 0, 0};
    const int control = 2;
    if (bodies[control])
        accepted[control] = CheckFreshDocument(kSyncDocuments[control].url, bodies[control],
                                               lengths[control], &fresh[control]);
    for (int d = 0; d < 2; ++d) {
        if (!bodies[d]) continue;
        accepted[d] = CheckFreshDocument(kSyncDocuments[d].url, bodies[d], lengths[d], &fresh[d]) &&
                      (!accepted[control] ||
                       CheckNamedByControl(bodies[control], lengths[control],
                                           d == 0 ? "catalog" : "news", kSyncDocuments[d].url,
                                           &fresh[d]));
    }
    for (int d = 0; d < 3; ++d)
        if (bodies[d] && !accepted[d]) refused = 1;
    // The catalog and the control document are one publish: when either was
    // refused, the other is not taken alone (the cached pair stays as it was).
    if ((bodies[0] && !accepted[0]) || (bodies[control] && !accepted[control]))
        accepted[0] = accepted[control] = 0;

    int replaced[3] = {0, 0, 0};
    for (int d = 0; d < 3; ++d) {
        if (!accepted[d]) continue;
        wchar_t temporary[1300];
        wchar_t cached[1200];
        InstallPath(kSyncDocuments[d].temporary, temporary, 1300);
        InstallPath(kSyncDocuments[d].cached, cached, 1200);
        replaced[d] = ReplaceFileWithBytes(cached, temporary, bodies[d], lengths[d]);
        if (replaced[d]) RememberDocument(kSyncDocuments[d].url, &fresh[d]);
    }
    for (int d = 0; d < 3; ++d) HeapFree(GetProcessHeap(), 0, bodies[d]);
    SaveTrustState();
    // A refused document is a service that cannot be trusted now: the cached
    // documents stay in force as when the host is unreachable.
    if (replaced[0] && replaced[2] && !refused) {
        PostWorkerStatus(SYNC_DONE, 0);
        LogLine(replaced[1] ? "Signed sync completed"
                            : "Signed sync completed; news retained from cache");
    } else {
        PostWorkerStatus(SYNC_UNAVAILABLE, 0);
        LogLine("Signed sync unavailable or invalid; trusted local cache retained");
    }
    return EXIT_OK;
}
