// The Shell's side of the Update Worker: every network, signature and commit
// task runs in a separate Worker process that reports back by window message.
// One product-or-self-update Worker and one sync Worker run at a time; other
// product requests wait in the queue.
#include "shell.h"
#include "library_ops.h"

#include "process.h"
#include "runtime.h"
#include "settings.h"

enum WorkerKind { WORKER_KIND_JOB = 0, WORKER_KIND_SYNC = 1 };

static void WorkerProgramPath(wchar_t *dst) {
    InstallPath(L"ORVELANT Update Worker.exe", dst, 1200);
}

int FindProductSlot(const wchar_t *id) {
    if (!id || !id[0]) return -1;
    for (int s = 0; s < g_model.product_count; ++s)
        if (WideEquals(g_model.products[s].id, id)) return s;
    return -1;
}

// ---- starting a Worker --------------------------------------------------

static void BuildWorkerLine(wchar_t *line, unsigned long long capacity, const wchar_t *program,
                            const wchar_t *lead) {
    wchar_t number[40];
    WideCopy(line, L"\"", capacity);
    WideAppend(line, program, capacity);
    WideAppend(line, L"\"", capacity);
    WideAppend(line, lead, capacity);
    FormatUnsigned64(number, 40, (unsigned long long)(ULONG_PTR)g_main_window);
    WideAppend(line, number, capacity);
}

struct WorkerWatch {
    HANDLE process;
    WPARAM key;
};

// Waits for one Worker's process and tells the window; nothing else runs
// here. The key says which Worker it was.
static DWORD WINAPI WorkerWatchThread(void *parameter) {
    WorkerWatch *watch = (WorkerWatch *)parameter;
    WaitForSingleObject(watch->process, INFINITE);
    DWORD exit_code = 0;
    if (!GetExitCodeProcess(watch->process, &exit_code)) exit_code = 0;
    CloseHandle(watch->process);
    if (g_main_window) PostMessageW(g_main_window, WM_WORKER_ENDED, watch->key, (LPARAM)exit_code);
    HeapFree(GetProcessHeap(), 0, watch);
    return 0;
}

static WPARAM WorkerEndKey(int kind, unsigned int ticket) {
    return ((WPARAM)ticket << 1) | (WPARAM)kind;
}

// Hands the process handle to a watch thread; without one the Worker is
// only followed through its messages, as before.
static void WatchWorker(HANDLE process, int kind, unsigned int ticket) {
    WorkerWatch *watch =
        (WorkerWatch *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(WorkerWatch));
    if (!watch) {
        CloseHandle(process);
        return;
    }
    watch->process = process;
    watch->key = WorkerEndKey(kind, ticket);
    HANDLE thread = CreateThread(NULL, 0, WorkerWatchThread, watch, 0, NULL);
    if (!thread) {
        CloseHandle(process);
        HeapFree(GetProcessHeap(), 0, watch);
        return;
    }
    CloseHandle(thread);
}

enum { kWorkerMissing = -1 };

// Starts the Worker with the quoted program, the lead switches, the window
// handle and the tail switches, cut at capacity (at most 1800 units).
// Returns 1, 0 when the start failed (logged), or kWorkerMissing.
static int StartWorker(const wchar_t *lead, const wchar_t *tail, unsigned int capacity, int kind,
                       const char *failure) {
    wchar_t program[1200];
    WorkerProgramPath(program);
    if (!FileExists(program)) return kWorkerMissing;
    wchar_t line[1800];
    if (capacity > CountOf(line)) capacity = CountOf(line);
    BuildWorkerLine(line, capacity, program, lead);
    if (tail) WideAppend(line, tail, capacity);
    HANDLE process = NULL;
    if (!StartProgram(program, line, CREATE_NO_WINDOW, g_install_dir, &process)) {
        LogFailedStep(failure, GetLastError(), program, NULL);
        return 0;
    }
    unsigned int ticket = kind == WORKER_KIND_SYNC ? ++g_model.worker.sync_ticket : ++g_model.worker.job_ticket;
    WatchWorker(process, kind, ticket);
    return 1;
}

int StartSyncWorker(void) {
    if (g_model.worker.sync_running) return 1;
    if (StartWorker(L" /sync /parent:", NULL, 1700, WORKER_KIND_SYNC,
                    "CreateProcess sync worker failed") != 1)
        return 0;
    g_model.worker.sync_running = 1;
    SetSignalLabel(L"SIGNAL // SYNCING");
    return 1;
}

