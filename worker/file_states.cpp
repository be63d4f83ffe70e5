// The product folder's record of verified file states.
//
// Layout (little-endian): the 24 bytes "orvelant-file-states 1" CR LF, the
// entry count and the entry size (64) as 32-bit numbers, then one entry per
// file: its path key (see g_manifest_path_keys), the SHA-256 it was verified
// against, its size, last-write and creation times. Looked up through an
// open-addressed table of entry numbers. Bounded by the manifest's own
// bound: a record of more entries than a manifest may list is not read.
#include "file_states.h"

#include "manifest.h"
#include "runtime.h"
#include "transport.h"

static const char kRecordMagic[] = "orvelant-file-states 1\r\n";
enum { kMagicBytes = 24, kHeaderBytes = 32 };

struct RecordEntry {
    unsigned long long key;
    unsigned char digest[kDigestBytes];
    unsigned long long size;
    unsigned long long last_write;
    unsigned long long created;
};
static_assert(sizeof(RecordEntry) == 64, "record entries are 64 bytes");

struct NotedState {
    FileState state;
    int noted;
};

static char *g_record;                 // the file as read
static const RecordEntry *g_entries;   // into g_record
static unsigned int g_entry_count;
static unsigned int *g_slots;          // entry number + 1, or 0
static unsigned int g_slot_mask;
static NotedState *g_noted;            // one per manifest file
static volatile LONG g_record_stale;   // a noted state the record does not hold

static void RecordPath(const CatalogProduct *product, const wchar_t *name, wchar_t *dst) {
    wchar_t dir[1200];
    ProductDirectory(product, dir, 1200);
    JoinPath(dir, name, dst, 1300);
}

int ReadFileState(const wchar_t *path, FileState *out) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return 0;
    out->size = ((unsigned long long)data.nFileSizeHigh << 32) | data.nFileSizeLow;
    out->last_write = ((unsigned long long)data.ftLastWriteTime.dwHighDateTime << 32) |
                      data.ftLastWriteTime.dwLowDateTime;
    out->created = ((unsigned long long)data.ftCreationTime.dwHighDateTime << 32) |
                   data.ftCreationTime.dwLowDateTime;
    return 1;
}

void FreeFileStates(void) {
    HANDLE heap = GetProcessHeap();
    if (g_record) HeapFree(heap, 0, g_record);
    if (g_slots) HeapFree(heap, 0, g_slots);
    if (g_noted) HeapFree(heap, 0, g_noted);
    g_record = NULL;
    g_entries = NULL;
    g_slots = NULL;
    g_noted = NULL;
    g_entry_count = 0;
    g_record_stale = 0;
}

static const RecordEntry *FindEntry(unsigned long long key) {
    if (!g_slots || key == 0) return NULL;
    for (unsigned int at = (unsigned int)key & g_slot_mask; g_slots[at]; at = (at + 1) & g_slot_mask)
        if (g_entries[g_slots[at] - 1].key == key) return &g_entries[g_slots[at] - 1];
    return NULL;
}

int LoadFileStates(const CatalogProduct *product) {
    FreeFileStates();
    HANDLE heap = GetProcessHeap();
    const SIZE_T files = (SIZE_T)(g_manifest_count > 0 ? g_manifest_count : 1);
    g_noted = (NotedState *)HeapAlloc(heap, HEAP_ZERO_MEMORY, files * sizeof(NotedState));
    if (!g_noted) return 0;
    wchar_t path[1300];
    RecordPath(product, L".orvelant-file-states", path);
    unsigned int size = 0;
    char *record = ReadFileUpTo(path, kHeaderBytes + kMaxManifestFiles * (unsigned int)sizeof(RecordEntry), &size);
    if (!record) return 1;
    unsigned int count = 0, entry_bytes = 0;
    int ok = size >= kHeaderBytes;
    for (int i = 0; ok && i < kMagicBytes; ++i)
        if (record[i] != kRecordMagic[i]) ok = 0;
    if (ok) {
        CopyBytes(&count, record + kMagicBytes, 4);
        CopyBytes(&entry_bytes, record + kMagicBytes + 4, 4);
        ok = entry_bytes == sizeof(RecordEntry) && count <= kMaxManifestFiles &&
             size == kHeaderBytes + (unsigned long long)count * sizeof(RecordEntry);
    }
    unsigned int slots = 1;
    while (ok && slots < 2 * count) slots <<= 1;
    if (ok) g_slots = (unsigned int *)HeapAlloc(heap, HEAP_ZERO_MEMORY, (SIZE_T)slots * sizeof(unsigned int));
    if (!ok || !g_slots) {
        HeapFree(heap, 0, record);
        g_record_stale = 1;
        return 1;
    }
    g_record = record;
    g_entries = (const RecordEntry *)(record + kHeaderBytes);
    g_entry_count = count;
    g_slot_mask = slots - 1;
    for (unsigned int i = 0; i < count; ++i) {
        unsigned int at = (unsigned int)g_entries[i].key & g_slot_mask;
        while (g_slots[at]) at = (at + 1) & g_slot_mask;
        g_slots[at] = i + 1;
    }
    // Entries of files no longer listed make the record worth rewriting.
    if (count != (unsigned int)g_manifest_count) g_record_stale = 1;
    return 1;
}

