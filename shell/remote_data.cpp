// The cached catalog, news and control documents: what the Shell shows and
// allows. The Worker replaces the files after a verified sync; the Shell only
// reads them, at start-up and after each completed sync.
#include "shell.h"

#include "json.h"
#include "runtime.h"

#ifndef ORV_MAKER_SITE_HOME
#define ORV_MAKER_SITE_HOME L"https://www.orvelant.example/"
#endif
#ifndef ORV_MAKER_SITE_DOMAIN_UPPER
#define ORV_MAKER_SITE_DOMAIN_UPPER L"WWW.ORVELANT.EXAMPLE"
#endif
#ifndef ORV_UPDATE_HOST_W
#define ORV_UPDATE_HOST_W L"localhost"
#endif

const wchar_t kMakerSiteHome[] = ORV_MAKER_SITE_HOME;
const wchar_t kMakerSiteDomainUpper[] = ORV_MAKER_SITE_DOMAIN_UPPER;
const wchar_t kDefaultStoreUrl[] = ORV_MAKER_SITE_HOME L"business/games/";
const wchar_t kDefaultInstallerUrl[] =
    L"https://" ORV_UPDATE_HOST_W L"/launcher/releases/v1.0.0/ORVELANT_Launcher_Setup_v1.0.0.exe";


static char *ReadCacheDocument(const wchar_t *name, unsigned int *length) {
    wchar_t path[1200];
    InstallPath(name, path, 1200);
    return ReadWholeFile(path, length);
}

void LoadDefaultCatalog(void) {
    CatalogProduct *p = &g_model.products[0];
    FillZero(p, sizeof(*p));
    WideCopy(p->id, L"first-title", 64);
    WideCopy(p->title, L"HALCYRA", 128);
    WideCopy(p->project, L"PROJECT / 001", 64);
    WideCopy(p->subtitle, L"THE NEXT WORLD STARTS HERE.", 192);
    WideCopy(p->install_dir, L"first-title", 180);
    WideCopy(p->executable, L"ORVELANT.exe", 180);
    WideCopy(p->manifest_path, L"/games/first-title/stable/manifest.json", 420);
    WideCopy(p->store_url, kDefaultStoreUrl, 420);
    g_model.product_count = 1;
    g_model.catalog_is_default = 1;
}

static void KeepSelectionsInRange(void) {
    if (g_model.ui.selected_library >= g_model.product_count) g_model.ui.selected_library = 0;
    if (g_model.ui.selected_store >= g_model.product_count) g_model.ui.selected_store = 0;
}

int LoadCatalog(void) {
    g_model.product_count = 0;
    unsigned int length = 0;
    char *doc = ReadCacheDocument(L"catalog.json", &length);
    JsonOffset cursor = 0, array_end = 0;
    if (!doc || !JsonArrayBounds(doc, length, "\"products\"", &cursor, &array_end)) {
        if (doc) HeapFree(GetProcessHeap(), 0, doc);
        LoadDefaultCatalog();
        KeepSelectionsInRange();
        return 0;
    }
    int taken = 0;
    JsonOffset from = 0, end = 0;
    while (taken < kMaxProducts && JsonNextObject(doc, &cursor, array_end, &from, &end)) {
        char id[80], title[180], install_dir[220], executable[220];
        char project[90], subtitle[260], manifest_path[520], store_url[520];
        id[0] = title[0] = install_dir[0] = executable[0] = 0;
        project[0] = subtitle[0] = manifest_path[0] = store_url[0] = 0;
        if (!JsonGetString(doc, from, end, "id", id, sizeof(id)) || !IsSafeId(id)) continue;
        if (!JsonGetString(doc, from, end, "title", title, sizeof(title))) continue;
        // An install_dir must name a folder below the library root, never the root.
        if (!JsonGetString(doc, from, end, "install_dir", install_dir, sizeof(install_dir)) ||
            !IsSafeRelativePath(install_dir) || !HasNamedComponent(install_dir))
            continue;
        if (!JsonGetString(doc, from, end, "executable", executable, sizeof(executable)) ||
            !IsSafeRelativePath(executable))
            continue;
        JsonGetString(doc, from, end, "project", project, sizeof(project));
        JsonGetString(doc, from, end, "subtitle", subtitle, sizeof(subtitle));
        JsonGetString(doc, from, end, "manifest_path", manifest_path, sizeof(manifest_path));
        JsonGetString(doc, from, end, "store_url", store_url, sizeof(store_url));
        CatalogProduct *p = &g_model.products[taken];
        FillZero(p, sizeof(*p));
        Utf8ToWide(id, p->id, 64);
        Utf8ToWide(title, p->title, 128);
        Utf8ToWide(project, p->project, 64);
        Utf8ToWide(subtitle, p->subtitle, 192);
        if (Utf8ToWide(install_dir, p->install_dir, 180) == 0) continue;  // too long: no folder
        Utf8ToWide(executable, p->executable, 180);
        Utf8ToWide(manifest_path, p->manifest_path, 420);
        Utf8ToWide(store_url, p->store_url, 420);
        ++taken;
    }
    HeapFree(GetProcessHeap(), 0, doc);
    if (taken == 0) {
        LoadDefaultCatalog();
        KeepSelectionsInRange();
        return 0;
    }
    g_model.product_count = taken;
    g_model.catalog_is_default = 0;
    KeepSelectionsInRange();
    return 1;
}

