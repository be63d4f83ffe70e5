// Library move, game uninstall, the directory-tree operations they use, and
// the diagnostics report.
#pragma once

#include "shell.h"

int IsDirectoryNonEmpty(const wchar_t *path);
// Moves every entry of source into destination (which must be missing or
// empty); a failure stops where it happened and moves nothing back.
int MoveTree(const wchar_t *source, const wchar_t *destination);
// Whether path is ancestor or lies below it, compared case-insensitively by
// whole path components.
int IsPathWithin(const wchar_t *path, const wchar_t *ancestor);

void MoveLibraryRoot(void);
void UninstallSelectedGame(void);

void WriteReportLine(HANDLE file, const wchar_t *text);
int WriteDiagnosticsReport(void);
void RunDiagnostics(void);
