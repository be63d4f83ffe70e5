#include "process.h"

#include "runtime.h"

int StartProgram(const wchar_t *program, wchar_t *command_line, DWORD flags,
                 const wchar_t *directory, HANDLE *process) {
    if (process) *process = NULL;
    STARTUPINFOW startup;
    PROCESS_INFORMATION info;
    FillZero(&startup, sizeof(startup));
    FillZero(&info, sizeof(info));
    startup.cb = sizeof(startup);
    if (!CreateProcessW(program, command_line, NULL, NULL, FALSE, flags, NULL, directory,
                        &startup, &info))
        return 0;
    CloseHandle(info.hThread);
    if (process)
        *process = info.hProcess;
    else
        CloseHandle(info.hProcess);
    return 1;
}
