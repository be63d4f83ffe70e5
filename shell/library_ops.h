// Library move, game uninstall, the directory-tree operations they use, and
// the diagnostics report.
#pragma once

#include "shell.h"

int IsDirectoryNonEmpty(const wchar_t *path);
// Whether path is ancestor or lies below it, compared case-insensitively by
// whole path components.
int IsPathWithin(const wchar_t *path, const wchar_t *ancestor);

// Posted by the library move's thread: an entry has moved; the move ended.
#define WM_LIBRARY_MOVE_PROGRESS (WM_APP + 21)
#define WM_LIBRARY_MOVE_DONE (WM_APP + 22)

void MoveLibraryRoot(void);
// A move recorded by an earlier run that did not finish: finished now.
// 1 when a recorded move was resumed; the start-up sync then follows its end.
int ResumeLibraryMove(void);
void HandleLibraryMoveProgress(void);
void HandleLibraryMoveDone(void);
// 1 when the move's thread has ended but its end was not handled yet.
int LibraryMoveEndedUnseen(void);
// While a move is pending: a product job for a game left at the other root
// is refused with the busy box (1).
int RefuseJobForMovedGame(int slot);
// While a move runs: the busy box, 1 (the command is refused).
int RefuseWhileLibraryMoves(void);
// 1 when the window may close (no move runs, or the player agreed).
int ConfirmCloseDuringLibraryMove(void);
void UninstallSelectedGame(void);

void WriteReportLine(HANDLE file, const wchar_t *text);
int WriteDiagnosticsReport(void);
void RunDiagnostics(void);
