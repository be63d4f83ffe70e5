// Page views: each writes its page's texts, enabled states and row
// visibility from the current tables and state. Views keep no state.
#include "window.h"

#include "json.h"
#include "runtime.h"
#include "settings.h"

void FormatUnsigned64(wchar_t *dst, unsigned long long capacity, unsigned long long value) {
    if (capacity == 0) return;
    if (value == 0) {
        WideCopy(dst, L"0", capacity);
        return;
    }
    wchar_t digits[32];
    int count = 0;
    while (value != 0 && count < 31) {
        digits[count++] = (wchar_t)(L'0' + value % 10);
        value /= 10;
    }
    unsigned long long written = 0;
    while (count > 0 && written + 1 < capacity) dst[written++] = digits[--count];
    dst[written] = 0;
}

void FormatUnsigned(wchar_t *dst, unsigned long long capacity, unsigned int value) {
    FormatUnsigned64(dst, capacity, value);
}

int ContainsNoCase(const wchar_t *text, const wchar_t *needle) {
    unsigned long long n = WideLength(needle);
    if (n == 0) return 1;
    if (!text) return 0;
    for (unsigned long long i = 0; text[i] != 0; ++i) {
        unsigned long long j = 0;
        while (j < n && text[i + j] != 0 && FoldAscii(text[i + j]) == FoldAscii(needle[j]))
            ++j;
        if (j == n) return 1;
    }
    return 0;
}

int MatchesLibraryFilter(int slot, const wchar_t *search) {
    if (slot < 0 || slot >= g_product_count) return 0;
    if (g_ui.library_filter == FILTER_INSTALLED && !IsInstalled(slot)) return 0;
    if (g_ui.library_filter == FILTER_FAVORITES && g_favorites[slot] == 0) return 0;
    if (g_ui.library_filter == FILTER_COLLECTIONS && g_collections[slot] == 0) return 0;
    if (search && search[0]) {
        const CatalogProduct *p = &g_products[slot];
        return ContainsNoCase(p->title, search) || ContainsNoCase(p->project, search) ||
               ContainsNoCase(p->id, search);
    }
    return 1;
}

void InstalledVersionText(int slot, wchar_t *dst, unsigned long long capacity) {
    if (!IsInstalled(slot)) {
        WideCopy(dst, L"NOT INSTALLED", capacity);
        return;
    }
    wchar_t path[1300];
    ProductDirectory(slot, path, 1200);
    WideAppend(path, L"\\version.json", 1300);
    unsigned int length = 0;
    char *doc = ReadWholeFile(path, &length);
    if (doc) {
        char version[96];
        int found = JsonGetString(doc, 0, length, "version", version, sizeof(version));
        HeapFree(GetProcessHeap(), 0, doc);
        if (found) {
            Utf8ToWide(version, dst, (int)capacity);
            return;
        }
    }
    WideCopy(dst, L"INSTALLED", capacity);
}

void PlaytimeText(int slot, wchar_t *dst, unsigned long long capacity) {
    unsigned long long seconds = slot >= 0 && slot < g_product_count ? g_playtime[slot] : 0;
    wchar_t number[40];
    WideCopy(dst, L"PLAYTIME  ", capacity);
    FormatUnsigned64(number, 40, seconds / 3600);
    WideAppend(dst, number, capacity);
    WideAppend(dst, L"h ", capacity);
    FormatUnsigned64(number, 40, (seconds % 3600) / 60);
    WideAppend(dst, number, capacity);
    WideAppend(dst, L"m", capacity);
}

// Starts a text with "<lead>  //  " when lead is not empty, else empty.
static void StartWithLead(wchar_t *dst, const wchar_t *lead, unsigned long long capacity) {
    dst[0] = 0;
    if (!lead[0]) return;
    WideCopy(dst, lead, capacity);
    WideAppend(dst, L"  //  ", capacity);
}

// ---- HOME ---------------------------------------------------------------

