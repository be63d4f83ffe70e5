// The few shell32 calls the Shell makes (opening a link or a file, picking a
// folder), looked up when first used: shell32 and the libraries it brings
// along are not loaded at every start for calls most runs never make.
#include "shell.h"

#include "runtime.h"

#include <shlobj.h>

typedef HINSTANCE(WINAPI *ShellExecuteFn)(HWND, const wchar_t *, const wchar_t *,
                                          const wchar_t *, const wchar_t *, int);
typedef PIDLIST_ABSOLUTE(WINAPI *BrowseForFolderFn)(BROWSEINFOW *);
typedef BOOL(WINAPI *PathFromIdListFn)(PCIDLIST_ABSOLUTE, wchar_t *);
typedef void(WINAPI *IdListFreeFn)(PIDLIST_RELATIVE);

static FARPROC Shell32Proc(const char *name) {
    static HMODULE shell32;
    if (!shell32) shell32 = LoadLibraryW(L"shell32.dll");
    return shell32 ? GetProcAddress(shell32, name) : NULL;
}

void ShellOpen(HWND owner, const wchar_t *target) {
    ShellExecuteFn execute = (ShellExecuteFn)(void *)Shell32Proc("ShellExecuteW");
    if (execute) execute(owner, L"open", target, NULL, NULL, SW_SHOWNORMAL);
}

int ShellPickFolder(HWND owner, const wchar_t *title, wchar_t *dst) {
    BrowseForFolderFn browse = (BrowseForFolderFn)(void *)Shell32Proc("SHBrowseForFolderW");
    PathFromIdListFn to_path = (PathFromIdListFn)(void *)Shell32Proc("SHGetPathFromIDListW");
    IdListFreeFn free_list = (IdListFreeFn)(void *)Shell32Proc("ILFree");
    if (!browse || !to_path || !free_list) return 0;
    wchar_t display_name[260];
    BROWSEINFOW info;
    FillZero(&info, sizeof(info));
    info.hwndOwner = owner;
    info.pidlRoot = NULL;
    info.pszDisplayName = display_name;
    info.lpszTitle = title;
    info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    PIDLIST_ABSOLUTE item = browse(&info);
    if (!item) return 0;
    int ok = to_path(item, dst) != 0;
    free_list((PIDLIST_RELATIVE)item);
    return ok;
}

void OpenWithShell(const wchar_t *target) {
    if (!target || !target[0]) return;
    ShellOpen(g_main_window, target);
}

static int BeginsWithHttps(const wchar_t *target) {
    const wchar_t scheme[] = L"https://";
    for (unsigned int i = 0; i + 1 < CountOf(scheme); ++i) {
        if (FoldAscii(target[i]) != scheme[i]) return 0;
    }
    return 1;
}

// The cached documents come from disk: a link in them that is not a web page
// (a program, a file: URL, a share) would start or open something local.
void OpenDocumentLink(const wchar_t *target, const char *source) {
    if (!target || !target[0]) return;
    if (BeginsWithHttps(target)) {
        OpenWithShell(target);
        return;
    }
    char line[400];
    const char *lead = "Refused to open a link that is not https from ";
    unsigned int n = 0;
    for (const char *p = lead; *p && n + 1 < sizeof(line); ++p) line[n++] = *p;
    for (const char *p = source; p && *p && n + 1 < sizeof(line); ++p) line[n++] = *p;
    if (n + 3 < sizeof(line)) {
        line[n++] = ':';
        line[n++] = ' ';
    }
    int room = (int)(sizeof(line) - 1 - n);
    int used = room > 0 ? WideCharToMultiByte(CP_UTF8, 0, target, -1, line + n, room, NULL, NULL)
                        : 0;
    if (used > 0) n += (unsigned int)used - 1;
    line[n] = 0;
    LogLine(line);
}

// The page last put on screen: the model's page may already be the next one
// when its render shows it.
