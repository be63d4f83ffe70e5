// Launcher Shell: process-wide tables and state, and the operations the
// window, the views and the data code share.
#pragma once

#include <windows.h>

#include "shell_layout.h"
#include "worker_protocol.h"

#define ORV_SHELL_CLASS L"ORVELANT_LAUNCHER_SHELL_V10"
#define ORV_SHELL_CAPTION L"ORVELANT Launcher"

#define WM_GAME_EXITED (WM_APP + 12)

enum {
    kMaxProducts = 16,
    kMaxNews = 3,
};

// ---- cached remote data -------------------------------------------------

struct CatalogProduct {
    wchar_t id[64];
    wchar_t title[128];
    wchar_t project[64];
    wchar_t subtitle[192];
    wchar_t install_dir[180];
    wchar_t executable[180];
    wchar_t manifest_path[420];
    wchar_t store_url[420];
};

struct NewsItem {
    wchar_t title[180];
    wchar_t summary[300];
    wchar_t published_at[64];
    wchar_t link[420];
};

struct ControlState {
    wchar_t service_state[32];
    wchar_t maintenance_message[320];
    wchar_t signal[160];
    wchar_t min_launcher_version[32];
    wchar_t latest_launcher_version[32];
    wchar_t installer_url[520];
    wchar_t installer_sha256[80];
    wchar_t announcement[320];
    int allow_offline;
    int store_enabled;
    int force_launcher_update;
    int launcher_update_required;
    int launcher_update_available;
};


int LoadCatalog(void);
void LoadDefaultCatalog(void);
int LoadNews(void);
int LoadControl(void);
void ResetControlState(void);
int VersionComponent(const wchar_t *text, int n);
int IsVersionOlder(const wchar_t *a, const wchar_t *b);
int IsMaintenance(void);
void ReloadRemoteData(void);

// The maker's web site and the update host, fixed at build time.
extern const wchar_t kMakerSiteHome[];
extern const wchar_t kMakerSiteDomainUpper[];
extern const wchar_t kDefaultStoreUrl[];
extern const wchar_t kDefaultInstallerUrl[];

// ---- library lists ------------------------------------------------------

enum Collection { COLLECTION_NONE = 0, COLLECTION_ACTIVE = 1, COLLECTION_BACKLOG = 2,
                  COLLECTION_COMPLETED = 3 };


void LoadFavorites(void);
void LoadCollections(void);
void LoadPlaytime(void);
// 1 when the list is on disk as the model holds it. Playtime that could
// not be saved is kept and written again with the next save or at the end
// (SaveOwedLists); a favorite or collection choice is taken back.
int SaveFavorites(void);
int SaveCollections(void);
int SavePlaytime(void);
void SaveOwedLists(void);
void ToggleFavorite(int slot);
void CycleCollection(int slot);
void CollectionName(int value, wchar_t *dst, unsigned long long capacity);

// ---- window state -------------------------------------------------------

enum LibraryFilter { FILTER_ALL = 0, FILTER_INSTALLED = 1, FILTER_FAVORITES = 2,
                     FILTER_COLLECTIONS = 3 };

struct ShellWindowState {
    int current_page;
    int library_filter;
    int selected_library;
    int selected_store;
    int visible_library_map[kLibraryRowCount];
    int visible_library_count;
};

// ---- worker orchestration -----------------------------------------------

enum { kJobQueueCapacity = 16, kProductIdUnits = 64 };

// Jobs are tied to the product's id: a sync may reorder the product table
// while they run or wait, and the slot is looked up again after it.
struct QueuedJob {
    int slot;
    int launch_after;
    int repair;
    wchar_t product_id[kProductIdUnits];
};

struct WorkerState {
    int sync_running;
    int worker_running;
    int active_product;
    int active_launch_after;
    int progress_percent;
    int transfer_speed_kbps;
    int transfer_remaining_mb;
    QueuedJob queue[kJobQueueCapacity];
    int queue_count;
    wchar_t active_product_id[kProductIdUnits];
    // Which Worker process the state belongs to: the end of an older one
    // never ends the state of a newer one.
    unsigned int job_ticket;
    unsigned int sync_ticket;
};