void RefreshHomeView(void) {
    ShellControls &c = g_controls;
    int s = g_ui.selected_library;
    if (s < 0 || s >= g_product_count) s = 0;
    const CatalogProduct *p = &g_products[s];
    SetControlText(c.home_kicker, p->project[0] ? p->project : L"ORVELANT GAME");
    SetControlText(c.home_title, p->title);
    SetControlText(c.home_tagline, p->subtitle[0] ? p->subtitle : L"TURN IMAGINATION INTO WORLDS.");

    wchar_t status[200];
    wchar_t message[420];
    const wchar_t *primary;
    int installed = IsInstalled(s);
    if (g_control.launcher_update_required) {
        WideCopy(status, L"LAUNCHER UPDATE // REQUIRED", 200);
        WideCopy(message,
                 L"ORVELANT Launcherの更新が必要です。Settingsから最新版を取得してください。"
                 L"ゲームの更新・起動はLauncher更新後に再開できます。",
                 420);
        primary = L"UPDATE LAUNCHER";
    } else if (IsMaintenance()) {
        WideCopy(status, L"SERVICE // MAINTENANCE", 200);
        WideCopy(message,
                 g_control.maintenance_message[0]
                     ? g_control.maintenance_message
                     : L"配信サービスをメンテナンスしています。検証済みのゲームはLibraryからオフライン起動できます。",
                 420);
        primary = installed ? L"PLAY / CHECK" : L"INSTALL / CHECK";
    } else if (installed) {
        wchar_t version[100];
        InstalledVersionText(s, version, 100);
        WideCopy(status, L"READY // ", 200);
        WideAppend(status, version, 200);
        WideCopy(message,
                 g_control.announcement[0]
                     ? g_control.announcement
                     : L"起動前に更新を確認します。更新サービス停止時は、検証済みのインストールをオフライン起動できます。",
                 420);
        primary = L"PLAY";
    } else {
        WideCopy(status, L"AVAILABLE // NOT INSTALLED", 200);
        WideCopy(message,
                 g_control.announcement[0]
                     ? g_control.announcement
                     : L"ORVELANT Library へインストールします。ゲームごとに独立した更新・修復状態を管理します。",
                 420);
        primary = L"INSTALL";
    }
    SetControlText(c.home_primary, primary);
    SetControlText(c.home_status, status);
    SetControlText(c.home_message, message);

    if (g_news_count == 0) {
        SetControlText(c.news_rows[0],
                       L"SIGNAL // WAITING FOR OFFICIAL UPDATE\n"
                       L"最新情報は接続時にORVELANTから同期されます。");
        return;
    }
    for (int i = 0; i < kNewsRowCount && i < g_news_count; ++i) {
        const NewsItem *n = &g_news[i];
        wchar_t row[520];
        StartWithLead(row, n->published_at, 520);
        WideAppend(row, n->title, 520);
        WideAppend(row, L"\n", 520);
        WideAppend(row, n->summary, 520);
        SetControlText(c.news_rows[i], row);
    }
}

// ---- STORE --------------------------------------------------------------

void RefreshStoreView(void) {
    ShellControls &c = g_controls;
    if (!g_control.store_enabled) {
        for (int i = 0; i < kStoreRowCount; ++i) ShowControl(c.store_rows[i], 0);
        SetControlText(c.store_detail_title, L"STORE // TEMPORARILY HIDDEN");
        SetControlText(c.store_detail_meta, L"ORVELANT CONTROL");
        SetControlText(c.store_detail_body,
                       L"Store表示はORVELANT Consoleから一時的に停止されています。"
                       L"Libraryのインストール済みゲームには影響しません。");
        SetControlText(c.store_view_button, kMakerSiteDomainUpper);
        return;
    }
    for (int i = 0; i < kStoreRowCount; ++i) {
        if (i >= g_product_count) {
            ShowControl(c.store_rows[i], 0);
            continue;
        }
        const CatalogProduct *p = &g_products[i];
        wchar_t row[320];
        StartWithLead(row, p->project, 320);
        WideAppend(row, p->title, 320);
        SetControlText(c.store_rows[i], row);
        ShowControl(c.store_rows[i], 1);
    }
    if (g_ui.selected_store >= g_product_count) g_ui.selected_store = 0;
    MarkShellSelection();
    const CatalogProduct *s = &g_products[g_ui.selected_store];
    SetControlText(c.store_detail_title, s->title);
    SetControlText(c.store_detail_meta, s->project);
    SetControlText(c.store_detail_body, s->subtitle);
    SetControlText(c.store_view_button, s->store_url[0] ? L"VIEW PRODUCT" : L"PRODUCT PAGE SOON");
}

// ---- LIBRARY ------------------------------------------------------------

