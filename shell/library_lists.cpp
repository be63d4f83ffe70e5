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

static unsigned int LineEnd(const char *data, unsigned int length, unsigned int p) {
    while (p < length && !IsLineEnd(data[p])) ++p;
    return p;
}

static unsigned int SkipLineEnds(const char *data, unsigned int length, unsigned int p) {
    while (p < length && IsLineEnd(data[p])) ++p;
    return p;
}

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

void LoadFavorites(void) {
    FillZero(g_model.favorites, sizeof(g_model.favorites));
    unsigned int length = 0;
    char *data = ReadListFile(LIST_FAVORITES, &length);
    if (!data) return;
    unsigned int p = 0;
    while (p < length) {
        unsigned int end = LineEnd(data, length, p);
        char text[80];
        unsigned int n = CopyPiece(data, p, end, text, 79);
        p = SkipLineEnds(data, length, p + n);
        if (n == 0) continue;
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
    while (p < length) {
        unsigned int end = LineEnd(data, length, p);
        unsigned int eq = p;
        while (eq < end && data[eq] != '=') ++eq;
        if (eq < end) {
            char key[80], value[40];
            CopyPiece(data, p, eq, key, 79);
            CopyPiece(data, eq + 1, end, value, value_limit);
            wchar_t id[80];
            Utf8ToWide(key, id, 80);
            long long number = LeadingDecimal(value);
            for (int s = 0; s < g_model.product_count; ++s) {
                if (!WideEquals(g_model.products[s].id, id)) continue;
                if (kind == LIST_COLLECTIONS)
                    g_model.collections[s] = (unsigned long long)number > 3 ? 0 : (int)number;
                else
                    g_model.playtime[s] = (unsigned long long)number;
                break;
            }
        }
        p = SkipLineEnds(data, length, end);
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
    while (p < length && ok) {
        unsigned int end = LineEnd(data, length, p);
        unsigned int eq = p;
        if (kind != LIST_FAVORITES)
            while (eq < end && data[eq] != '=') ++eq;
        else
            eq = end;
        char id[80];
        unsigned int key_length = eq - p;
        if (key_length > 0 && key_length < 80 && (kind == LIST_FAVORITES || eq < end)) {
            CopyPiece(data, p, eq, id, 79);
            if (IsSafeId(id) && !IsTableId(id))
                ok = WriteAll(file, data + p, end - p) && WriteAll(file, "\r\n", 2);
        }
        p = SkipLineEnds(data, length, end);
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

// Every list is written to "<name>.new" beside it and moved over the old file
// only when the whole new content was written, so a crash or a full disk
// during a save leaves the previous list intact.
static void SaveList(int kind) {
    wchar_t path[1200], temp[1210];
    InstallPath(ListFileName(kind), path, 1200);
    WideCopy(temp, path, 1210);
    WideAppend(temp, L".new", 1210);
    HANDLE file = CreateTemporaryFile(temp);
    if (file == INVALID_HANDLE_VALUE) return;
    int ok = 1;
    unsigned int capacity = kind == LIST_FAVORITES ? 160 : kind == LIST_COLLECTIONS ? 180 : 200;
    for (int s = 0; s < g_model.product_count && ok; ++s) {
        if (!ListEntrySet(kind, s)) continue;
        char line[200];
        BuildListLine(kind, s, line, capacity);
        ok = WriteAll(file, line, (unsigned int)NarrowLength(line));
    }
    if (ok && g_model.catalog_is_default) ok = CopyForeignLines(file, kind);
    CommitTemporaryFile(file, ok, temp, path);
}

// Every save runs on the UI thread (game ends arrive there as messages).
void SaveFavorites(void) { SaveList(LIST_FAVORITES); }

void SaveCollections(void) { SaveList(LIST_COLLECTIONS); }

void SavePlaytime(void) { SaveList(LIST_PLAYTIME); }

void ToggleFavorite(int slot) {
    if (slot < 0 || slot >= g_model.product_count) return;
    g_model.favorites[slot] = g_model.favorites[slot] == 0 ? 1 : 0;
    SaveFavorites();
}

void CycleCollection(int slot) {
    if (slot < 0 || slot >= g_model.product_count) return;
    g_model.collections[slot] = (g_model.collections[slot] + 1) % 4;
    SaveCollections();
}

void CollectionName(int value, wchar_t *dst, unsigned long long capacity) {
    const wchar_t *name = L"NONE";
    if (value == COLLECTION_ACTIVE) name = L"ACTIVE";
    else if (value == COLLECTION_BACKLOG) name = L"BACKLOG";
    else if (value == COLLECTION_COMPLETED) name = L"COMPLETED";
    WideCopy(dst, name, capacity);
}
