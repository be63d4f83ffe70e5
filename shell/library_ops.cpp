// The two operations that change the Game Library outside a Worker job: the
// library move (pick a new parent folder, move everything there, store the
// new root) and the uninstall of one game (delete its product folder). Both
// refuse before they change anything, and what a failure leaves behind is
// what its box tells the player.
#include "library_ops.h"

#include <shlobj.h>

#include "runtime.h"
#include "settings.h"

#ifdef ORV_TEST_HOOKS
int TestHookPickFolder(wchar_t *dst, unsigned int capacity);
#endif

static const wchar_t kCaption[] = L"ORVELANT Launcher";

// A notice is shown by the window after the message being handled; only a
// question is asked here, its answer needed before the work goes on.
static int Box(const wchar_t *text, UINT flags) {
    if ((flags & MB_TYPEMASK) == MB_OK) {
        TellPlayer(text, kCaption, flags);
        return IDOK;
    }
    return MessageBoxW(g_main_window, text, kCaption, flags);
}

int IsDirectoryNonEmpty(const wchar_t *path) {
    wchar_t pattern[kLongPathUnits];
    WideCopy(pattern, path, kLongPathUnits);
    WideAppend(pattern, L"\\*", kLongPathUnits);
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(pattern, &entry);
    if (search == INVALID_HANDLE_VALUE) return 0;
    int found = 0;
    do {
        if (!IsDotEntry(entry.cFileName)) {
            found = 1;
            break;
        }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return found;
}

#ifdef ORV_TEST_HOOKS
void TestHookLibraryMoveStep(void);
#define LIBRARY_MOVE_STEP() TestHookLibraryMoveStep()
#else
#define LIBRARY_MOVE_STEP() ((void)0)
#endif

// Entries moved so far by the running move, read by the window.
static volatile LONG g_move_entries;
static unsigned long long g_move_last_post;

// At most one progress post every 100 ms: a library of many small files
// must not flood the window's queue (a full queue loses posts).
static void PostMoveProgress(void) {
    unsigned long long now = GetTickCount64();
    if (g_move_last_post != 0 && now - g_move_last_post < 100) return;
    g_move_last_post = now;
    if (g_main_window) PostMessageW(g_main_window, WM_LIBRARY_MOVE_PROGRESS, 0, 0);
}

// The walks keep one path buffer per tree for the whole walk: a name is
// appended on the way down and cut off on the way up, so a deep tree costs
// little stack and no level's path is cut short.

// Appends "\" and name at path[length]; 0 when it would not fit.
static int DescendInto(wchar_t *path, unsigned long long length, const wchar_t *name) {
    if (length + 2 + WideLength(name) >= kLongPathUnits) return 0;
    path[length] = L'\\';
    WideCopy(path + length + 1, name, kLongPathUnits - length - 1);
    return 1;
}

// Opens the listing of the folder in path (its first entry in *entry).
static HANDLE FirstEntry(wchar_t *path, unsigned long long length, WIN32_FIND_DATAW *entry) {
    if (!DescendInto(path, length, L"*")) return INVALID_HANDLE_VALUE;
    HANDLE search = FindFirstFileW(path, entry);
    path[length] = 0;
    return search;
}

// One file. On the same volume a rename; across volumes a copy under a
// temporary name, flushed, renamed into place, and only then the original
// deleted, so that a cut copy never stands in for an intact original.
static int MoveOneFile(const wchar_t *from, const wchar_t *to) {
    if (MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 1;
    if (GetLastError() != ERROR_NOT_SAME_DEVICE) return 0;
    static const wchar_t kPartSuffix[] = L".orvelant-move";
    unsigned long long length = WideLength(to);
    // A name that would not fit whole is refused, never cut.
    if (length + sizeof(kPartSuffix) / sizeof(wchar_t) > kLongPathUnits) return 0;
    wchar_t part[kLongPathUnits];  // a leaf: one such buffer at a time, at any depth
    WideCopy(part, to, kLongPathUnits);
    WideCopy(part + length, kPartSuffix, kLongPathUnits - length);
    if (!CopyFileW(from, part, FALSE)) return 0;
    LIBRARY_MOVE_STEP();
    HANDLE h = CreateFileW(part, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    int ok = h != INVALID_HANDLE_VALUE && FlushFileBuffers(h);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    if (!ok || !MoveFileExW(part, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(part);
        return 0;
    }
    return DeleteFileW(from) != 0;
}

// Whether a directory link lies anywhere below the folder in path (such a
// folder is not moved at all: links are neither followed nor moved). A level
// too deep to name counts as a link: that folder is not moved either.
static int ContainsLink(wchar_t *path, unsigned long long length) {
    WIN32_FIND_DATAW entry;
    HANDLE search = FirstEntry(path, length, &entry);
    if (search == INVALID_HANDLE_VALUE) return 0;
    int found = 0;
    do {
        if (IsDotEntry(entry.cFileName) || !(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
            found = 1;
        else if (!DescendInto(path, length, entry.cFileName))
            found = 1;
        else
            found = ContainsLink(path, WideLength(path));
        path[length] = 0;
    } while (!found && FindNextFileW(search, &entry));
    FindClose(search);
    return found;
}

// Moves every entry of the folder in from into the folder in to, and can be
// run again on what an interrupted run left: a folder not yet at the
// destination moves in one rename when both are on one volume; otherwise
// (another volume, or a folder already partly there) it is merged entry by
// entry. Below a folder already searched for links none is searched again.
static int MoveEntriesAt(wchar_t *from, unsigned long long from_length, wchar_t *to,
                         unsigned long long to_length, int links_checked) {
    if (!DirectoryExists(from)) return 1;
    CreateDirectoryTree(to);
    WIN32_FIND_DATAW entry;
    HANDLE search = FirstEntry(from, from_length, &entry);
    if (search != INVALID_HANDLE_VALUE) {
        int ok = 1;
        do {
            if (IsDotEntry(entry.cFileName)) continue;
            if (!DescendInto(from, from_length, entry.cFileName) ||
                !DescendInto(to, to_length, entry.cFileName))
                ok = 0;
            else if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                ok = MoveOneFile(from, to);
            else if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
                     (!links_checked && ContainsLink(from, WideLength(from))))
                ok = 0;  // links are neither followed nor moved
            else if (DirectoryExists(to))
                ok = MoveEntriesAt(from, WideLength(from), to, WideLength(to), 1);
            else if (MoveFileExW(from, to, MOVEFILE_WRITE_THROUGH))
                ok = 1;
            else
                // Only another volume is merged entry by entry. A folder that
                // will not rename on its own volume is held by someone (a
                // running game): it stays whole where it is.
                ok = GetLastError() == ERROR_NOT_SAME_DEVICE &&
                     MoveEntriesAt(from, WideLength(from), to, WideLength(to), 1);
            from[from_length] = 0;
            to[to_length] = 0;
            if (!ok) break;
            InterlockedIncrement(&g_move_entries);
            PostMoveProgress();
            LIBRARY_MOVE_STEP();
        } while (FindNextFileW(search, &entry));
        FindClose(search);
        if (!ok) return 0;
    }
    // The window may be reading the emptied folder just then: waited out.
    for (int attempt = 0; !RemoveDirectoryW(from) && WaitOutBriefLock(attempt, 1); ++attempt) {
    }
    return 1;
}

static int MoveEntries(const wchar_t *source, const wchar_t *destination) {
    wchar_t from[kLongPathUnits];
    wchar_t to[kLongPathUnits];
    WideCopy(from, source, kLongPathUnits);
    WideCopy(to, destination, kLongPathUnits);
    return MoveEntriesAt(from, WideLength(from), to, WideLength(to), 0);
}

// A path in the form the comparison uses: upper case, "/" read as "\",
// repeated separators collapsed, no trailing separator (except after a bare
// drive). Returns the length.
static unsigned int ComparablePath(const wchar_t *path, wchar_t *dst, unsigned int capacity) {
    unsigned int n = 0;
    for (unsigned int i = 0; path[i] != 0 && n + 1 < capacity; ++i) {
        wchar_t unit = path[i] == L'/' ? L'\\' : path[i];
        if (unit == L'\\' && n > 0 && dst[n - 1] == L'\\' && n > 1) continue;
        dst[n++] = unit;
    }
    while (n > 1 && dst[n - 1] == L'\\') --n;
    dst[n] = 0;
    if (n > 0) CharUpperBuffW(dst, n);
    return n;
}

int IsPathWithin(const wchar_t *path, const wchar_t *ancestor) {
    wchar_t a[1300];
    wchar_t b[1300];
    unsigned int path_length = ComparablePath(path, a, 1300);
    unsigned int ancestor_length = ComparablePath(ancestor, b, 1300);
    if (ancestor_length == 0 || path_length < ancestor_length) return 0;
    for (unsigned int i = 0; i < ancestor_length; ++i)
        if (a[i] != b[i]) return 0;
    // Whole components only: "...\Games2" is not inside "...\Games".
    return a[ancestor_length] == 0 || a[ancestor_length] == L'\\' ||
           b[ancestor_length - 1] == L'\\';
}

// The real folder picker; 1 with the chosen folder in dst (264 units).
// The picker's new dialog style needs COM on the calling (UI) thread; it is
// set up once, when the picker is first opened, so that start-up stays light.
static void InitializeComOnce(void) {
    static int done;
    if (done) return;
    done = 1;
    HMODULE ole = LoadLibraryExW(L"ole32.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!ole) return;  // stays loaded for the rest of the process
    typedef HRESULT(WINAPI * CoInitializeExProc)(void *, DWORD);
    CoInitializeExProc initialize =
        (CoInitializeExProc)(void *)GetProcAddress(ole, "CoInitializeEx");
    if (initialize) initialize(NULL, COINIT_APARTMENTTHREADED);
}

static int PickParentFolder(wchar_t *dst) {
#ifdef ORV_TEST_HOOKS
    int hooked = TestHookPickFolder(dst, 264);
    if (hooked >= 0) return hooked;
#endif
    InitializeComOnce();
    int ok = ShellPickFolder(
        g_main_window, L"ORVELANT Game Library の保存先となる親フォルダーを選択してください。", dst);
    return ok && dst[0] != 0;
}

// The move in progress, kept on disk until it is finished or undone: a move
// cut short (a kill, a power cut, the window closed) or failed (a folder
// held, a drive gone) is tried again at the next start, and meanwhile every
// game is found at whichever of the two roots holds it. UTF-16: the root
// the move empties, a line feed, the root it fills.
static const wchar_t kMoveRecord[] = L"library-move.pending";

static const wchar_t kMoveBusyText[] =
    L"Game Libraryを移動しています。\n\n移動が終わるまでお待ちください。";
static const wchar_t kMoveFailedText[] =
    L"Game Libraryの移動に失敗しました。\n\n旧保存先と新保存先を確認してください。";

struct LibraryMove {
    HANDLE thread;
    volatile LONG running;
    volatile LONG finished;  // set by the thread before its final post
    volatile LONG ok;
    int pending;             // a record is on disk
    // A move finished at start-up holds the start-up sync back until it ends:
    // the sync Worker creates the Game Library root the settings name, which
    // would bring the old root back behind the move.
    int sync_after;
    wchar_t old_root[1200];  // the root being emptied
    wchar_t new_root[1200];  // the root being filled
};
static LibraryMove g_move;


static int SamePath(const wchar_t *a, const wchar_t *b) {
    return IsPathWithin(a, b) && IsPathWithin(b, a);
}

static int WriteMoveRecord(const wchar_t *old_root, const wchar_t *new_root) {
    wchar_t text[2400];
    WideCopy(text, old_root, 2400);
    WideAppend(text, L"\n", 2400);
    WideAppend(text, new_root, 2400);
    wchar_t path[1200];
    wchar_t temp[1200];
    InstallPath(kMoveRecord, path, 1200);
    InstallPath(L"library-move.new", temp, 1200);
    return ReplaceFileWithBytes(path, temp, text,
                                (unsigned int)(WideLength(text) * sizeof(wchar_t)));
}

// 1 with both roots when a move is recorded.
static int ReadMoveRecord(wchar_t *old_root, wchar_t *new_root) {
    wchar_t path[1200];
    InstallPath(kMoveRecord, path, 1200);
    unsigned int size = 0;
    char *bytes = ReadWholeFile(path, &size);
    if (!bytes) return 0;
    wchar_t text[2400];
    unsigned int units = size / sizeof(wchar_t);
    if (units > 2399) units = 2399;
    CopyBytes(text, bytes, units * sizeof(wchar_t));
    text[units] = 0;
    HeapFree(GetProcessHeap(), 0, bytes);
    unsigned int split = 0;
    while (split < units && text[split] != L'\n') ++split;
    if (split == 0 || split >= units - 1) return 0;
    text[split] = 0;
    WideCopy(old_root, text, 1200);
    WideCopy(new_root, text + split + 1, 1200);
    return 1;
}

// The recorded move becomes the pending one: its other root (the one the
// settings do not name) is where ProductDirectory looks for a game missing
// at the Game Library root.
static void AdoptMove(const wchar_t *old_root, const wchar_t *new_root) {
    if (old_root != g_move.old_root) WideCopy(g_move.old_root, old_root, 1200);
    if (new_root != g_move.new_root) WideCopy(g_move.new_root, new_root, 1200);
    g_move.pending = 1;
    SetLibraryMoveDestination(SamePath(old_root, g_library_root) ? new_root : old_root);
}

static void ForgetMove(void) {
    wchar_t record[1200];
    InstallPath(kMoveRecord, record, 1200);
    DeleteFileW(record);
    g_move.pending = 0;
    SetLibraryMoveDestination(L"");
}

static DWORD WINAPI LibraryMoveThread(LPVOID) {
    int ok = MoveEntries(g_move.old_root, g_move.new_root);
    InterlockedExchange(&g_move.ok, ok);
    InterlockedExchange(&g_move.finished, 1);
    // The end is never lost: a post refused (a full queue) is tried again
    // while the window lives, and the message loop also looks at the flag.
    for (int attempt = 0; g_main_window && IsWindow(g_main_window) &&
                          !PostMessageW(g_main_window, WM_LIBRARY_MOVE_DONE, 0, 0) &&
                          attempt < 600;
         ++attempt)
        Sleep(100);
    return 0;
}

// Runs the recorded move on a thread of its own: the window keeps answering
// and shows how far it came.
static void StartLibraryMove(void) {
    InterlockedExchange(&g_move_entries, 0);
    g_move_last_post = 0;
    InterlockedExchange(&g_move.finished, 0);
    InterlockedExchange(&g_move.running, 1);
    AdoptMove(g_move.old_root, g_move.new_root);
    SetStatusLine(L"LIBRARY MOVE // STARTING");
    g_move.thread = CreateThread(NULL, 0, LibraryMoveThread, NULL, 0, NULL);
    if (!g_move.thread) {
        InterlockedExchange(&g_move.ok, 0);
        InterlockedExchange(&g_move.finished, 1);
        PostMessageW(g_main_window, WM_LIBRARY_MOVE_DONE, 0, 0);
    }
}

void HandleLibraryMoveProgress(void) {
    if (!g_move.running) return;
    if (g_move.finished) {
        HandleLibraryMoveDone();
        return;
    }
    wchar_t text[64];
    wsprintfW(text, L"LIBRARY MOVE // %d MOVED", (int)g_move_entries);
    SetStatusLine(text);
    ReadProductsOnDisk();
    ModelChanged(CHANGED_LIBRARY);
}

int LibraryMoveEndedUnseen(void) { return g_move.running && g_move.finished; }

void HandleLibraryMoveDone(void) {
    // A late post of an earlier move never ends the one running now.
    if (!g_move.running || !g_move.finished) return;
    if (g_move.thread) {
        WaitForSingleObject(g_move.thread, INFINITE);
        CloseHandle(g_move.thread);
        g_move.thread = NULL;
    }
    InterlockedExchange(&g_move.running, 0);
    int sync_after = g_move.sync_after;
    g_move.sync_after = 0;
    if (!g_move.ok) {
        // The record stays: the games already moved are shown (and started)
        // where they are, the rest where they were; the next start tries again.
        if (sync_after) StartSyncWorker();
        SetStatusLine(L"LIBRARY MOVE // FAILED");
        ReadProductsOnDisk();
        ModelChanged(CHANGED_LIBRARY);
        Box(kMoveFailedText, MB_ICONERROR | MB_OK);
        return;
    }
    if (!SamePath(g_move.new_root, g_library_root) &&
        !WriteSettingText(L"LibraryRoot", g_move.new_root)) {
        if (sync_after) StartSyncWorker();
        ReadProductsOnDisk();
        ModelChanged(CHANGED_LIBRARY);
        Box(L"Library保存先の設定を書き込めませんでした。", MB_ICONERROR | MB_OK);
        return;
    }
    ForgetMove();
    WideCopy(g_library_root, g_move.new_root, kLibraryRootUnits);
    CreateDirectoryTree(g_library_root);
    if (sync_after) StartSyncWorker();
    SetStatusLine(L"LIBRARY MOVE // DONE");
    ReadProductsOnDisk();
    ModelChanged(CHANGED_LIBRARY | CHANGED_LIBRARY_ROOT);
    Box(L"Game Libraryの保存先を変更しました。", MB_ICONINFORMATION | MB_OK);
}

// The folder a root lies in is there (the root itself may be gone: a
// finished move removes it). When not even that is, the drive is away.
static int ParentReachable(const wchar_t *root) {
    wchar_t parent[1200];
    WideCopy(parent, root, 1200);
    unsigned long long length = WideLength(parent);
    while (length > 0 && parent[length - 1] == L'\\') parent[--length] = 0;
    while (length > 0 && parent[length - 1] != L'\\') parent[--length] = 0;
    if (length == 0) return 0;
    if (length > 3) parent[length - 1] = 0;  // keep "D:\" whole
    return DirectoryExists(parent);
}

static const wchar_t kMoveWaitingText[] =
    L"LIBRARY MOVE // OLD FOLDER UNREACHABLE  旧保存先に接続できません。次回の起動時に移動を続けます。";

int ResumeLibraryMove(void) {
    wchar_t old_root[1200];
    wchar_t new_root[1200];
    if (g_move.running || !ReadMoveRecord(old_root, new_root)) return 0;
    AdoptMove(old_root, new_root);
    // An unplugged drive is not a finished move: the record stays for the
    // next start and the games already moved are shown where they are.
    if (!DirectoryExists(old_root) && !ParentReachable(old_root)) {
        LogLine("Library move postponed: the old library folder cannot be reached");
        SetStatusLine(kMoveWaitingText);
        ReadProductsOnDisk();
        ModelChanged(CHANGED_LIBRARY);
        return 0;
    }
    g_move.sync_after = 1;
    StartLibraryMove();
    return 1;
}

int RefuseWhileLibraryMoves(void) {
    if (!g_move.running) return 0;
    Box(kMoveBusyText, MB_ICONINFORMATION | MB_OK);
    return 1;
}

// A product job reads the root the settings name: for a game that a pending
// move left at the other root it would install the game there again.
int RefuseJobForMovedGame(int slot) {
    if (!g_move.pending || g_move.running || slot < 0 || slot >= g_model.product_count) return 0;
    wchar_t folder[1200];
    ProductDirectory(slot, folder, 1200);
    // (A game at neither root installs at the Game Library root as always.)
    if (!DirectoryExists(folder) || !IsPathWithin(folder, g_model.library_move_destination)) return 0;
    Box(kMoveBusyText, MB_ICONINFORMATION | MB_OK);
    return 1;
}

int ConfirmCloseDuringLibraryMove(void) {
    if (!g_move.running) return 1;
    return Box(L"Game Libraryを移動しています。\n\n"
               L"終了すると、次回の起動時に移動を続けます。終了しますか？",
               MB_ICONQUESTION | MB_YESNO) == IDYES;
}

static int AnyGameRunning(void) {
    for (unsigned int i = 0; i < CountOf(g_game_watches); ++i)
        if (g_game_watches[i].state == GAME_WATCH_RUNNING) return 1;
    return 0;
}

// Asks, records and starts the move from old_root to new_root. A running
// game holds its folder: the move is not started then.
static void ConfirmAndStartMove(const wchar_t *old_root, const wchar_t *new_root) {
    if (AnyGameRunning()) {
        SetStatusLine(L"LIBRARY MOVE // FAILED");
        Box(kMoveFailedText, MB_ICONERROR | MB_OK);
        return;
    }
    if (Box(L"現在のGame Libraryを新しい保存先へ移動します。\n\n"
            L"ゲーム容量によっては時間がかかります。続行しますか？",
            MB_ICONQUESTION | MB_YESNO) != IDYES)
        return;
    // Nothing moves before the record of the move is on the disk.
    if (!WriteMoveRecord(old_root, new_root)) {
        Box(kMoveFailedText, MB_ICONERROR | MB_OK);
        return;
    }
    WideCopy(g_move.old_root, old_root, 1200);
    WideCopy(g_move.new_root, new_root, 1200);
    StartLibraryMove();
}

// While a move is pending the player may pick its destination again (the
// move goes on) or the original folder (what was moved goes back); any
// other folder waits until the pending move is over.
static void ContinuePendingMove(const wchar_t *picked, const wchar_t *new_root) {
    wchar_t recorded_old[1200];
    wchar_t recorded_new[1200];
    if (!ReadMoveRecord(recorded_old, recorded_new)) {
        WideCopy(recorded_old, g_move.old_root, 1200);
        WideCopy(recorded_new, g_move.new_root, 1200);
    }
    wchar_t other[1200];
    WideCopy(other, SamePath(recorded_old, g_library_root) ? recorded_new : recorded_old, 1200);
    if (SamePath(new_root, g_library_root) || SamePath(picked, g_library_root)) {
        wchar_t original[1200];
        WideCopy(original, g_library_root, 1200);
        ConfirmAndStartMove(other, original);
    } else if (SamePath(new_root, other)) {
        wchar_t current[1200];
        WideCopy(current, g_library_root, 1200);
        ConfirmAndStartMove(current, other);
    } else {
        Box(kMoveBusyText, MB_ICONINFORMATION | MB_OK);
    }
}

void MoveLibraryRoot(void) {
    if (g_model.worker.worker_running) {
        Box(L"ダウンロード中はLibrary保存先を変更できません。", MB_ICONINFORMATION | MB_OK);
        return;
    }
    wchar_t picked[264];
    if (!PickParentFolder(picked)) return;

    // A drive root comes back with its separator ("D:\"): no second one.
    wchar_t new_root[1200];
    WideCopy(new_root, picked, 1200);
    unsigned long long length = WideLength(new_root);
    WideAppend(new_root, length > 0 && new_root[length - 1] == L'\\' ? L"ORVELANT Games"
                                                                        : L"\\ORVELANT Games",
               1200);
    wchar_t recorded_old[1200];
    wchar_t recorded_new[1200];
    if (g_move.pending || ReadMoveRecord(recorded_old, recorded_new)) {
        ContinuePendingMove(picked, new_root);
        return;
    }
    if (WideEquals(new_root, g_library_root)) return;
    // Inside the library, the move would enumerate its own destination; around
    // it, the new root would hold the old one. Neither is ever started.
    if (IsPathWithin(new_root, g_library_root) || IsPathWithin(g_library_root, new_root)) {
        Box(L"選択先は現在のGame Libraryの内側、またはそれを含むフォルダーです。\n\n"
            L"別の保存先を選択してください。",
            MB_ICONERROR | MB_OK);
        return;
    }
    if (DirectoryExists(new_root) && IsDirectoryNonEmpty(new_root)) {
        Box(L"選択先の「ORVELANT Games」フォルダーが空ではありません。\n\n別の保存先を選択してください。",
            MB_ICONERROR | MB_OK);
        return;
    }
    CreateDirectoryTree(new_root);

    wchar_t probe[1300];
    WideCopy(probe, new_root, 1300);
    WideAppend(probe, L"\\.orvelant-write-test", 1300);
    HANDLE file = CreateFileW(probe, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              NULL);
    if (file == INVALID_HANDLE_VALUE) {
        Box(L"選択した保存先へ書き込めません。", MB_ICONERROR | MB_OK);
        return;
    }
    CloseHandle(file);
    DeleteFileW(probe);

    wchar_t old_root[1200];
    WideCopy(old_root, g_library_root, 1200);
    // An old root that is missing or empty is not moved (and stays).
    if (!DirectoryExists(old_root) || !IsDirectoryNonEmpty(old_root)) {
        WideCopy(g_move.old_root, old_root, 1200);
        WideCopy(g_move.new_root, new_root, 1200);
        InterlockedExchange(&g_move.ok, 1);
        InterlockedExchange(&g_move.finished, 1);
        InterlockedExchange(&g_move.running, 1);
        HandleLibraryMoveDone();
        return;
    }
    ConfirmAndStartMove(old_root, new_root);
}

static int BeginsWith(const wchar_t *text, const wchar_t *prefix) {
    for (unsigned long long i = 0; prefix[i] != 0; ++i)
        if (text[i] != prefix[i]) return 0;
    return 1;
}

void UninstallSelectedGame(void) {
    int slot = g_model.ui.selected_library;
    if (!IsInstalled(slot)) return;
    if (g_model.worker.worker_running) return;
    if (Box(L"ゲーム本体のみをアンインストールします。\n\n"
            L"セーブデータとORVELANT Launcherは削除しません。続行しますか？",
            MB_ICONQUESTION | MB_YESNO) != IDYES)
        return;
    wchar_t executable[1400];
    GameExecutablePath(slot, executable, 1400);
    // A game that a pending move left at its other root is in the library too.
    int at_other_root = g_move.pending && g_model.library_move_destination[0] &&
                        BeginsWith(executable, g_model.library_move_destination);
    if (!BeginsWith(executable, g_library_root) && !at_other_root) {
        Box(L"旧形式のゲーム配置はこのLauncherから削除しません。Setup移行機能で処理します。",
            MB_ICONINFORMATION | MB_OK);
        return;
    }
    wchar_t folder[1200];
    ProductDirectory(slot, folder, 1200);
    // Only ever a folder below the root, never the root or anything around it,
    // judged on the path as Windows resolves it.
    int below = at_other_root ? IsPathWithin(folder, g_model.library_move_destination) &&
                                    !SamePath(folder, g_model.library_move_destination)
                              : IsInsideLibraryRoot(folder);
    if (below && DirectoryExists(folder) &&
        !DeleteTree(folder))
        Box(L"ゲームフォルダーを完全に削除できませんでした。ゲームが起動中でないか確認してください。",
            MB_ICONERROR | MB_OK);
    ReadProductsOnDisk();
    ModelChanged(CHANGED_LIBRARY);
}