void RefreshLibraryView(void) {
    ShellControls &c = g_controls;
    wchar_t search[160];
    search[0] = 0;
    if (c.search_edit) GetWindowTextW(c.search_edit, search, 160);
    for (int i = 0; i < kLibraryRowCount; ++i) g_ui.visible_library_map[i] = -1;
    int count = 0;
    for (int s = 0; s < g_product_count && count < kLibraryRowCount; ++s)
        if (MatchesLibraryFilter(s, search)) g_ui.visible_library_map[count++] = s;
    g_ui.visible_library_count = count;

    for (int i = 0; i < kLibraryRowCount; ++i) {
        if (i >= count) {
            ShowControl(c.library_rows[i], 0);
            continue;
        }
        int s = g_ui.visible_library_map[i];
        wchar_t row[520], version[100];
        row[0] = 0;
        if (g_favorites[s]) WideCopy(row, L"★  ", 520);
        WideAppend(row, g_products[s].title, 520);
        WideAppend(row, L"   //   ", 520);
        InstalledVersionText(s, version, 100);
        WideAppend(row, version, 520);
        if (g_collections[s] != 0) {
            wchar_t name[16];
            CollectionName(g_collections[s], name, 16);
            WideAppend(row, L"   //   ", 520);
            WideAppend(row, name, 520);
        }
        SetControlText(c.library_rows[i], row);
        ShowControl(c.library_rows[i], g_ui.current_page == PAGE_LIBRARY);
    }

    if (g_ui.selected_library >= g_product_count) g_ui.selected_library = 0;
    if (count > 0 && !MatchesLibraryFilter(g_ui.selected_library, search))
        g_ui.selected_library = g_ui.visible_library_map[0];

    MarkShellSelection();

    HWND buttons[6] = {c.library_primary, c.library_repair, c.library_offline,
                       c.library_uninstall, c.library_favorite, c.library_collection};
    if (count == 0) {
        SetControlText(c.library_detail_title, L"NO MATCHING GAMES");
        SetControlText(c.library_detail_meta, L"LIBRARY FILTER");
        SetControlText(c.library_detail_body, L"検索条件またはフィルターを変更してください。");
        SetControlText(c.library_primary, L"-");
        for (int i = 0; i < 6; ++i)
            if (buttons[i]) EnableWindow(buttons[i], FALSE);
        return;
    }

    int s = g_ui.selected_library;
    const CatalogProduct *p = &g_products[s];
    int installed = IsInstalled(s);
    wchar_t meta[420], part[100], name[16];
    StartWithLead(meta, p->project, 420);
    InstalledVersionText(s, part, 100);
    WideAppend(meta, part, 420);
    WideAppend(meta, L"  //  ", 420);
    PlaytimeText(s, part, 100);
    WideAppend(meta, part, 420);
    if (g_favorites[s]) WideAppend(meta, L"  //  FAVORITE", 420);
    CollectionName(g_collections[s], name, 16);
    if (g_collections[s] != 0) {
        WideAppend(meta, L"  //  ", 420);
        WideAppend(meta, name, 420);
    }
    wchar_t body[1200];
    ProductDirectory(s, body, 1200);
    wchar_t collection[420];
    WideCopy(collection, L"COLLECTION // ", 420);
    WideAppend(collection, name, 420);

    SetControlText(c.library_detail_title, p->title);
    SetControlText(c.library_detail_meta, meta);
    SetControlText(c.library_detail_body, body);
    SetControlText(c.library_primary, installed ? L"PLAY" : L"INSTALL");
    SetControlText(c.library_favorite, g_favorites[s] ? L"★ FAVORITE" : L"☆ FAVORITE");
    SetControlText(c.library_collection, collection);

    int idle = !g_worker.worker_running;
    int offline = g_control.allow_offline && !g_worker.sync_running &&
                  !g_control.launcher_update_required && IsKnownGood(s) && idle;
    int enabled[6] = {1, installed && idle, offline, installed && idle, 1, 1};
    for (int i = 0; i < 6; ++i)
        if (buttons[i]) EnableWindow(buttons[i], enabled[i] ? TRUE : FALSE);
}

// ---- DOWNLOADS ----------------------------------------------------------

static void BandwidthText(wchar_t *dst, unsigned long long capacity) {
    if (g_bandwidth_kbps == 0) {
        WideCopy(dst, L"UNLIMITED", capacity);
        return;
    }
    FormatUnsigned(dst, capacity, (unsigned int)g_bandwidth_kbps);
    WideAppend(dst, L" KB/s", capacity);
}