int RecordedFileState(int k, const FileState *now) {
    const ManifestFile *file = &g_manifest_files[k];
    if (!g_manifest_path_keys) return STATE_UNKNOWN;
    const RecordEntry *entry = FindEntry(g_manifest_path_keys[k]);
    if (!entry || entry->size != now->size || entry->last_write != now->last_write ||
        entry->created != now->created)
        return STATE_UNKNOWN;
    if (!DigestMatchesHex(entry->digest, file->sha256)) return STATE_DIFFERS;
    return now->size == file->size ? STATE_MATCHES : STATE_UNKNOWN;
}

enum : unsigned long long { kRecentWrite = 2ull * 10000000 };  // 2 s in FILETIME units

void NoteFileState(int k, const FileState *state, int how) {
    if (!g_noted) return;
    if (how == STATE_HASHED) {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        const unsigned long long t = ((unsigned long long)now.dwHighDateTime << 32) | now.dwLowDateTime;
        if (state->last_write + kRecentWrite > t) {
            InterlockedExchange(&g_record_stale, 1);
            return;
        }
    }
    g_noted[k].state = *state;
    g_noted[k].noted = 1;
    if (how != STATE_VOUCHED) InterlockedExchange(&g_record_stale, 1);
}

void SaveFileStates(const CatalogProduct *product) {
    if (!g_noted || !g_manifest_path_keys || !g_record_stale) return;
    unsigned int count = 0;
    for (int k = 0; k < g_manifest_count; ++k)
        if (g_noted[k].noted && g_manifest_path_keys[k]) ++count;
    const unsigned long long bytes = kHeaderBytes + (unsigned long long)count * sizeof(RecordEntry);
    char *record = (char *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, (SIZE_T)bytes);
    if (!record) return;
    RecordEntry *entry = (RecordEntry *)(record + kHeaderBytes);
    unsigned int written = 0;
    for (int k = 0; k < g_manifest_count && written < count; ++k) {
        if (!g_noted[k].noted || !g_manifest_path_keys[k] ||
            !DigestFromHex(g_manifest_files[k].sha256, entry->digest))
            continue;
        entry->key = g_manifest_path_keys[k];
        entry->size = g_noted[k].state.size;
        entry->last_write = g_noted[k].state.last_write;
        entry->created = g_noted[k].state.created;
        ++entry;
        ++written;
    }
    const unsigned int entry_bytes = sizeof(RecordEntry);
    CopyBytes(record, kRecordMagic, kMagicBytes);
    CopyBytes(record + kMagicBytes, &written, 4);
    CopyBytes(record + kMagicBytes + 4, &entry_bytes, 4);
    wchar_t path[1300];
    wchar_t temporary[1300];
    RecordPath(product, L".orvelant-file-states", path);
    RecordPath(product, L".orvelant-file-states.new", temporary);
    if (!ReplaceFileWithBytes(path, temporary, record, kHeaderBytes + written * entry_bytes))
        LogFailedStep("File states could not be recorded", GetLastError(), path, NULL);
    HeapFree(GetProcessHeap(), 0, record);
}
