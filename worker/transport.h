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
// A document GET that tells its outcomes apart: headers (or NULL) may ask
// conditionally (If-None-Match); the answer keeps the validators of a body.
enum { DOCUMENT_FAILED = 0, DOCUMENT_BODY = 1, DOCUMENT_NOT_MODIFIED = 2, DOCUMENT_MISSING = 3 };
enum { kValidatorUnits = 128 };
struct DocumentAnswer {
    DWORD status;
    wchar_t etag[kValidatorUnits];           // "" when the host sent none
    wchar_t last_modified[kValidatorUnits];  // ""
};
int HttpGetDocument(const wchar_t *url, unsigned int max_bytes, const wchar_t *headers,
                    char **out_body, unsigned int *out_length, DocumentAnswer *answer);
// A gzip (or zlib) body inflated into a new heap buffer of at most max_bytes
// (and a terminator); the caller frees it.
enum { INFLATE_CORRUPT = 0, INFLATE_DONE = 1, INFLATE_TOO_LARGE = 2 };
int InflateDocument(const char *packed, unsigned int packed_length, unsigned int max_bytes,
                    char **out_body, unsigned int *out_length);
// What one transfer thread works with: its view of the shared watch (the
// pause flag and the bandwidth limit, looked at by the tick count, not at
// every read), its transfer buffer and the bytes it has counted as done.
struct ThrottleWindow {
    unsigned long long seen_tick;     // GetTickCount64 at this view's last look
    unsigned long long unseen_bytes;  // bytes moved since then
    int paused;
    DWORD limit;
};
struct TransferThread {
    ThrottleWindow view;
    unsigned char *buffer;       // kTransferBufferBytes
    unsigned long long counted;  // bytes this thread added to done_bytes
    int paused_in_request;       // the last ranged request waited out a pause
    // When set, a ranged request records its progress after every write:
    // progress_base plus the bytes it wrote, as 8 bytes at progress_at in
    // the progress file (a segmented download's record, see segments.h).
    HANDLE progress;
    unsigned long long progress_at;
    unsigned long long progress_base;
};
int TransferThreadStart(TransferThread *t);
void TransferThreadEnd(TransferThread *t);

// A transfer starts and ends on the watch shared by every transfer of the
// run; the budget of the bandwidth limit is for all of them together.
void ThrottleStart(ThrottleWindow *view);
void ThrottleEnd(ThrottleWindow *view);
void ThrottleTransfer(ThrottleWindow *view, unsigned long long chunk_bytes);
// The pause flag as last seen (looked at again when the tick has moved on).
int TransferPaused(ThrottleWindow *view);
// A failing job ends the transfers still in flight; they stop at their next
// read and keep their ".part".
void StopTransfers(void);
int TransfersStopped(void);
// done_bytes (and the thread's own count) grows or shrinks by bytes, and the
// transfer figures are posted by their usual rule; safe from any thread.
void CountTransferBytes(TransferThread *t, long long bytes);
void AdjustExpectedBytes(long long bytes);

enum { DOWNLOAD_FAILED = 0, DOWNLOAD_DONE = 1, DOWNLOAD_RETRY = 2 };
// Faults that may pass (a lost connection, a cut body, a 5xx, a timeout) are
// asked for again this many times, with RetryBackoff between.
enum { kTransferRetries = 4 };
void RetryBackoff(int faults);

// size_limit: the file's signed size, or 0 when unknown; a body that would
// make the file larger fails the download and deletes the destination.
// Logs "Download interrupted; .part retained for resume" when it fails.
int DownloadToFile(const wchar_t *url, const wchar_t *destination, unsigned long long size_limit);
// The same on a transfer thread, without the log line: DOWNLOAD_DONE,
// DOWNLOAD_RETRY (a fault that may pass; the ".part" keeps what came) or
// DOWNLOAD_FAILED.
int DownloadToFileOn(TransferThread *t, const wchar_t *url, const wchar_t *destination,
                     unsigned long long size_limit);
// The longest body one request asks for: a file or a run of pieces past it
// is fetched in ranges of this length (1 GiB).
unsigned long long HttpRangeLimitBytes(void);
// One ranged GET: bytes first .. first + count - 1 of url written to file at
// its current position, under the pause flag and the bandwidth limit, adding
// to the transfer figures. Never writes more than count bytes; *received the
// bytes it wrote.
enum { RANGE_FAILED = 0, RANGE_DONE = 1, RANGE_IGNORED = 2 };
int DownloadRange(TransferThread *t, const wchar_t *url, HANDLE file, unsigned long long first,
                  unsigned long long count, unsigned long long *received);
// One plain GET of an object of count bytes (a piece at its own address):
// written to file at its position and added to hash as it comes. RANGE_DONE
// when exactly count bytes came, OBJECT_MISSING for a 404, else RANGE_FAILED
// (*received the bytes written).
enum { OBJECT_MISSING = 3 };
struct Sha256State;
int DownloadObject(TransferThread *t, const wchar_t *url, HANDLE file, unsigned long long count,
                   Sha256State *hash, unsigned long long *received);
// DownloadRange asked again from where a fault or a pause cut it.
int DownloadRangeRetrying(TransferThread *t, const wchar_t *url, HANDLE file,
                          unsigned long long first, unsigned long long count);

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
// Copies count bytes from `from` to `to` (both at their positions), adding
// them to hash on the way; buffer holds kTransferBufferBytes. 1 when all
// were read, hashed and written.
int CopyHashing(HANDLE from, HANDLE to, unsigned long long count, Sha256State *hash,
                unsigned char *buffer);
// 1 when two SHA-256 digests are the same.
int SameDigest(const unsigned char *a, const unsigned char *b);
// The slot of a digest in an open-addressed table of mask + 1 slots (a
// digest's bytes are already evenly spread).
unsigned int DigestSlot(const unsigned char *digest, unsigned int mask);
// The same for a file that must be `size` bytes long: 0 without reading a
// byte when it is not (a file of another size can never match its digest).
int Sha256FileOfSize(const wchar_t *path, unsigned long long size,
                     unsigned char digest[kDigestBytes]);
int Sha256Buffer(const void *bytes, unsigned int length, unsigned char digest[kDigestBytes]);
int DigestMatchesHex(const unsigned char digest[kDigestBytes], const char *hex);
int IsSha256Hex(const char *text);
// 0..15 for a hex digit of either case, else -1.
int HexDigitValue(char c);
// The first 64 hex digits of text as a digest; 0 when one is not a hex digit.
int DigestFromHex(const char *hex, unsigned char digest[kDigestBytes]);
int DecodeSignatureHex(const char *text, unsigned int length,
                       unsigned char signature[kSignatureBytes]);
// PKCS#1 v1.5 / SHA-256 check of one signature with a 2048-bit key, e = 65537.
int VerifyDigestSignature(const unsigned char digest[kDigestBytes],
                          const unsigned char signature[kSignatureBytes],
                          const unsigned char modulus[256]);
// 1 when the signature text (a ".sig" or a ".sigs", see root.h) meets the
// trusted root's threshold of document keys and that root has not expired.
// Every signed document the Worker takes, fetched or kept, passes here.
int VerifyDetachedSignature(const char *document, unsigned int length, const char *signature_text,
                            unsigned int signature_length);
int FetchSignedDocument(const wchar_t *url, const char *token, char **out_body,
                        unsigned int *out_length);
// The same with another cap on the document's body (the signature keeps the
// usual one).
int FetchSignedDocumentCapped(const wchar_t *url, const char *token, unsigned int max_bytes,
                              char **out_body, unsigned int *out_length);