void RefreshDownloadsView(void) {
    ShellControls &c = g_controls;
    const wchar_t *queue_line = L"QUEUE // IDLE";
    if (g_worker.worker_running && g_worker.active_product >= 0 &&
        g_worker.active_product < g_product_count)
        queue_line = g_products[g_worker.active_product].title;
    else if (g_worker.queue_count > 0 && g_worker.queue[0].slot >= 0 &&
             g_worker.queue[0].slot < g_product_count)
        queue_line = g_products[g_worker.queue[0].slot].title;
    SetControlText(c.downloads_queue_line, queue_line);

    wchar_t queued[40], limit[80], number[40], detail[420];
    FormatUnsigned(queued, 40, (unsigned int)g_worker.queue_count);
    BandwidthText(limit, 80);
    const wchar_t *headline;
    const wchar_t *pause_text = L"PAUSE";
    int pause_enabled = 0;
    if (g_worker.worker_running) {
        int paused = IsDownloadPaused();
        headline = paused ? L"DOWNLOAD // PAUSED" : L"ACTIVE DOWNLOAD / VERIFY JOB";
        WideCopy(detail, L"SPEED  ", 420);
        FormatUnsigned(number, 40, (unsigned int)g_worker.transfer_speed_kbps);
        WideAppend(detail, number, 420);
        WideAppend(detail, L" KB/s    REMAINING  ", 420);
        FormatUnsigned(number, 40, (unsigned int)g_worker.transfer_remaining_mb);
        WideAppend(detail, number, 420);
        WideAppend(detail, L" MB    QUEUED  ", 420);
        WideAppend(detail, queued, 420);
        WideAppend(detail, L"    LIMIT  ", 420);
        WideAppend(detail, limit, 420);
        pause_text = paused ? L"RESUME" : L"PAUSE";
        pause_enabled = 1;
    } else if (g_worker.queue_count > 0) {
        headline = L"QUEUE // WAITING";
        WideCopy(detail, L"QUEUED JOBS  ", 420);
        WideAppend(detail, queued, 420);
        WideAppend(detail, L"    LIMIT  ", 420);
        WideAppend(detail, limit, 420);
    } else {
        headline = L"NO ACTIVE DOWNLOADS";
        WideCopy(detail,
                 L"ORVELANTはゲーム単位で更新状態を分離します。.partはHTTP Rangeで再開します。"
                 L"  BANDWIDTH // ",
                 420);
        WideAppend(detail, limit, 420);
    }
    SetControlText(c.downloads_headline, headline);
    SetControlText(c.downloads_detail, detail);
    SetControlText(c.pause_button, pause_text);
    if (c.pause_button) EnableWindow(c.pause_button, pause_enabled ? TRUE : FALSE);
    SetProgress(g_worker.progress_percent);
}

// ---- SETTINGS -----------------------------------------------------------

void RefreshSettingsView(void) {
    ShellControls &c = g_controls;
    wchar_t line[1500], logs[1200];
    WideCopy(line, L"GAME LIBRARY  //  ", 1500);
    WideAppend(line, g_library_root, 1500);
    SetControlText(c.settings_library_line, line);
    InstallPath(L"logs", logs, 1200);
    WideCopy(line, L"LOGS  //  ", 1500);
    WideAppend(line, logs, 1500);
    SetControlText(c.settings_logs_line, line);
    SetControlText(c.settings_offline_line,
                   g_control.allow_offline ? L"OFFLINE POLICY  //  KNOWN-GOOD SINGLE PLAYER ALLOWED"
                                           : L"OFFLINE POLICY  //  DISABLED BY REMOTE CONTROL");
    wchar_t bandwidth[80];
    BandwidthText(bandwidth, 80);
    WideCopy(line, L"BANDWIDTH // ", 1500);
    WideAppend(line, bandwidth, 1500);
    SetControlText(c.bandwidth_button, line);
    if (g_control.launcher_update_available) {
        WideCopy(line, L"UPDATE & RESTART  //  ", 1500);
        WideAppend(line, g_control.latest_launcher_version, 1500);
        if (g_control.launcher_update_required) WideAppend(line, L"  //  REQUIRED", 1500);
        SetControlText(c.launcher_update_button, line);
        if (c.launcher_update_button) EnableWindow(c.launcher_update_button, TRUE);
    } else {
        SetControlText(c.launcher_update_button, L"LAUNCHER " ORV_LAUNCHER_VERSION L"  //  CURRENT");
        if (c.launcher_update_button) EnableWindow(c.launcher_update_button, FALSE);
    }
}
