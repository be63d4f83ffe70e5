// What the Worker takes from the update host, and how it checks it.
#pragma once

#include <windows.h>
#include <bcrypt.h>

enum {
    kTransferBufferBytes = 65536,
    kMaxDocumentBytes = 8 * 1024 * 1024,  // cap on any body fetched into memory
    kDigestBytes = 32,
    kSignatureBytes = 256,
};

// HTTPS GET of a host-relative URL from the update host; a body past
// kMaxDocumentBytes is refused.
int HttpGetToMemory(const wchar_t *url, char **out_body, unsigned int *out_length);
// The same with another cap on the body (a product manifest's).
int HttpGetToMemoryCapped(const wchar_t *url, unsigned int max_bytes, char **out_body,
                          unsigned int *out_length);
// size_limit: the file's signed size, or 0 when unknown; a body that would
// make the file larger fails the download and deletes the destination.
int DownloadToFile(const wchar_t *url, const wchar_t *destination, unsigned long long size_limit);
// The longest body one request asks for: a file or a run of pieces past it
// is fetched in ranges of this length (1 GiB).
unsigned long long HttpRangeLimitBytes(void);
// One ranged GET: bytes first .. first + count - 1 of url written to file at
// its current position, under the pause flag and the bandwidth limit, adding
// to the transfer figures. Never writes more than count bytes.
enum { RANGE_FAILED = 0, RANGE_DONE = 1, RANGE_IGNORED = 2 };
struct ThrottleWindow;
int DownloadRange(const wchar_t *url, HANDLE file, unsigned long long first,
                  unsigned long long count, ThrottleWindow *window);

// What one download watches and spends: the pause flag and the bandwidth
// limit as last seen (with the change notifications that tell when to look
// again, and the settings key kept open), and the bandwidth budget: bytes
// since the window began against the time since then.
struct ThrottleWindow {
    HANDLE folder;      // the install directory, read for changes of its names
    OVERLAPPED folder_io;
    DWORD folder_changes[128];
    HANDLE changes;     // event of a registry notification under HKCU\Software
    HKEY software;
    HKEY key;           // the settings key, or NULL while it does not exist
    int paused;
    DWORD limit;        // as last read
    DWORD throttled_limit;  // the limit the budget window is for
    unsigned long long checked_tick;
    int fresh;          // looked since the last call that waits
    unsigned long long bytes;
    unsigned long long start_tick;
};
void ThrottleStart(ThrottleWindow *window);
void ThrottleRestart(ThrottleWindow *window);
void ThrottleEnd(ThrottleWindow *window);
void ThrottleTransfer(ThrottleWindow *window, unsigned long long chunk_bytes);
// The pause flag as it is now (one cheap look unless something changed).
int TransferPaused(ThrottleWindow *window);
// Tells the watch that the download waited (a read, a query): look again.
void TransferWaited(ThrottleWindow *window);

// Incremental SHA-256: Open, Add any number of times, Finish once, Close on
// every path (also after a failed Open).
struct Sha256State {
    BCRYPT_ALG_HANDLE algorithm;
    BCRYPT_HASH_HANDLE hash;
    unsigned char *object;
};
int Sha256Open(Sha256State *s);
int Sha256Add(Sha256State *s, const void *bytes, unsigned int length);
int Sha256Finish(Sha256State *s, unsigned char digest[kDigestBytes]);
void Sha256Close(Sha256State *s);

int Sha256File(const wchar_t *path, unsigned char digest[kDigestBytes]);
int Sha256Buffer(const void *bytes, unsigned int length, unsigned char digest[kDigestBytes]);
int DigestMatchesHex(const unsigned char digest[kDigestBytes], const char *hex);
int IsSha256Hex(const char *text);
int DecodeSignatureHex(const char *text, unsigned int length,
                       unsigned char signature[kSignatureBytes]);
int VerifyDetachedSignature(const char *document, unsigned int length, const char *signature_text,
                            unsigned int signature_length);
int FetchSignedDocument(const wchar_t *url, const char *token, char **out_body,
                        unsigned int *out_length);
// The same with another cap on the document's body (the signature keeps the
// usual one).
int FetchSignedDocumentCapped(const wchar_t *url, const char *token, unsigned int max_bytes,
                              char **out_body, unsigned int *out_length);
