// Starting a game: the play request (update check first), the offline
// request, the game process itself and the thread that watches it for its
// playtime.
#include "shell.h"

#include "process.h"
#include "runtime.h"
#include "settings.h"

// Waits for the game's end, notes the whole seconds and tells the window;
// the UI thread adds them and saves, so a save never meets a reload and two
// games ending together are both counted. A game handed over at the
// window's close belongs to the closing window: this thread then leaves it.
static DWORD WINAPI GameWatchThread(void *parameter) {
    GameWatch *watch = (GameWatch *)parameter;
    if (!watch) return 0;
    WaitForSingleObject(watch->process, INFINITE);
    watch->seconds = (GetTickCount64() - watch->start_tick) / 1000;
    if (InterlockedCompareExchange(&watch->state, GAME_WATCH_ENDED, GAME_WATCH_RUNNING) !=
        GAME_WATCH_RUNNING)
        return 0;
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
        if (slot >= 0 && slot < (int)CountOf(g_model.playtime)) {
            g_model.playtime[slot] += watch->seconds;
            saved = 1;
        }
        if (watch->process) CloseHandle(watch->process);
        watch->process = NULL;
        InterlockedExchange(&watch->state, GAME_WATCH_FREE);
    }
    if (saved) SavePlaytime();
    // A game may have written to its own folder.
    ReadProductsOnDisk();
    ModelChanged(CHANGED_LISTS);
}

static GameWatch *ClaimGameWatch(void) {
    for (unsigned int i = 0; i < CountOf(g_game_watches); ++i)
        if (g_game_watches[i].state == GAME_WATCH_FREE) return &g_game_watches[i];
    return NULL;
}

// Watches a started game from start_tick on; without a thread the game runs
// uncounted and the record goes back to the free ones.
static void StartGameWatch(GameWatch *watch, HANDLE process, unsigned long long start_tick,
                           const wchar_t *product_id) {
    watch->process = process;
    watch->start_tick = start_tick;
    watch->seconds = 0;
    WideCopy(watch->product_id, product_id, kProductIdUnits);
    watch->state = GAME_WATCH_RUNNING;
    HANDLE thread = CreateThread(NULL, 0, GameWatchThread, watch, 0, NULL);
    if (!thread) {
        watch->state = GAME_WATCH_FREE;
        watch->process = NULL;
        CloseHandle(process);
        return;
    }
    CloseHandle(thread);
}