// ---- the model ------------------------------------------------------------

// What a product's folder held when it was last read: the views show this,
// and the folder is read again only when something says it changed (a
// job's end, a game's end, a sync, a move, an uninstall, the window's start,
// a page shown).
struct ProductOnDisk {
    int installed;
    int known_good;
    wchar_t version[96];      // "NOT INSTALLED", "INSTALLED" or version.json's
    wchar_t directory[1200];  // where the product's files are (or go)
};

// Everything the window shows, owned by the window and changed only on the
// UI thread. The data, orchestration, launch and library code change it and
// say what changed (ModelChanged); the window's render step then updates
// the controls from it alone.
struct ShellModel {
    // the cached documents
    CatalogProduct products[kMaxProducts];
    int product_count;
    int catalog_is_default;  // the built-in catalog stands in for an unusable one
    NewsItem news[kMaxNews];
    int news_count;
    ControlState control;
    // the user's lists, by product slot
    int favorites[kMaxProducts];
    int collections[kMaxProducts];
    unsigned long long playtime[kMaxProducts];
    ProductOnDisk on_disk[kMaxProducts];
    // the queue and the job, the sync, pause and the policies
    WorkerState worker;
    int paused;
    int bandwidth_kbps;
    int launcher_update_enabled;
    // The root a running library move goes to; empty while none runs.
    wchar_t library_move_destination[1200];
    // page, filter and selection
    ShellWindowState ui;
    wchar_t search[160];
    // the frame's lines
    wchar_t status_line[160];
    wchar_t signal[160];
    unsigned int changed;  // ShellChange bits not rendered yet
};
extern ShellModel g_model;

// What changed; the render step knows which controls show it.
enum ShellChange {
    CHANGED_PAGE = 1 << 0,             // the page shown (or the documents under it)
    CHANGED_JOB = 1 << 1,              // a job's state: started, its status, ended
    CHANGED_QUEUE = 1 << 2,            // the queue, pause, the transfer figures
    CHANGED_PROGRESS = 1 << 3,         // the job's percent
    CHANGED_LISTS = 1 << 4,            // favourites, collections, playtime
    CHANGED_LIBRARY = 1 << 5,          // the products on disk after a move or an uninstall
    CHANGED_LIBRARY_ROOT = 1 << 6,     // where the library is
    CHANGED_SETTINGS = 1 << 7,         // bandwidth
    CHANGED_LIBRARY_VIEW = 1 << 8,     // filter, search or the selected product
    CHANGED_STORE_SELECTION = 1 << 9,  // the selected store product
    CHANGED_STATUS = 1 << 10,          // the status line
    CHANGED_SIGNAL = 1 << 11,          // the signal label
    CHANGED_LAUNCHER_UPDATE = 1 << 12, // the launcher update action's availability
};
void ModelChanged(unsigned int what);
// Reads every product's folder into the model (ProductOnDisk); the caller
// says what the change was.
void ReadProductsOnDisk(void);
// What a click on the window's control `id` does (commands.cpp).
void RunShellCommand(int id);
// The page the window shows next.
void SelectPage(int page);
// The library row (of the rows shown) and the store row selected, the
// library's filter and search text.
void SelectLibraryRow(int row);
void SelectStoreRow(int row);
void SetLibraryFilter(int filter);
void SetLibrarySearch(const wchar_t *text);
// The other root of a pending library move ("" none): where a game not yet
// moved (or already moved) is found.
void SetLibraryMoveDestination(const wchar_t *root);
int MatchesLibraryFilter(int slot, const wchar_t *search);
// The library rows the filter and the search leave, and the selections
// kept within the products there are.
void UpdateLibraryList(void);
// What the player must be told in a box: kept (text and caption must
// outlive it) until the window shows it, after the message being handled.
void TellPlayer(const wchar_t *text, const wchar_t *caption, UINT flags);
// The oldest notice not shown yet, taken; 0 when there is none.
int TakeNotice(const wchar_t **text, const wchar_t **caption, UINT *flags);
int NoticesPending(void);
void SetStatusLine(const wchar_t *text);
void SetSignalLabel(const wchar_t *text);
void SetProgress(int percent);
void SetLauncherUpdateEnabled(int on);

