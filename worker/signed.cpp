// The one way the Worker obtains a signed document: fetch it, check its
// acceptance token, fetch its detached signature and verify it.
#include "json.h"
#include "root.h"
#include "runtime.h"
#include "transport.h"

int FetchSignedDocument(const wchar_t *url, const char *token, char **out_body,
                        unsigned int *out_length) {
    return FetchSignedDocumentCapped(url, token, kMaxDocumentBytes, out_body, out_length);
}

int FetchSignedDocumentCapped(const wchar_t *url, const char *token, unsigned int max_bytes,
                              char **out_body, unsigned int *out_length) {
    if (out_body) *out_body = NULL;
    if (out_length) *out_length = 0;
    char *body = NULL;
    unsigned int length = 0;
    if (!HttpGetToMemoryCapped(url, max_bytes, &body, &length)) return 0;
    if (token && !JsonHasToken(body, length, token)) {
        HeapFree(GetProcessHeap(), 0, body);
        LogLine("Signed JSON token validation failed");
        return 0;
    }
    wchar_t signature_url[1300];
    WideCopy(signature_url, url, 1300);
    WideAppend(signature_url, DocumentSignatureSuffix(), 1300);
    char *signature = NULL;
    unsigned int signature_length = 0;
    if (!HttpGetToMemory(signature_url, &signature, &signature_length)) {
        HeapFree(GetProcessHeap(), 0, body);
        LogLine("Detached signature unavailable");
        return 0;
    }
    int verified = VerifyDetachedSignature(body, length, signature, signature_length);
    HeapFree(GetProcessHeap(), 0, signature);
    if (!verified) {
        HeapFree(GetProcessHeap(), 0, body);
        LogLine("RSA/SHA-256 signature verification failed");
        return 0;
    }
    if (out_body) {
        *out_body = body;
        if (out_length) *out_length = length;
    } else {
        HeapFree(GetProcessHeap(), 0, body);
    }
    return 1;
}