int StartProductJob(int slot, int repair, int launch_after) {
    if (slot < 0 || slot >= g_model.product_count) return 0;
    if (RefuseJobForMovedGame(slot)) return 0;
    if (g_model.worker.worker_running) {
        // A queued VERIFY stays a repair: a check reads only what changed,
        // and the player asked for every file to be read.
        EnqueueProductJob(slot, launch_after, repair);
        return 2;
    }
    SetDownloadPaused(0);
    wchar_t tail[100];
    WideCopy(tail, L" /product:", CountOf(tail));
    WideAppend(tail, g_model.products[slot].id, CountOf(tail));
    if (repair) WideAppend(tail, L" /repair", CountOf(tail));
    int started = StartWorker(L" /parent:", tail, 1800, WORKER_KIND_JOB,
                              "CreateProcess product worker failed");
    if (started != 1) {
        // Said before any box: the queue goes on behind it.
        SetStatusLine(L"UPDATE ERROR // GAME PRESERVED");
        if (started == kWorkerMissing)
            TellPlayer(
                        L"更新モジュールがありません。Setupの再インストールで修復してください。",
                        ORV_SHELL_CAPTION, MB_ICONERROR);
        return 0;
    }
    g_model.worker.worker_running = 1;
    g_model.worker.active_product = slot;
    WideCopy(g_model.worker.active_product_id, g_model.products[slot].id, kProductIdUnits);
    g_model.worker.active_launch_after = launch_after ? 1 : 0;
    g_model.worker.transfer_speed_kbps = 0;
    g_model.worker.transfer_remaining_mb = 0;
    g_model.worker.progress_percent = 2;
    SetStatusLine(repair ? L"VERIFY // STARTING" : L"UPDATE // STARTING");
    ModelChanged(CHANGED_JOB);
    return 1;
}

int StartSelfUpdate(void) {
    if (!g_model.control.launcher_update_available || g_model.worker.worker_running ||
        g_model.worker.sync_running)
        return 0;
    if (StartWorker(L" /self-update /parent:", NULL, 1700, WORKER_KIND_JOB,
                    "CreateProcess self-update worker failed") != 1)
        return 0;
    g_model.worker.worker_running = 1;
    g_model.worker.active_product = -1;
    g_model.worker.active_product_id[0] = 0;
    g_model.worker.active_launch_after = 0;
    g_model.worker.transfer_speed_kbps = 0;
    g_model.worker.transfer_remaining_mb = 0;
    SetDownloadPaused(0);
    SetStatusLine(L"LAUNCHER UPDATE // STARTING");
    SetLauncherUpdateEnabled(0);
    ModelChanged(CHANGED_JOB);
    return 1;
}

void RequestLauncherUpdate(void) {
    if (!g_model.control.launcher_update_available) return;
    if (!StartSelfUpdate() && g_model.control.installer_url[0])
        OpenDocumentLink(g_model.control.installer_url, "the control document");
}

// ---- status codes -------------------------------------------------------

static void ClearActiveJob(void) {
    g_model.worker.active_launch_after = 0;
    g_model.worker.active_product = -1;
    g_model.worker.active_product_id[0] = 0;
}

static void OnTransfer(void) {
    SetStatusLine(IsDownloadPaused() ? L"DOWNLOAD // PAUSED" : L"DOWNLOAD // ACTIVE");
}

static void OnProductCurrent(void) {
    if (g_model.worker.active_product >= 0 && g_model.worker.active_launch_after) {
        g_model.worker.active_launch_after = 0;
        if (!LaunchGame(g_model.worker.active_product, 0))
            TellPlayer(
                        L"更新確認は完了しましたが、ゲームを起動できませんでした。",
                        ORV_SHELL_CAPTION, MB_ICONERROR);
    }
    ClearActiveJob();
}

static void OnOfflineReady(void) {
    if (g_model.worker.active_launch_after && g_model.worker.active_product >= 0)
        TellPlayer(
                    L"更新サービスに接続できませんでした。\n\n"
                    L"ライブラリから「オフライン起動」を選択できます。",
                    ORV_SHELL_CAPTION, MB_ICONINFORMATION);
    ClearActiveJob();
}

static void OnSyncStarted(void) {
    g_model.worker.sync_running = 1;
    SetSignalLabel(L"SIGNAL // SYNCING");
}

// After a reload the products may sit in other slots: the running job and
// the queue follow their product ids; a product that left the catalog drops
// out of the queue, and a running job for it keeps running without its
// launch-after.
static void RemapJobsAfterReload(void) {
    if (g_model.worker.worker_running && g_model.worker.active_product_id[0]) {
        g_model.worker.active_product = FindProductSlot(g_model.worker.active_product_id);
        if (g_model.worker.active_product < 0) g_model.worker.active_launch_after = 0;
    }
    int kept = 0;
    for (int i = 0; i < g_model.worker.queue_count; ++i) {
        int slot = FindProductSlot(g_model.worker.queue[i].product_id);
        if (slot < 0) continue;
        g_model.worker.queue[kept] = g_model.worker.queue[i];
        g_model.worker.queue[kept].slot = slot;
        ++kept;
    }
    g_model.worker.queue_count = kept;
}

