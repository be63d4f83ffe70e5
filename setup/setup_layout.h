// The Setup window's layout: fonts, colour groups, window variants and its
// rows in the layout table (setup_layout.cpp).
#pragma once

#include "ui_table.h"

enum SetupFont { FONT_WORDMARK, FONT_HEADLINE, FONT_BODY, FONT_BUTTON, FONT_SMALL, FONT_CAPTION,
                 kSetupFontCount };
// Colour groups of WM_CTLCOLORSTATIC.
enum SetupColor { COLOR_OTHER, COLOR_PRIMARY, COLOR_SECOND, COLOR_DIM, COLOR_TOP, COLOR_RULE };
// The window offers a first install, or an update and a reinstall.
enum SetupVariant { SETUP_VARIANT_NEW = 1, SETUP_VARIANT_EXISTING = 2 };

enum SetupCommand { ID_SETUP_INSTALL = 2001, ID_SETUP_UPDATE = 2002, ID_SETUP_REINSTALL = 2003,
                    ID_SETUP_CANCEL = 2004 };

enum SetupRow {
    SROW_WORDMARK_IMAGE, SROW_WORDMARK_TEXT, SROW_CORE_IMAGE, SROW_RULE, SROW_CAPTION_NEW,
    SROW_CAPTION_EXISTING, SROW_HEADLINE_NEW, SROW_HEADLINE_EXISTING, SROW_BODY_EXISTING,
    SROW_BODY_NEW, SROW_UPDATE, SROW_REINSTALL, SROW_NOTE_EXISTING, SROW_INSTALL, SROW_BADGE,
    SROW_NOTE_NEW, SROW_LAUNCHER_LINE, SROW_LIBRARY_LINE, SROW_CANCEL, kSetupRowCount
};
