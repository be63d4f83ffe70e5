// The Setup's colour groups by name, for layout-table.
#include "setup_layout.h"

const char *SetupColorName(int color) {
    switch (color) {
    case COLOR_PRIMARY: return "primary";
    case COLOR_SECOND: return "secondary";
    case COLOR_DIM: return "dim";
    case COLOR_TOP: return "kicker";
    case COLOR_RULE: return "rule";
    default: return "plain";
    }
}
