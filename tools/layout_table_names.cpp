// The Shell's colour groups by name, for layout-table.
#include "shell_layout.h"

const char *ShellColorName(int color) {
    switch (color) {
    case COLOR_RULE: return "rule";
    case COLOR_TRACK: return "track";
    case COLOR_NAV: return "nav";
    case COLOR_PRIMARY: return "primary";
    case COLOR_SECONDARY: return "secondary";
    case COLOR_ROW: return "row";
    case COLOR_NEWS: return "news";
    case COLOR_KICKER: return "kicker";
    case COLOR_DIM: return "dim";
    case COLOR_BODY: return "body";
    default: return "plain";
    }
}
