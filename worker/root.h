// The root of trust: a versioned root document names the keys that sign the
// next root (root keys) and the keys that sign every document the Worker
// takes (document keys), each with a threshold of distinct keys. The Worker
// starts from the root built into it (or a newer one the Setup carried or an
// earlier sync walked to), and a sync walks the host's chain one version at
// a time, so a leaked or lost document key is replaced without reinstalling.
#pragma once

#include <windows.h>

#include "json.h"
#include "transport.h"

enum {
    kRootKeys = 8,          // per role
    kRootWalkLimit = 32,    // roots taken per sync; the rest follow at the next
    kRootBytes = 1 << 20,   // cap on a fetched root document
};

struct RootKey {
    unsigned char id[kDigestBytes];  // SHA-256 of the modulus
    unsigned char modulus[256];
};

struct TrustRoot {
    unsigned long long version;
    char expires[24];
    int root_threshold;
    int document_threshold;
    int root_key_count;
    int document_key_count;
    RootKey root_keys[kRootKeys];
    RootKey document_keys[kRootKeys];
};

// The newest root this install trusts (loaded once per run), and the one
// built into this Worker.
const TrustRoot *TrustedRoot(void);
const TrustRoot *BuiltInRoot(void);
// Sync: takes the host's roots after the trusted one, each checked against
// the one before; a refused root ends the walk with one log line naming why.
void WalkRootChain(void);
// 1 unless the trusted root has expired (logged once per run).
int TrustedRootCurrent(void);
// The signature file the documents carry for this root: ".sig" (one
// signature) or ".sigs" (one "<key id> <signature>" line per key) when the
// root asks more than one document key.
const wchar_t *DocumentSignatureSuffix(void);
// Distinct document keys of the trusted root whose signature in the text
// (either format) verifies over the document.
int CountDocumentSigners(const char *document, unsigned int length, const char *text,
                         unsigned int text_length);
// SHA-256 over the document keys' moduli in the root's order, as hex: the
// serial marks of one set of document keys never bind another set.
void DocumentKeysFingerprint(const TrustRoot *root, char hex[2 * kDigestBytes + 1]);

// Shared with the freshness checks of the documents.
// The first bytes of a document's top-level object, up to its first nested
// object or array (where its own scalar keys stand).
JsonOffset HeaderEnd(const char *doc, unsigned int length);
// "YYYY-MM-DDTHH:MM:SSZ" (utc) or "YYYY-MM-DD HH:MM:SS" (local).
void FormatStamp(const SYSTEMTIME *t, char *text, int utc);
// Exactly "YYYY-MM-DDTHH:MM:SSZ"; such texts compare in time order as bytes.
int IsUtcStamp(const char *text);

// Between the root and its walk (root.cpp, root_walk.cpp).
extern TrustRoot g_root;
extern const wchar_t kTrustedRootName[];
int ParseRoot(const char *doc, unsigned int length, TrustRoot *root);
int CountSigners(const unsigned char digest[kDigestBytes], const char *text, unsigned int length,
                 const RootKey *keys, int key_count);
