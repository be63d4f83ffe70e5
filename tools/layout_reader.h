// Reads a built program's layout table from the program's file, through the
// pointer it exports (UI_LAYOUT_TABLE_EXPORT), as data: the tests and tools
// check the windows against the table the program carries, not a copy of
// its source, and no code of the program runs.
#pragma once

#include <string>

#include "ui_table.h"

namespace orv_probe {

// The table of the program at `path` (a Shell or a Setup), loaded once per
// path and kept for the process's life. Null when the program cannot be
// read, has no table or its table points outside its image; *error says
// why.
const UiWindowTable *ProgramLayoutTable(const std::wstring &path, std::wstring *error = nullptr);
// The same for a test: a table that cannot be read throws std::runtime_error
// with the reason, which fails the test that asked.
const UiWindowTable &RequireProgramLayoutTable(const std::wstring &path);

}  // namespace orv_probe
