// Starting another program: the Update Worker, a game, the Setup.
#pragma once

#include <windows.h>

// Starts program with the given (writable) command line, no inherited
// handles, the caller's environment, the given creation flags and current
// directory, and a zeroed STARTUPINFOW. The thread handle is closed at once;
// the process handle goes to *process when process is not null, else it is
// closed too. Returns 1, or 0 with GetLastError set by CreateProcessW.
int StartProgram(const wchar_t *program, wchar_t *command_line, DWORD flags,
                 const wchar_t *directory, HANDLE *process);