extern HWND g_main_window;
// Set once the fatal-error guard has started: no handler runs again.
extern volatile LONG g_fatal_guard_started;

// Posted by a Worker watch thread when that Worker's process has ended:
// wParam = kind and ticket (WorkerEndKey), lParam = the exit code.
#define WM_WORKER_ENDED (WM_APP + 13)

int StartSyncWorker(void);
int StartProductJob(int slot, int repair, int launch_after);
int StartSelfUpdate(void);
void RequestLauncherUpdate(void);
void HandleWorkerStatus(int code, int percent);
void HandleWorkerTransfer(int speed, int remaining);
void HandleWorkerEnded(WPARAM key, DWORD exit_code);
void EnqueueProductJob(int slot, int launch_after, int repair);
int IsProductJobPending(int slot);
int DequeueProductJob(int *launch_after, int *repair);
void StartNextQueuedJob(void);
void SetDownloadPaused(int on);
int IsDownloadPaused(void);
void TogglePause(void);
void CycleBandwidthLimit(void);

// ---- game launch --------------------------------------------------------

// One started game, watched by its own thread until its process ends. The
// records live in a fixed table: the UI thread claims a free one at the
// start, the watch thread marks it ended with the seconds played, and the UI
// thread credits them and frees it.
enum GameWatchState { GAME_WATCH_FREE = 0, GAME_WATCH_RUNNING = 1, GAME_WATCH_ENDED = 2 };
enum { kMaxGameWatches = 32 };
struct GameWatch {
    HANDLE process;
    unsigned long long start_tick;
    unsigned long long seconds;
    wchar_t product_id[kProductIdUnits];
    volatile LONG state;
};
extern GameWatch g_game_watches[kMaxGameWatches];

int LaunchGame(int slot, int offline);
void RequestPlay(int slot);
void RequestOfflinePlay(int slot);
// WM_GAME_EXITED (wParam: the GameWatch's index): credits every ended run.
void HandleGameExited(void);
// At the window's close: the seconds of every game still running are added
// and saved, and the games recorded so that the next start watches them on.
void HandOverRunningGames(void);
// At start-up: the recorded games whose very process still runs are watched
// again; their playtime goes on from where the closed window left it.
void WatchRecordedGames(void);
int FindProductSlot(const wchar_t *id);
// The single-instance key of an install directory (any spelling of it).
unsigned long long ShellInstanceKey(const wchar_t *install_dir);
// Lets a new Shell of this install directory start while this one ends.
void ReleaseShellInstance(void);

// ---- products on disk ---------------------------------------------------

void ProductDirectory(int slot, wchar_t *dst, unsigned long long capacity);
void GameExecutablePath(int slot, wchar_t *dst, unsigned long long capacity);
int IsInstalled(int slot);
int IsKnownGood(int slot);
// "NOT INSTALLED", "INSTALLED" or the version its version.json names.
void ReadInstalledVersion(int slot, wchar_t *dst, unsigned long long capacity);
void ReadProductOnDisk(int slot, ProductOnDisk *d);

// ---- shared with the window ---------------------------------------------
// (The window's own calls, the views and the render step are in window.h,
// which nothing below the window includes.)

// After the first frame: the other pages, the accessibility roles, then the
// library move left from last time or the start-up sync.
void FinishShellStartup(void);
// Start-up profile: logs the time of the step just ended when the
// environment asks for it (ORVELANT_STARTUP_PROFILE), else does nothing.
void StartupStep(const char *step);
// shell32's calls, loaded on first use.
void ShellOpen(HWND owner, const wchar_t *target);
int ShellPickFolder(HWND owner, const wchar_t *title, wchar_t *dst);
// The launcher's own targets: the maker's web site, the log folder, reports.
void OpenWithShell(const wchar_t *target);
// Links taken from the cached documents: opened only when they are https.
void OpenDocumentLink(const wchar_t *target, const char *source);
int ContainsNoCase(const wchar_t *text, const wchar_t *needle);
void FormatUnsigned(wchar_t *dst, unsigned long long capacity, unsigned int value);
void FormatUnsigned64(wchar_t *dst, unsigned long long capacity, unsigned long long value);
