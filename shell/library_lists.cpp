// The user's own data about the games: favorites, collections and playtime,
// three small text files in the install directory keyed by product id.
#include "shell.h"

#include "json.h"
#include "runtime.h"


enum ListKind { LIST_FAVORITES, LIST_COLLECTIONS, LIST_PLAYTIME };

static const wchar_t *ListFileName(int kind) {
    switch (kind) {
    case LIST_FAVORITES: return L"favorites.txt";
    case LIST_COLLECTIONS: return L"collections.txt";
    default: return L"playtime.txt";
    }
}

static char *ReadListFile(int kind, unsigned int *length) {
    wchar_t path[1200];
    InstallPath(ListFileName(kind), path, 1200);
    return ReadWholeFile(path, length);
}

static int IsLineEnd(char c) { return c == '\r' || c == '\n'; }

static unsigned int CopyPiece(const char *data, unsigned int from, unsigned int to, char *dst,
                              unsigned int limit) {
    unsigned int n = 0;
    while (from + n < to && n < limit) {
        dst[n] = data[from + n];
        ++n;
    }
    dst[n] = 0;
    return n;
}

// One line of a list file: the id is [start, key_end); a key-value line's
// value follows the '=' at key_end, up to end.
struct ListLine {
    unsigned int start, key_end, end;
};

enum { kListIdBytes = 79 };

// The next line of a list from *p (0 at the end): any line end, empty lines
// skipped. Favorites are one id a line; read in pieces, a line longer than
// an id is several ids. A key-value line without '=' has key_end == end.
static int NextListLine(int kind, const char *data, unsigned int length, unsigned int *p,
                        int pieces, ListLine *line) {
    unsigned int at = *p;
    while (at < length && IsLineEnd(data[at])) ++at;
    if (at >= length) return 0;
    unsigned int end = at;
    while (end < length && !IsLineEnd(data[end])) ++end;
    if (pieces && end - at > kListIdBytes) end = at + kListIdBytes;
    unsigned int eq = at;
    if (kind != LIST_FAVORITES)
        while (eq < end && data[eq] != '=') ++eq;
    else
        eq = end;
    line->start = at;
    line->key_end = eq;
    line->end = end;
    *p = end;
    return 1;
}

static int SlotOfId(const char *data, const ListLine *line) {
    char text[kListIdBytes + 1];
    CopyPiece(data, line->start, line->key_end, text, kListIdBytes);
    wchar_t id[80];
    Utf8ToWide(text, id, 80);
    for (int s = 0; s < g_model.product_count; ++s)
        if (WideEquals(g_model.products[s].id, id)) return s;
    return -1;
}

void LoadFavorites(void) {
    FillZero(g_model.favorites, sizeof(g_model.favorites));
    unsigned int length = 0;
    char *data = ReadListFile(LIST_FAVORITES, &length);
    if (!data) return;
    unsigned int p = 0;
    ListLine line;
    while (NextListLine(LIST_FAVORITES, data, length, &p, 1, &line)) {
        // Every slot of the id: the table may list it twice.
        char text[kListIdBytes + 1];
        CopyPiece(data, line.start, line.key_end, text, kListIdBytes);
        wchar_t id[80];
        Utf8ToWide(text, id, 80);
        for (int s = 0; s < g_model.product_count; ++s)
            if (WideEquals(g_model.products[s].id, id)) g_model.favorites[s] = 1;
    }
    HeapFree(GetProcessHeap(), 0, data);
}

static long long LeadingDecimal(const char *text) {
    unsigned long long value = 0;
    for (const char *c = text; *c >= '0' && *c <= '9'; ++c)
        value = value * 10 + (unsigned long long)(*c - '0');
    return (long long)value;
}

static void LoadKeyValueList(int kind) {
    unsigned int value_limit = kind == LIST_COLLECTIONS ? 15 : 39;
    unsigned int length = 0;
    char *data = ReadListFile(kind, &length);
    if (!data) return;
    unsigned int p = 0;
    ListLine line;
    while (NextListLine(kind, data, length, &p, 0, &line)) {
        if (line.key_end >= line.end) continue;
        int s = SlotOfId(data, &line);
        if (s < 0) continue;
        char value[40];
        CopyPiece(data, line.key_end + 1, line.end, value, value_limit);
        long long number = LeadingDecimal(value);
        if (kind == LIST_COLLECTIONS)
            g_model.collections[s] = (unsigned long long)number > 3 ? 0 : (int)number;
        else
            g_model.playtime[s] = (unsigned long long)number;
    }
    HeapFree(GetProcessHeap(), 0, data);
}

void LoadCollections(void) {
    FillZero(g_model.collections, sizeof(g_model.collections));
    LoadKeyValueList(LIST_COLLECTIONS);
}

void LoadPlaytime(void) {
    FillZero(g_model.playtime, sizeof(g_model.playtime));
    LoadKeyValueList(LIST_PLAYTIME);
}

static int IsTableId(const char *id) {
    wchar_t wide[80];
    if (!Utf8ToWide(id, wide, 80)) return 0;
    for (int s = 0; s < g_model.product_count; ++s)
        if (WideEquals(g_model.products[s].id, wide)) return 1;
    return 0;
}