static void OnSyncDone(void) {
    g_model.worker.sync_running = 0;
    ReloadRemoteData();
    RemapJobsAfterReload();
    SetSignalLabel(g_model.control.signal[0] ? g_model.control.signal : L"SIGNAL // CURRENT");
    ReadProductsOnDisk();
    ModelChanged(CHANGED_PAGE);
}

static void OnSyncUnavailable(void) {
    g_model.worker.sync_running = 0;
    SetSignalLabel(L"SIGNAL // LOCAL");
    ModelChanged(CHANGED_PAGE);
}

static void OnSelfUpdateLaunched(void) {
    LogLine("Self-update installer launched; exiting shell");
    // The Worker's own exit follows; it must not read as a failed update.
    ++g_model.worker.job_ticket;
    // The Setup starts the new Shell: this one must not turn it away.
    ReleaseShellInstance();
    HandOverRunningGames();
    PostQuitMessage(0);
}

static void OnSelfUpdateFailed(void) {
    SetLauncherUpdateEnabled(1);
    TellPlayer(
                L"Launcherの自動更新に失敗しました。\n\n"
                L"Settingsから再試行するか、公式サイトから最新版を取得してください。",
                ORV_SHELL_CAPTION, MB_ICONERROR);
}

struct StatusAction {
    int code;
    const wchar_t *status_text;  // StatusLine text, or null
    unsigned char ends_job;      // worker_running off and the pause flag gone, first
    unsigned char finish;        // refresh the views and move the queue on
    void (*act)(void);           // after the text
};

static const StatusAction kStatusActions[] = {
    {PRODUCT_CHECKING, L"UPDATE CHECK // CONNECTING", 0, 1, NULL},
    {PRODUCT_TRANSFER, NULL, 0, 1, OnTransfer},
    {PRODUCT_CURRENT, L"READY // CURRENT", 1, 1, OnProductCurrent},
    {PRODUCT_OFFLINE_READY, L"OFFLINE // SERVICE UNAVAILABLE", 1, 1, OnOfflineReady},
    {PRODUCT_FAILED, L"UPDATE ERROR // GAME PRESERVED", 1, 1, ClearActiveJob},
    {PRODUCT_NOT_INSTALLED, L"GAME // NOT INSTALLED", 1, 1, ClearActiveJob},
    {PRODUCT_VERIFYING, L"VERIFY // LOCAL FILES", 0, 1, NULL},
    {SYNC_STARTED, NULL, 0, 0, OnSyncStarted},
    {SYNC_DONE, NULL, 0, 0, OnSyncDone},
    {SYNC_UNAVAILABLE, NULL, 0, 0, OnSyncUnavailable},
    {SELF_UPDATE_STARTED, L"LAUNCHER UPDATE // DOWNLOADING", 0, 0, NULL},
    {SELF_UPDATE_LAUNCHED, L"LAUNCHER UPDATE // RESTARTING", 0, 0, OnSelfUpdateLaunched},
    {SELF_UPDATE_FAILED, L"LAUNCHER UPDATE // FAILED", 1, 1, OnSelfUpdateFailed},
};

static void FinishStatus(void) {
    ModelChanged(CHANGED_JOB);
    if (!g_model.worker.worker_running) StartNextQueuedJob();
}

static void EndJob(void) {
    g_model.worker.worker_running = 0;
    SetDownloadPaused(0);
    // The job has changed the product's folder.
    ReadProductsOnDisk();
    ModelChanged(CHANGED_JOB);
}

void HandleWorkerStatus(int code, int percent) {
    // The progress bar belongs to the product or launcher job; a sync that
    // runs beside it has no figures of its own there.
    int sync = code == SYNC_STARTED || code == SYNC_DONE || code == SYNC_UNAVAILABLE;
    if (percent >= 0 && !sync) SetProgress(percent);
    const StatusAction *action = NULL;
    for (unsigned int i = 0; i < CountOf(kStatusActions); ++i)
        if (kStatusActions[i].code == code) action = &kStatusActions[i];
    if (action) {
        if (action->ends_job) EndJob();
        if (action->status_text) SetStatusLine(action->status_text);
        if (action->act) action->act();
        if (!action->finish) return;
    }
    FinishStatus();
}

