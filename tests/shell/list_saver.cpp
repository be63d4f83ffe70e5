// Saves the playtime list over and over, each save with new values, until it
// is killed: the test checks what a kill at a random moment leaves behind.
//   list-saver.exe <install-dir>
// A GUI-subsystem program: a console one would get a console host process
// that outlives the kill.
#include "runtime.h"
#include "settings.h"
#include "shell.h"

#include <string>

#include <shellapi.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 2) return 2;
    WideCopy(g_install_dir, argv[1], kInstallDirUnits);
    std::string catalog = "{\"products\": [";
    for (int i = 0; i < 16; ++i)
        catalog += (i ? "," : "") + std::string("{\"id\": \"game-") + std::to_string(i) +
                   "\", \"title\": \"G\", \"install_dir\": \"g\", \"executable\": \"g.exe\"}";
    catalog += "]}";
    wchar_t path[1200];
    InstallPath(L"catalog.json", path, 1200);
    WriteWholeFile(path, catalog.data(), (int)catalog.size());
    ReloadRemoteData();
    for (unsigned long long save = 1;; ++save) {
        for (int i = 0; i < kMaxProducts; ++i) g_model.playtime[i] = save * 1000 + (unsigned)i;
        SavePlaytime();
        if (save == 1) {
            InstallPath(L"saver-started", path, 1200);
            WriteWholeFile(path, "1", 1);
        }
    }
}
