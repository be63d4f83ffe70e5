// The pages: each page's view writes its texts, enabled states and row
// visibility from the model alone (no disk, no other control); the page
// switch. Views keep no state; the render step (render.cpp) says which run.
#include "window.h"

#include "ui_scale.h"

#include "json.h"
#include "runtime.h"
#include "settings.h"

void PlaytimeText(int slot, wchar_t *dst, unsigned long long capacity) {
    unsigned long long seconds = slot >= 0 && slot < g_model.product_count ? g_model.playtime[slot] : 0;
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

// The publisher's text when the control document gives one, else ours.
static const wchar_t *OrDefault(const wchar_t *given, const wchar_t *fallback) {
    return given[0] ? given : fallback;
}

void RefreshHomeView(void) {
    int s = g_model.ui.selected_library;
    if (s < 0 || s >= g_model.product_count) s = 0;
    const CatalogProduct *p = &g_model.products[s];
    SetControlText(ShellControl(ROW_HOME_KICKER), p->project[0] ? p->project : L"ORVELANT GAME");
    SetControlText(ShellControl(ROW_HOME_TITLE), p->title);
    SetControlText(ShellControl(ROW_HOME_TAGLINE), p->subtitle[0] ? p->subtitle : L"TURN IMAGINATION INTO WORLDS.");

    wchar_t status[200];
    wchar_t message[420];
    const wchar_t *primary;
    int installed = g_model.on_disk[s].installed;
    if (g_model.control.launcher_update_required) {
        WideCopy(status, L"LAUNCHER UPDATE // REQUIRED", 200);
        WideCopy(message,
                 L"ORVELANT Launcherの更新が必要です。Settingsから最新版を取得してください。"
                 L"ゲームの更新・起動はLauncher更新後に再開できます。",
                 420);
        primary = L"UPDATE LAUNCHER";
    } else if (IsMaintenance()) {
        WideCopy(status, L"SERVICE // MAINTENANCE", 200);
        WideCopy(message,
                 OrDefault(g_model.control.maintenance_message,
                           L"配信サービスをメンテナンスしています。検証済みのゲームはLibraryからオフライン起動できます。"),
                 420);
        primary = installed ? L"PLAY / CHECK" : L"INSTALL / CHECK";
    } else if (installed) {
        wchar_t version[100];
        WideCopy(version, g_model.on_disk[s].version, 100);
        WideCopy(status, L"READY // ", 200);
        WideAppend(status, version, 200);
        WideCopy(message,
                 OrDefault(g_model.control.announcement,
                           L"起動前に更新を確認します。更新サービス停止時は、検証済みのインストールをオフライン起動できます。"),
                 420);
        primary = L"PLAY";
    } else {
        WideCopy(status, L"AVAILABLE // NOT INSTALLED", 200);
        WideCopy(message,
                 OrDefault(g_model.control.announcement,
                           L"ORVELANT Library へインストールします。ゲームごとに独立した更新・修復状態を管理します。"),
                 420);
        primary = L"INSTALL";
    }
    SetControlText(ShellControl(ROW_HOME_PRIMARY), primary);
    SetControlText(ShellControl(ROW_HOME_STATUS), status);
    SetControlText(ShellControl(ROW_HOME_MESSAGE), message);

    if (g_model.news_count == 0) {
        SetControlText(ShellControl(ROW_NEWS_ROWS, 0),
                       L"SIGNAL // WAITING FOR OFFICIAL UPDATE\n"
                       L"最新情報は接続時にORVELANTから同期されます。");
        return;
    }
    for (int i = 0; i < kNewsRowCount && i < g_model.news_count; ++i) {
        const NewsItem *n = &g_model.news[i];
        wchar_t row[520];
        StartWithLead(row, n->published_at, 520);
        WideAppend(row, n->title, 520);
        WideAppend(row, L"\n", 520);
        WideAppend(row, n->summary, 520);
        SetControlText(ShellControl(ROW_NEWS_ROWS, i), row);
    }
}

// ---- STORE --------------------------------------------------------------

void RefreshStoreView(void) {
    if (!g_model.control.store_enabled) {
        for (int i = 0; i < kStoreRowCount; ++i) ShowControl(ShellControl(ROW_STORE_ROWS, i), 0);
        SetControlText(ShellControl(ROW_STORE_DETAIL_TITLE), L"STORE // TEMPORARILY HIDDEN");
        SetControlText(ShellControl(ROW_STORE_DETAIL_META), L"ORVELANT CONTROL");
        SetControlText(ShellControl(ROW_STORE_DETAIL_BODY),
                       L"Store表示はORVELANT Consoleから一時的に停止されています。"
                       L"Libraryのインストール済みゲームには影響しません。");
        SetControlText(ShellControl(ROW_STORE_VIEW_BUTTON), kMakerSiteDomainUpper);
        return;
    }
    for (int i = 0; i < kStoreRowCount; ++i) {
        if (i >= g_model.product_count) {
            ShowControl(ShellControl(ROW_STORE_ROWS, i), 0);
            continue;
        }
        const CatalogProduct *p = &g_model.products[i];
        wchar_t row[320];
        StartWithLead(row, p->project, 320);
        WideAppend(row, p->title, 320);
        SetControlText(ShellControl(ROW_STORE_ROWS, i), row);
        UiSetControlSelected(ShellControl(ROW_STORE_ROWS, i), i == g_model.ui.selected_store);
        ShowControl(ShellControl(ROW_STORE_ROWS, i), 1);
    }
    const CatalogProduct *s = &g_model.products[g_model.ui.selected_store];
    SetControlText(ShellControl(ROW_STORE_DETAIL_TITLE), s->title);
    SetControlText(ShellControl(ROW_STORE_DETAIL_META), s->project);
    SetControlText(ShellControl(ROW_STORE_DETAIL_BODY), s->subtitle);
    SetControlText(ShellControl(ROW_STORE_VIEW_BUTTON), s->store_url[0] ? L"VIEW PRODUCT" : L"PRODUCT PAGE SOON");
}

// ---- LIBRARY ------------------------------------------------------------

void RefreshLibraryView(void) {
    const int count = g_model.ui.visible_library_count;

    for (int i = 0; i < kLibraryRowCount; ++i) {
        if (i >= count) {
            ShowControl(ShellControl(ROW_LIBRARY_ROWS, i), 0);
            continue;
        }
        int s = g_model.ui.visible_library_map[i];
        wchar_t row[520], version[100];
        row[0] = 0;
        if (g_model.favorites[s]) WideCopy(row, L"★  ", 520);
        WideAppend(row, g_model.products[s].title, 520);
        WideAppend(row, L"   //   ", 520);
        WideCopy(version, g_model.on_disk[s].version, 100);
        WideAppend(row, version, 520);
        if (g_model.collections[s] != 0) {
            wchar_t name[16];
            CollectionName(g_model.collections[s], name, 16);
            WideAppend(row, L"   //   ", 520);
            WideAppend(row, name, 520);
        }
        SetControlText(ShellControl(ROW_LIBRARY_ROWS, i), row);
        ShowControl(ShellControl(ROW_LIBRARY_ROWS, i), g_model.ui.current_page == PAGE_LIBRARY);
    }

    for (int i = 0; i < count; ++i)
        UiSetControlSelected(ShellControl(ROW_LIBRARY_ROWS, i),
                             g_model.ui.visible_library_map[i] == g_model.ui.selected_library);

    HWND buttons[6] = {ShellControl(ROW_LIBRARY_PRIMARY), ShellControl(ROW_LIBRARY_REPAIR), ShellControl(ROW_LIBRARY_OFFLINE),
                       ShellControl(ROW_LIBRARY_UNINSTALL), ShellControl(ROW_LIBRARY_FAVORITE), ShellControl(ROW_LIBRARY_COLLECTION)};
    if (count == 0) {
        SetControlText(ShellControl(ROW_LIBRARY_DETAIL_TITLE), L"NO MATCHING GAMES");
        SetControlText(ShellControl(ROW_LIBRARY_DETAIL_META), L"LIBRARY FILTER");
        SetControlText(ShellControl(ROW_LIBRARY_DETAIL_BODY), L"検索条件またはフィルターを変更してください。");
        SetControlText(ShellControl(ROW_LIBRARY_PRIMARY), L"-");
        for (int i = 0; i < 6; ++i)
            if (buttons[i]) EnableWindow(buttons[i], FALSE);
        return;
    }

    int s = g_model.ui.selected_library;
    const CatalogProduct *p = &g_model.products[s];
    int installed = g_model.on_disk[s].installed;
    wchar_t meta[420], part[100], name[16];
    StartWithLead(meta, p->project, 420);
    WideCopy(part, g_model.on_disk[s].version, 100);
    WideAppend(meta, part, 420);
    WideAppend(meta, L"  //  ", 420);
    PlaytimeText(s, part, 100);
    WideAppend(meta, part, 420);
    if (g_model.favorites[s]) WideAppend(meta, L"  //  FAVORITE", 420);
    CollectionName(g_model.collections[s], name, 16);
    if (g_model.collections[s] != 0) {
        WideAppend(meta, L"  //  ", 420);
        WideAppend(meta, name, 420);
    }
    wchar_t body[1200];
    WideCopy(body, g_model.on_disk[s].directory, 1200);
    wchar_t collection[420];
    WideCopy(collection, L"COLLECTION // ", 420);
    WideAppend(collection, name, 420);

    SetControlText(ShellControl(ROW_LIBRARY_DETAIL_TITLE), p->title);
    SetControlText(ShellControl(ROW_LIBRARY_DETAIL_META), meta);
    SetControlText(ShellControl(ROW_LIBRARY_DETAIL_BODY), body);
    SetControlText(ShellControl(ROW_LIBRARY_PRIMARY), installed ? L"PLAY" : L"INSTALL");
    SetControlText(ShellControl(ROW_LIBRARY_FAVORITE), g_model.favorites[s] ? L"★ FAVORITE" : L"☆ FAVORITE");
    SetControlText(ShellControl(ROW_LIBRARY_COLLECTION), collection);

    int idle = !g_model.worker.worker_running;
    int offline = g_model.control.allow_offline && !g_model.worker.sync_running &&
                  !g_model.control.launcher_update_required && g_model.on_disk[s].known_good && idle;
    int enabled[6] = {1, installed && idle, offline, installed && idle, 1, 1};
    for (int i = 0; i < 6; ++i)
        if (buttons[i]) EnableWindow(buttons[i], enabled[i] ? TRUE : FALSE);
}

// ---- DOWNLOADS ----------------------------------------------------------

static void BandwidthText(wchar_t *dst, unsigned long long capacity) {
    if (g_model.bandwidth_kbps == 0) {
        WideCopy(dst, L"UNLIMITED", capacity);
        return;
    }
    FormatUnsigned(dst, capacity, (unsigned int)g_model.bandwidth_kbps);
    WideAppend(dst, L" KB/s", capacity);
}

void RefreshDownloadsView(void) {
    const wchar_t *queue_line = L"QUEUE // IDLE";
    if (g_model.worker.worker_running && g_model.worker.active_product >= 0 &&
        g_model.worker.active_product < g_model.product_count)
        queue_line = g_model.products[g_model.worker.active_product].title;
    else if (g_model.worker.queue_count > 0 && g_model.worker.queue[0].slot >= 0 &&
             g_model.worker.queue[0].slot < g_model.product_count)
        queue_line = g_model.products[g_model.worker.queue[0].slot].title;
    SetControlText(ShellControl(ROW_DOWNLOADS_QUEUE_LINE), queue_line);

    wchar_t queued[40], limit[80], number[40], detail[420];
    FormatUnsigned(queued, 40, (unsigned int)g_model.worker.queue_count);
    BandwidthText(limit, 80);
    const wchar_t *headline;
    const wchar_t *pause_text = L"PAUSE";
    int pause_enabled = 0;
    if (g_model.worker.worker_running) {
        int paused = g_model.paused;
        headline = paused ? L"DOWNLOAD // PAUSED" : L"ACTIVE DOWNLOAD / VERIFY JOB";
        WideCopy(detail, L"SPEED  ", 420);
        FormatUnsigned(number, 40, (unsigned int)g_model.worker.transfer_speed_kbps);
        WideAppend(detail, number, 420);
        WideAppend(detail, L" KB/s    REMAINING  ", 420);
        FormatUnsigned(number, 40, (unsigned int)g_model.worker.transfer_remaining_mb);
        WideAppend(detail, number, 420);
        WideAppend(detail, L" MB    QUEUED  ", 420);
        WideAppend(detail, queued, 420);
        WideAppend(detail, L"    LIMIT  ", 420);
        WideAppend(detail, limit, 420);
        pause_text = paused ? L"RESUME" : L"PAUSE";
        pause_enabled = 1;
    } else if (g_model.worker.queue_count > 0) {
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
    SetControlText(ShellControl(ROW_DOWNLOADS_HEADLINE), headline);
    SetControlText(ShellControl(ROW_DOWNLOADS_DETAIL), detail);
    SetControlText(ShellControl(ROW_PAUSE_BUTTON), pause_text);
    if (ShellControl(ROW_PAUSE_BUTTON)) EnableWindow(ShellControl(ROW_PAUSE_BUTTON), pause_enabled ? TRUE : FALSE);
    ShowProgress(g_model.worker.progress_percent);
}

// ---- SETTINGS -----------------------------------------------------------

void RefreshSettingsView(void) {
    wchar_t line[1500], logs[1200];
    WideCopy(line, L"GAME LIBRARY  //  ", 1500);
    WideAppend(line, g_library_root, 1500);
    SetControlText(ShellControl(ROW_SETTINGS_LIBRARY_LINE), line);
    InstallPath(L"logs", logs, 1200);
    WideCopy(line, L"LOGS  //  ", 1500);
    WideAppend(line, logs, 1500);
    SetControlText(ShellControl(ROW_SETTINGS_LOGS_LINE), line);
    SetControlText(ShellControl(ROW_SETTINGS_OFFLINE_LINE),
                   g_model.control.allow_offline ? L"OFFLINE POLICY  //  KNOWN-GOOD SINGLE PLAYER ALLOWED"
                                           : L"OFFLINE POLICY  //  DISABLED BY REMOTE CONTROL");
    wchar_t bandwidth[80];
    BandwidthText(bandwidth, 80);
    WideCopy(line, L"BANDWIDTH // ", 1500);
    WideAppend(line, bandwidth, 1500);
    SetControlText(ShellControl(ROW_BANDWIDTH_BUTTON), line);
    if (g_model.control.launcher_update_available) {
        WideCopy(line, L"UPDATE & RESTART  //  ", 1500);
        WideAppend(line, g_model.control.latest_launcher_version, 1500);
        if (g_model.control.launcher_update_required) WideAppend(line, L"  //  REQUIRED", 1500);
        SetControlText(ShellControl(ROW_LAUNCHER_UPDATE_BUTTON), line);
        if (ShellControl(ROW_LAUNCHER_UPDATE_BUTTON)) EnableWindow(ShellControl(ROW_LAUNCHER_UPDATE_BUTTON), TRUE);
    } else {
        SetControlText(ShellControl(ROW_LAUNCHER_UPDATE_BUTTON), L"LAUNCHER " ORV_LAUNCHER_VERSION L"  //  CURRENT");
        if (ShellControl(ROW_LAUNCHER_UPDATE_BUTTON)) EnableWindow(ShellControl(ROW_LAUNCHER_UPDATE_BUTTON), FALSE);
    }
}

// ---- the page switch ------------------------------------------------------

static int g_shown_page = -1;

int ShowPage(int page) {
    const int switched = page != g_shown_page;
    g_shown_page = page;
    if (page == PAGE_HOME) RefreshHomeView();
    ShowPageControls(page);
    switch (page) {
    case PAGE_HOME:
        // Row 0 is always there: the view writes the waiting text into it.
        for (int i = 0; i < kNewsRowCount; ++i)
            ShowControl(ShellControl(ROW_NEWS_ROWS, i), i < g_model.news_count || i == 0);
        break;
    case PAGE_STORE: RefreshStoreView(); break;
    case PAGE_LIBRARY: RefreshLibraryView(); break;
    case PAGE_DOWNLOADS: RefreshDownloadsView(); break;
    case PAGE_SETTINGS: RefreshSettingsView(); break;
    default: break;
    }
    for (int i = 0; i < kPageCount; ++i)
        UiSetControlSelected(ShellControl(ROW_NAV_HOME + i), i == page);
    return switched;
}