void HandleWorkerTransfer(int speed, int remaining) {
    g_model.worker.transfer_speed_kbps = speed;
    g_model.worker.transfer_remaining_mb = remaining;
    ModelChanged(CHANGED_QUEUE);
}

// A Worker's process has ended. When its final code arrived first, or a
// newer Worker has taken its place, there is nothing to do; otherwise it
// was killed or crashed before its own guard, and its state ends as its
// failure code would end it.
void HandleWorkerEnded(WPARAM key, DWORD exit_code) {
    int kind = (int)(key & 1);
    unsigned int ticket = (unsigned int)(key >> 1);
    if (kind == WORKER_KIND_SYNC) {
        if (!g_model.worker.sync_running || ticket != g_model.worker.sync_ticket) return;
    } else if (!g_model.worker.worker_running || ticket != g_model.worker.job_ticket) {
        return;
    }
    char line[120] = "Update Worker ended without its final status (exit code ";
    AppendDecimal(line, sizeof(line), exit_code);
    unsigned long long n = NarrowLength(line);
    if (n + 2 < sizeof(line)) {
        line[n] = ')';
        line[n + 1] = 0;
    }
    LogLine(line);
    if (kind == WORKER_KIND_SYNC) {
        HandleWorkerStatus(SYNC_UNAVAILABLE, 0);
    } else if (g_model.worker.active_product_id[0] || g_model.worker.active_product >= 0) {
        HandleWorkerStatus(PRODUCT_FAILED, -1);
    } else {
        EndJob();
        SetStatusLine(L"LAUNCHER UPDATE // FAILED");
        SetLauncherUpdateEnabled(1);
        StartNextQueuedJob();
    }
}

// ---- the queue ----------------------------------------------------------

int IsProductJobPending(int slot) {
    if (g_model.worker.worker_running && slot == g_model.worker.active_product) return 1;
    for (int i = 0; i < g_model.worker.queue_count; ++i)
        if (g_model.worker.queue[i].slot == slot) return 1;
    return 0;
}

void EnqueueProductJob(int slot, int launch_after, int repair) {
    if (slot < 0 || slot >= g_model.product_count || IsProductJobPending(slot)) return;
    if (g_model.worker.queue_count >= (int)CountOf(g_model.worker.queue)) return;
    QueuedJob *job = &g_model.worker.queue[g_model.worker.queue_count++];
    job->slot = slot;
    job->launch_after = launch_after ? 1 : 0;
    job->repair = repair ? 1 : 0;
    WideCopy(job->product_id, g_model.products[slot].id, kProductIdUnits);
    SetStatusLine(L"QUEUE // ADDED");
    ModelChanged(CHANGED_QUEUE);
}

int DequeueProductJob(int *launch_after, int *repair) {
    if (g_model.worker.queue_count <= 0) return -1;
    int slot = g_model.worker.queue[0].slot;
    if (launch_after) *launch_after = g_model.worker.queue[0].launch_after;
    if (repair) *repair = g_model.worker.queue[0].repair;
    for (int i = 1; i < g_model.worker.queue_count; ++i) g_model.worker.queue[i - 1] = g_model.worker.queue[i];
    --g_model.worker.queue_count;
    return slot;
}

// A queued job whose Worker cannot be started is reported (status line) and
// dropped; the next one is tried, so the queue never stalls behind it.
void StartNextQueuedJob(void) {
    while (!g_model.worker.worker_running && g_model.worker.queue_count > 0) {
        int launch_after = 0, repair = 0;
        int slot = DequeueProductJob(&launch_after, &repair);
        if (slot < 0) return;
        if (StartProductJob(slot, repair, launch_after)) continue;
        ModelChanged(CHANGED_QUEUE);
        // Told why it could not start: the rest waits until the player has
        // read it (the window goes on with the queue after the box).
        if (NoticesPending()) return;
    }
}

// ---- pause and bandwidth ------------------------------------------------

void TogglePause(void) {
    if (!g_model.worker.worker_running) return;
    SetDownloadPaused(!IsDownloadPaused());
    SetStatusLine(IsDownloadPaused() ? L"DOWNLOAD // PAUSED" : L"DOWNLOAD // ACTIVE");
}

void CycleBandwidthLimit(void) {
    static const int steps[] = {0, 1024, 2048, 5120, 10240};
    int next = 0;
    for (unsigned int i = 0; i + 1 < CountOf(steps); ++i)
        if (g_model.bandwidth_kbps == steps[i]) next = steps[i + 1];
    g_model.bandwidth_kbps = next;
    WriteSettingNumber(L"BandwidthKbps", (DWORD)next);
    ModelChanged(CHANGED_SETTINGS);
}
