// This build has no HTTPS transport yet: every request fails exactly as it
// does when the update host cannot be reached, so every mode ends on its
// documented network-failure path and nothing reports a success.
#include "transport.h"

#include "runtime.h"

int HttpGetToMemory(const wchar_t *url, char **out_body, unsigned int *out_length) {
    (void)url;
    if (out_body) *out_body = NULL;
    if (out_length) *out_length = 0;
    return 0;
}

int DownloadToFile(const wchar_t *url, const wchar_t *destination) {
    (void)url;
    (void)destination;
    LogLine("Download interrupted; .part retained for resume");
    return 0;
}

int FetchSignedDocument(const wchar_t *url, const char *token, char **out_body,
                        unsigned int *out_length) {
    (void)token;
    char *body = NULL;
    unsigned int length = 0;
    if (out_body) *out_body = NULL;
    if (out_length) *out_length = 0;
    if (!HttpGetToMemory(url, &body, &length)) return 0;
    HeapFree(GetProcessHeap(), 0, body);
    return 0;
}
