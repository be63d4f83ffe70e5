// Product job: install, verify, repair or update one product.
#include "catalog.h"
#include "runtime.h"
#include "transport.h"
#include "worker.h"

int RunProductJob(void) {
    LogLine(g_command.repair ? "Product worker started (repair)" : "Product worker started");
    CatalogProduct product;
    if (g_command.product_id[0] == 0 || !FindCatalogProduct(&product)) {
        PostWorkerStatus(PRODUCT_FAILED, 100);
        LogLine("Product not found in catalog");
        return EXIT_PRODUCT_NOT_FOUND;
    }
    PostWorkerStatus(PRODUCT_CHECKING, 3);

    char *manifest = NULL;
    unsigned int manifest_length = 0;
    if (!FetchSignedDocument(product.manifest_path, "\"files\"", &manifest, &manifest_length)) {
        // Without a trusted manifest nothing is touched; only report what is there.
        wchar_t exe[1400];
        ProductExecutablePath(&product, exe, 1400);
        if (IsInstalledKnownGood(&product))
            PostWorkerStatus(PRODUCT_OFFLINE_READY, 100);
        else if (FileExists(exe))
            PostWorkerStatus(PRODUCT_FAILED, 100);
        else
            PostWorkerStatus(PRODUCT_NOT_INSTALLED, 100);
        LogLine("Manifest unavailable; no local files modified");
        return EXIT_OK;
    }

    // The install transaction is not part of this build.
    HeapFree(GetProcessHeap(), 0, manifest);
    PostWorkerStatus(PRODUCT_FAILED, 100);
    LogLine("Product install transaction unavailable in this build");
    return EXIT_PRODUCT_JOB_FAILED;
}
