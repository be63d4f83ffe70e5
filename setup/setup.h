// The Launcher Setup: entry and modes, the launcher core install, the
// registration with Windows, the uninstall and the setup window.
#pragma once

#include <windows.h>

#define ORV_SETUP_CAPTION L"ORVELANT Launcher Setup"
#define ORV_UNINSTALL_CAPTION L"ORVELANT Launcher Uninstall"
#define ORV_SETUP_CLASS L"ORVELANT_LAUNCHER_SETUP_V07"

// Embedded payload, one RCDATA resource each (setup_payload.rc).
enum PayloadId {
    PAYLOAD_SHELL = 101,
    PAYLOAD_WORKER = 102,
    PAYLOAD_WORDMARK = 103,
    PAYLOAD_CORE = 104,
    PAYLOAD_ICON = 105,
    PAYLOAD_LAUNCHER_CONFIG = 106,
    PAYLOAD_README = 107,
    PAYLOAD_CATALOG = 108,
    PAYLOAD_NEWS = 109,
    PAYLOAD_CONTROL = 110,
    PAYLOAD_WORDMARK_2X = 111,
    PAYLOAD_CORE_2X = 112,
    PAYLOAD_ROOT = 113,
};

#include "setup_layout.h"

enum { kSetupPathUnits = 1200 };

// Process-wide state: the target folders and the window (null outside the
// interactive mode, so that boxes then have no owner).
extern wchar_t g_library_default[1024];
extern HWND g_setup_window;

// payload.cpp
int WritePayload(int id, const wchar_t *path);

// main.cpp
int ContainsSwitch(const wchar_t *command_line, const wchar_t *name);
DWORD ParseWaitPid(const wchar_t *command_line);
int InstallLauncherCore(int reinstall);
int RemoveLauncherCore(void);
int StartInstalledShell(const wchar_t *directory);
// command_line: a writable buffer, as CreateProcessW wants it.
int RunHidden(wchar_t *command_line);
void FinishSetup(const wchar_t *word);
void ResolveSetupDirectories(void);

// registration.cpp
int CreateShortcuts(void);
int RemoveShortcuts(void);
LONG WriteUninstallEntry(const wchar_t *install_dir);
LONG DeleteUninstallEntry(void);
void RunUninstall(void);

// window.cpp
int RunSetupWindow(void);
void PrepareWindowBitmaps(void);
void DeleteWindowBitmaps(void);
