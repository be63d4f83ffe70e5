// Starting a game: the play request (update check first), the offline
// request, the game process itself and the thread that watches it for its
// playtime.
#include "shell.h"

#include "process.h"
#include "runtime.h"
#include "settings.h"

// Waits for the game's end, notes the whole seconds and tells the window;
// the UI thread adds them and saves, so a save never meets a reload and two
// games ending together are both counted.
static DWORD WINAPI GameWatchThread(void *parameter) {
    GameWatch *watch = (GameWatch *)parameter;
    if (!watch) return 0;
    WaitForSingleObject(watch->process, INFINITE);
    watch->seconds = (GetTickCount64() - watch->start_tick) / 1000;
    CloseHandle(watch->process);
    watch->process = NULL;
    InterlockedExchange(&watch->state, GAME_WATCH_ENDED);
    if (g_main_window)
        PostMessageW(g_main_window, WM_GAME_EXITED, (WPARAM)(watch - g_game_watches), 0);
    return 0;
}

// Credits the product that was started, wherever it sits in the table now.
// Every ended run is taken, so the message's own parameters are not trusted.
void HandleGameExited(void) {
    int saved = 0;
    for (unsigned int i = 0; i < CountOf(g_game_watches); ++i) {
        GameWatch *watch = &g_game_watches[i];
        if (watch->state != GAME_WATCH_ENDED) continue;
        int slot = FindProductSlot(watch->product_id);
        if (slot >= 0 && slot < (int)CountOf(g_playtime)) {
            g_playtime[slot] += watch->seconds;
            saved = 1;
        }
        InterlockedExchange(&watch->state, GAME_WATCH_FREE);
    }
    if (saved) SavePlaytime();
    RefreshLibraryView();
}

static GameWatch *ClaimGameWatch(void) {
    for (unsigned int i = 0; i < CountOf(g_game_watches); ++i)
        if (g_game_watches[i].state == GAME_WATCH_FREE) return &g_game_watches[i];
    return NULL;
}

int LaunchGame(int slot, int offline) {
    if (slot < 0 || slot >= g_product_count) return 0;
    wchar_t exe[1400];
    GameExecutablePath(slot, exe, CountOf(exe));
    if (!FileExists(exe)) return 0;
    wchar_t line[1700];
    WideCopy(line, L"\"", CountOf(line));
    WideAppend(line, exe, CountOf(line));
    WideAppend(line, L"\" --launcher-version=" ORV_LAUNCHER_VERSION, CountOf(line));
    if (offline) WideAppend(line, L" --offline", CountOf(line));
    wchar_t directory[1300];
    ProductDirectory(slot, directory, CountOf(directory));
    wchar_t legacy[1200];
    if (LegacyExecutablePath(g_products[slot].id, legacy, 1200) && WideEquals(exe, legacy)) {
        // The legacy layout keeps the first title under the install directory.
        WideCopy(directory, g_install_dir, CountOf(directory));
        WideAppend(directory, L"\\game", CountOf(directory));
    }
    HANDLE process = NULL;
    if (!StartProgram(exe, line, 0, directory, &process)) {
        LogFailure("CreateProcess game failed");
        return 0;
    }
    // Without a free record or a thread the game runs uncounted.
    GameWatch *watch = ClaimGameWatch();
    if (!watch) {
        CloseHandle(process);
        return 1;
    }
    watch->process = process;
    watch->start_tick = GetTickCount64();
    watch->seconds = 0;
    WideCopy(watch->product_id, g_products[slot].id, kProductIdUnits);
    watch->state = GAME_WATCH_RUNNING;
    HANDLE thread = CreateThread(NULL, 0, GameWatchThread, watch, 0, NULL);
    if (!thread) {
        watch->state = GAME_WATCH_FREE;
        CloseHandle(process);
        return 1;
    }
    CloseHandle(thread);
    return 1;
}

void RequestPlay(int slot) {
    if (slot < 0 || slot >= g_product_count) return;
    if (g_worker.sync_running) {
        MessageBoxW(g_main_window,
                    L"ORVELANTサービスと同期しています。\n\n同期完了後にもう一度実行してください。",
                    ORV_SHELL_CAPTION, MB_ICONINFORMATION);
        return;
    }
    if (g_control.launcher_update_required) {
        if (StartSelfUpdate()) return;
        if (g_control.installer_url[0])
            OpenDocumentLink(g_control.installer_url, "the control document");
        else
            MessageBoxW(g_main_window, L"Launcher更新URLが設定されていません。",
                        ORV_SHELL_CAPTION, MB_ICONERROR);
        return;
    }
    int result = StartProductJob(slot, 0, IsInstalled(slot));
    if (result == 2 || !IsInstalled(slot)) ShowPage(PAGE_DOWNLOADS);
}

void RequestOfflinePlay(int slot) {
    if (g_worker.sync_running) {
        MessageBoxW(g_main_window, L"ORVELANTサービスと同期しています。", ORV_SHELL_CAPTION,
                    MB_ICONINFORMATION);
        return;
    }
    if (g_control.launcher_update_required) {
        MessageBoxW(g_main_window, L"Launcherの必須更新後にゲームを起動できます。",
                    ORV_SHELL_CAPTION, MB_ICONINFORMATION);
        return;
    }
    if (slot < 0 || slot >= g_product_count) return;
    if (g_control.allow_offline && IsKnownGood(slot) && !LaunchGame(slot, 1))
        MessageBoxW(g_main_window, L"オフライン起動に失敗しました。", ORV_SHELL_CAPTION,
                    MB_ICONERROR);
}