int LaunchGame(int slot, int offline) {
    if (slot < 0 || slot >= g_model.product_count) return 0;
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
    if (LegacyExecutablePath(g_model.products[slot].id, legacy, 1200) && WideEquals(exe, legacy)) {
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
    StartGameWatch(watch, process, GetTickCount64(), g_model.products[slot].id);
    return 1;
}

// ---- games that outlive the window ---------------------------------------

// Games still running when the window closed, one line each (UTF-16):
// product id, process id, the process's creation time and the tick up to
// which its playtime was already added, separated by tabs. The next start
// watches the very same process again (same id and creation time) and adds
// only what comes after that tick.
static const wchar_t kRunningGames[] = L"running-games.txt";

static void AppendNumber(wchar_t *line, unsigned long long value, unsigned int capacity) {
    wchar_t number[40];
    FormatUnsigned64(number, 40, value);
    WideAppend(line, number, capacity);
}

static unsigned long long CreationTime(HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
    return ((unsigned long long)created.dwHighDateTime << 32) | created.dwLowDateTime;
}

void HandOverRunningGames(void) {
    static wchar_t text[kMaxGameWatches * 160];
    text[0] = 0;
    int credited = 0;
    unsigned long long now = GetTickCount64();
    for (unsigned int i = 0; i < CountOf(g_game_watches); ++i) {
        GameWatch *watch = &g_game_watches[i];
        // Claimed from its thread first: a game that ends just now is either
        // credited by it (ended) or here, never by both.
        if (InterlockedCompareExchange(&watch->state, GAME_WATCH_FREE, GAME_WATCH_RUNNING) !=
            GAME_WATCH_RUNNING)
            continue;
        unsigned long long seconds = (now - watch->start_tick) / 1000;
        int slot = FindProductSlot(watch->product_id);
        if (slot >= 0 && slot < (int)CountOf(g_model.playtime)) {
            g_model.playtime[slot] += seconds;
            credited = 1;
            unsigned long long creation = CreationTime(watch->process);
            if (creation && WaitForSingleObject(watch->process, 0) == WAIT_TIMEOUT) {
                wchar_t line[160];
                WideCopy(line, watch->product_id, 160);
                WideAppend(line, L"\t", 160);
                AppendNumber(line, GetProcessId(watch->process), 160);
                WideAppend(line, L"\t", 160);
                AppendNumber(line, creation, 160);
                WideAppend(line, L"\t", 160);
                AppendNumber(line, watch->start_tick + seconds * 1000, 160);
                WideAppend(line, L"\n", 160);
                WideAppend(text, line, CountOf(text));
            }
        }
        CloseHandle(watch->process);
        watch->process = NULL;
    }
    if (credited) SavePlaytime();
    HandleGameExited();  // runs that ended meanwhile
    wchar_t path[1200];
    InstallPath(kRunningGames, path, 1200);
    if (!text[0]) {
        DeleteFileW(path);
        return;
    }
    wchar_t temp[1210];
    WideCopy(temp, path, 1210);
    WideAppend(temp, L".new", 1210);
    if (!WriteWholeFile(temp, text, (int)(WideLength(text) * sizeof(wchar_t))) ||
        !MoveFileExW(temp, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        DeleteFileW(temp);
}

// Splits off the next tab- or line-ended field of text at *p.
static const wchar_t *NextField(wchar_t *text, unsigned int *p) {
    const wchar_t *field = text + *p;
    while (text[*p] && text[*p] != L'\t' && text[*p] != L'\n') ++*p;
    if (text[*p]) text[(*p)++] = 0;
    return field;
}

void WatchRecordedGames(void) {
    wchar_t path[1200];
    InstallPath(kRunningGames, path, 1200);
    unsigned int size = 0;
    char *bytes = ReadWholeFile(path, &size);
    if (!bytes) return;
    // Gone before anything is credited from it: it is read once only.
    DeleteFileW(path);
    static wchar_t text[kMaxGameWatches * 160];
    unsigned int units = size / sizeof(wchar_t);
    if (units > CountOf(text) - 1) units = CountOf(text) - 1;
    CopyBytes(text, bytes, units * sizeof(wchar_t));
    text[units] = 0;
    HeapFree(GetProcessHeap(), 0, bytes);
    unsigned int p = 0;
    while (text[p]) {
        const wchar_t *id = NextField(text, &p);
        unsigned long long pid = ParseWideDecimal(NextField(text, &p));
        unsigned long long creation = ParseWideDecimal(NextField(text, &p));
        unsigned long long credited = ParseWideDecimal(NextField(text, &p));
        if (!id[0] || !pid || !creation || FindProductSlot(id) < 0) continue;
        HANDLE process =
            OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, (DWORD)pid);
        if (!process) continue;  // ended by now: nothing more to add
        GameWatch *watch = NULL;
        if (CreationTime(process) == creation && WaitForSingleObject(process, 0) == WAIT_TIMEOUT)
            watch = ClaimGameWatch();
        if (!watch) {  // another process with a reused id, ended, or no room
            CloseHandle(process);
            continue;
        }
        unsigned long long now = GetTickCount64();
        StartGameWatch(watch, process, credited <= now ? credited : now, id);
    }
}

void RequestPlay(int slot) {
    if (slot < 0 || slot >= g_model.product_count) return;
    if (g_model.worker.sync_running) {
        TellPlayer(
                    L"ORVELANTサービスと同期しています。\n\n同期完了後にもう一度実行してください。",
                    ORV_SHELL_CAPTION, MB_ICONINFORMATION);
        return;
    }
    if (g_model.control.launcher_update_required) {
        if (StartSelfUpdate()) return;
        if (g_model.control.installer_url[0])
            OpenDocumentLink(g_model.control.installer_url, "the control document");
        else
            TellPlayer(L"Launcher更新URLが設定されていません。",
                        ORV_SHELL_CAPTION, MB_ICONERROR);
        return;
    }
    int result = StartProductJob(slot, 0, IsInstalled(slot));
    if (result == 2 || !IsInstalled(slot)) SelectPage(PAGE_DOWNLOADS);
}

void RequestOfflinePlay(int slot) {
    if (g_model.worker.sync_running) {
        TellPlayer(L"ORVELANTサービスと同期しています。", ORV_SHELL_CAPTION,
                    MB_ICONINFORMATION);
        return;
    }
    if (g_model.control.launcher_update_required) {
        TellPlayer(L"Launcherの必須更新後にゲームを起動できます。",
                    ORV_SHELL_CAPTION, MB_ICONINFORMATION);
        return;
    }
    if (slot < 0 || slot >= g_model.product_count) return;
    if (g_model.control.allow_offline && IsKnownGood(slot) && !LaunchGame(slot, 1))
        TellPlayer(L"オフライン起動に失敗しました。", ORV_SHELL_CAPTION,
                    MB_ICONERROR);
}