static int WriteAll(HANDLE file, const char *bytes, unsigned int count) {
    DWORD written = 0;
    return WriteFile(file, bytes, count, &written, NULL) && written == count;
}

// While the built-in catalog stands in for an unreadable one, the products
// it does not list are only out of sight: their lines are written again,
// unchanged and after the table's own, so a brief catalog failure cannot
// erase the user's favorites, collections or playtime.
static int CopyForeignLines(HANDLE file, int kind) {
    unsigned int length = 0;
    char *data = ReadListFile(kind, &length);
    if (!data) return 1;
    int ok = 1;
    unsigned int p = 0;
    ListLine line;
    while (ok && NextListLine(kind, data, length, &p, 0, &line)) {
        char id[80];
        unsigned int key_length = line.key_end - line.start;
        if (key_length == 0 || key_length >= 80) continue;
        if (kind != LIST_FAVORITES && line.key_end >= line.end) continue;
        CopyPiece(data, line.start, line.key_end, id, 79);
        if (IsSafeId(id) && !IsTableId(id))
            ok = WriteAll(file, data + line.start, line.end - line.start) &&
                 WriteAll(file, "\r\n", 2);
    }
    HeapFree(GetProcessHeap(), 0, data);
    return ok;
}

static void BuildListLine(int kind, int slot, char *line, unsigned int capacity) {
    line[0] = 0;
    char id[80];
    id[0] = 0;
    WideCharToMultiByte(CP_UTF8, 0, g_model.products[slot].id, -1, id, sizeof(id), NULL, NULL);
    unsigned int n = 0;
    for (const char *c = id; *c && n + 1 < capacity; ++c) line[n++] = *c;
    line[n] = 0;
    if (kind == LIST_COLLECTIONS || kind == LIST_PLAYTIME) {
        if (n + 1 < capacity) {
            line[n++] = '=';
            line[n] = 0;
        }
        AppendDecimal(line, capacity, kind == LIST_COLLECTIONS
                                          ? (unsigned long long)(unsigned int)g_model.collections[slot]
                                          : g_model.playtime[slot]);
    }
    n = (unsigned int)NarrowLength(line);
    if (n + 2 < capacity) {
        line[n++] = '\r';
        line[n++] = '\n';
        line[n] = 0;
    }
}

static int ListEntrySet(int kind, int slot) {
    if (kind == LIST_FAVORITES) return g_model.favorites[slot] != 0;
    if (kind == LIST_COLLECTIONS) return g_model.collections[slot] != 0;
    return g_model.playtime[slot] != 0;
}

// Lists whose last save failed: the model holds what the file does not.
static int g_list_owed[3];

// Every list is written to "<name>.new" beside it and moved over the old file
// only when the whole new content was written, so a crash or a full disk
// during a save leaves the previous list intact.
static int SaveList(int kind) {
    wchar_t path[1200], temp[1210];
    InstallPath(ListFileName(kind), path, 1200);
    WideCopy(temp, path, 1210);
    WideAppend(temp, L".new", 1210);
    HANDLE file = CreateTemporaryFile(temp);
    g_list_owed[kind] = 1;
    if (file == INVALID_HANDLE_VALUE) return 0;
    int ok = 1;
    unsigned int capacity = kind == LIST_FAVORITES ? 160 : kind == LIST_COLLECTIONS ? 180 : 200;
    for (int s = 0; s < g_model.product_count && ok; ++s) {
        if (!ListEntrySet(kind, s)) continue;
        char line[200];
        BuildListLine(kind, s, line, capacity);
        ok = WriteAll(file, line, (unsigned int)NarrowLength(line));
    }
    if (ok && g_model.catalog_is_default) ok = CopyForeignLines(file, kind);
    if (CommitTemporaryFile(file, ok, temp, path)) g_list_owed[kind] = 0;
    return !g_list_owed[kind];
}

// Every save runs on the UI thread (game ends arrive there as messages).
int SaveFavorites(void) { return SaveList(LIST_FAVORITES); }

int SaveCollections(void) { return SaveList(LIST_COLLECTIONS); }

int SavePlaytime(void) { return SaveList(LIST_PLAYTIME); }

void SaveOwedLists(void) {
    if (g_list_owed[LIST_PLAYTIME]) SavePlaytime();
}

// A choice that could not be saved is taken back: the row then shows what
// the file holds, never a mark that is gone at the next start.
void ToggleFavorite(int slot) {
    if (slot < 0 || slot >= g_model.product_count) return;
    g_model.favorites[slot] = g_model.favorites[slot] == 0 ? 1 : 0;
    if (!SaveFavorites()) LoadFavorites();
}

void CycleCollection(int slot) {
    if (slot < 0 || slot >= g_model.product_count) return;
    g_model.collections[slot] = (g_model.collections[slot] + 1) % 4;
    if (!SaveCollections()) LoadCollections();
}

void CollectionName(int value, wchar_t *dst, unsigned long long capacity) {
    const wchar_t *name = L"NONE";
    if (value == COLLECTION_ACTIVE) name = L"ACTIVE";
    else if (value == COLLECTION_BACKLOG) name = L"BACKLOG";
    else if (value == COLLECTION_COMPLETED) name = L"COMPLETED";
    WideCopy(dst, name, capacity);
}
