// What the window's commands do: each is a change of the model or the start
// of work; the window shows the result after the command (render step).
#include "shell.h"

#include "library_ops.h"
#include "runtime.h"

static void ViewStoreProduct(void) {
    if (!g_model.control.store_enabled) {
        OpenWithShell(kMakerSiteHome);
        return;
    }
    int s = g_model.ui.selected_store;
    if (s >= 0 && s < g_model.product_count && g_model.products[s].store_url[0]) {
        OpenDocumentLink(g_model.products[s].store_url, "the catalog");
        return;
    }
    TellPlayer(L"このタイトルの製品ページはまだ公開されていません。",
                L"ORVELANT Store", MB_ICONINFORMATION);
}

static void OpenLogFolder(void) {
    wchar_t logs[1200];
    InstallPath(L"logs", logs, 1200);
    CreateDirectoryTree(logs);
    OpenWithShell(logs);
}

static void OpenNewsLink(int row) {
    if (row < g_model.news_count && g_model.news[row].link[0]) OpenDocumentLink(g_model.news[row].link, "the news");
}

void RunShellCommand(int id) {
    int selected = g_model.ui.selected_library;
    int selected_valid = selected >= 0 && selected < g_model.product_count;
    switch (id) {
    case ID_NAV_HOME:
    case ID_NAV_STORE:
    case ID_NAV_LIBRARY:
    case ID_NAV_DOWNLOADS:
    case ID_NAV_SETTINGS:
        // What the page shows of the products' folders is read as it is shown.
        ReadProductsOnDisk();
        SelectPage(id - ID_NAV_HOME);
        return;
    case ID_ACCOUNT:
        TellPlayer(
                    L"Account / Login は購入認証Adapterとして接続予定です。\n\n"
                    L"Updater Coreへ認証情報を直接埋め込まない設計を維持します。",
                    L"ORVELANT Account", MB_ICONINFORMATION);
        return;
    case ID_HOME_PRIMARY: RequestPlay(selected); return;
    case ID_HOME_MANAGE:
        ReadProductsOnDisk();
        SelectPage(PAGE_LIBRARY);
        return;
    case ID_STORE_VIEW: ViewStoreProduct(); return;
    case ID_LIBRARY_PRIMARY: RequestPlay(selected); return;
    case ID_LIBRARY_REPAIR:
        if (selected_valid && IsInstalled(selected)) StartProductJob(selected, 1, 0);
        return;
    case ID_LIBRARY_OFFLINE: RequestOfflinePlay(selected); return;
    case ID_FILTER_ALL: SetLibraryFilter(FILTER_ALL); return;
    case ID_FILTER_INSTALLED: SetLibraryFilter(FILTER_INSTALLED); return;
    case ID_FILTER_FAVORITES: SetLibraryFilter(FILTER_FAVORITES); return;
    case ID_FILTER_COLLECTIONS: SetLibraryFilter(FILTER_COLLECTIONS); return;
    case ID_LIBRARY_FAVORITE:
        if (selected_valid) {
            ToggleFavorite(selected);
            ModelChanged(CHANGED_LISTS);
        }
        return;
    case ID_LIBRARY_UNINSTALL: UninstallSelectedGame(); return;
    case ID_MOVE_LIBRARY: MoveLibraryRoot(); return;
    case ID_DIAGNOSTICS: RunDiagnostics(); return;
    case ID_LIBRARY_COLLECTION:
        if (selected_valid) {
            CycleCollection(selected);
            ModelChanged(CHANGED_LISTS);
        }
        return;
    case ID_PAUSE: TogglePause(); return;
    case ID_WEBSITE: OpenWithShell(kMakerSiteHome); return;
    case ID_OPEN_LOGS: OpenLogFolder(); return;
    case ID_LAUNCHER_UPDATE: RequestLauncherUpdate(); return;
    case ID_BANDWIDTH: CycleBandwidthLimit(); return;
    default:
        break;
    }
    if (id >= ID_STORE_ROW_FIRST && id < ID_STORE_ROW_FIRST + kStoreRowCount)
        SelectStoreRow(id - ID_STORE_ROW_FIRST);
    else if (id >= ID_LIBRARY_ROW_FIRST && id < ID_LIBRARY_ROW_FIRST + kLibraryRowCount)
        SelectLibraryRow(id - ID_LIBRARY_ROW_FIRST);
    else if (id >= ID_NEWS_ROW_FIRST && id < ID_NEWS_ROW_FIRST + kNewsRowCount)
        OpenNewsLink(id - ID_NEWS_ROW_FIRST);
}