int LoadNews(void) {
    g_model.news_count = 0;
    unsigned int length = 0;
    char *doc = ReadCacheDocument(L"news.json", &length);
    if (!doc) return 0;
    JsonOffset cursor = 0, array_end = 0;
    if (!JsonArrayBounds(doc, length, "\"items\"", &cursor, &array_end)) {
        HeapFree(GetProcessHeap(), 0, doc);
        return 0;
    }
    int taken = 0;
    JsonOffset from = 0, end = 0;
    while (taken < kMaxNews && JsonNextObject(doc, &cursor, array_end, &from, &end)) {
        char title[240], summary[420], published_at[90], link[520];
        title[0] = summary[0] = published_at[0] = link[0] = 0;
        if (!JsonGetString(doc, from, end, "title", title, sizeof(title))) continue;
        JsonGetString(doc, from, end, "summary", summary, sizeof(summary));
        JsonGetString(doc, from, end, "published_at", published_at, sizeof(published_at));
        JsonGetString(doc, from, end, "link", link, sizeof(link));
        NewsItem *n = &g_model.news[taken];
        FillZero(n, sizeof(*n));
        Utf8ToWide(title, n->title, 180);
        Utf8ToWide(summary, n->summary, 300);
        Utf8ToWide(published_at, n->published_at, 64);
        Utf8ToWide(link, n->link, 420);
        ++taken;
    }
    HeapFree(GetProcessHeap(), 0, doc);
    g_model.news_count = taken;
    return taken > 0;
}

void ResetControlState(void) {
    FillZero(&g_model.control, sizeof(g_model.control));
    WideCopy(g_model.control.service_state, L"normal", 32);
    WideCopy(g_model.control.signal, L"SIGNAL // CURRENT", 160);
    WideCopy(g_model.control.min_launcher_version, ORV_LAUNCHER_VERSION, 32);
    WideCopy(g_model.control.latest_launcher_version, ORV_LAUNCHER_VERSION, 32);
    WideCopy(g_model.control.installer_url, kDefaultInstallerUrl, 520);
    g_model.control.allow_offline = 1;
    g_model.control.store_enabled = 1;
}

struct ControlText {
    const char *key;
    wchar_t *field;
    int units;
};

int LoadControl(void) {
    ResetControlState();
    unsigned int length = 0;
    char *doc = ReadCacheDocument(L"control.json", &length);
    if (!doc) return 0;
    const ControlText texts[] = {
        {"service_state", g_model.control.service_state, 32},
        {"maintenance_message", g_model.control.maintenance_message, 320},
        {"signal", g_model.control.signal, 160},
        {"min_launcher_version", g_model.control.min_launcher_version, 32},
        {"latest_launcher_version", g_model.control.latest_launcher_version, 32},
        {"installer_url", g_model.control.installer_url, 520},
        {"installer_sha256", g_model.control.installer_sha256, 80},
        {"announcement", g_model.control.announcement, 320},
    };
    char value[640];
    for (unsigned int i = 0; i < sizeof(texts) / sizeof(texts[0]); ++i) {
        if (JsonGetString(doc, 0, length, texts[i].key, value, sizeof(value)))
            Utf8ToWide(value, texts[i].field, texts[i].units);
    }
    int flag = 0;
    if (JsonGetBool(doc, 0, length, "allow_offline", &flag)) g_model.control.allow_offline = flag;
    if (JsonGetBool(doc, 0, length, "store_enabled", &flag)) g_model.control.store_enabled = flag;
    if (JsonGetBool(doc, 0, length, "force_launcher_update", &flag))
        g_model.control.force_launcher_update = flag;
    HeapFree(GetProcessHeap(), 0, doc);
    g_model.control.launcher_update_required =
        IsVersionOlder(ORV_LAUNCHER_VERSION, g_model.control.min_launcher_version) ||
        g_model.control.force_launcher_update;
    g_model.control.launcher_update_available =
        g_model.control.launcher_update_required ||
        IsVersionOlder(ORV_LAUNCHER_VERSION, g_model.control.latest_launcher_version);
    return 1;
}

int VersionComponent(const wchar_t *text, int n) {
    int c = 0;
    int v = 0;
    for (const wchar_t *p = text; p && *p; ++p) {
        wchar_t u = *p;
        if (u >= L'0' && u <= L'9') {
            // wraps like the 32-bit arithmetic it models instead of overflowing
            if (c == n) v = (int)((unsigned int)v * 10u + (unsigned int)(u - L'0'));
        } else if (u == L'.') {
            if (c == n) return v;
            ++c;
        } else if (c == n && v > 0) {
            return v;
        }
    }
    return c == n ? v : 0;
}

int IsVersionOlder(const wchar_t *a, const wchar_t *b) {
    for (int n = 0; n < 3; ++n) {
        int x = VersionComponent(a, n);
        int y = VersionComponent(b, n);
        if (x < y) return 1;
        if (x > y) return 0;
    }
    return 0;
}

int IsMaintenance(void) {
    return WideEquals(g_model.control.service_state, L"maintenance");
}

void ReloadRemoteData(void) {
    LoadCatalog();
    LoadFavorites();
    LoadCollections();
    LoadPlaytime();
    LoadNews();
    LoadControl();
}
