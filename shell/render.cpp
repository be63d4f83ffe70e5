// The render step: brings the controls up to date with what changed in the
// model since the last one. It is the only caller of the views; the code
// that changes the model only says what changed (ModelChanged).
#include "window.h"

#include "runtime.h"
#include "ui_scale.h"

enum ShellView { VIEW_HOME = 1, VIEW_STORE = 2, VIEW_LIBRARY = 4, VIEW_DOWNLOADS = 8,
                 VIEW_SETTINGS = 16 };

// Which views show what changed.
static const struct {
    unsigned int change;
    unsigned int views;
} kViewsOfChange[] = {
    {CHANGED_JOB, VIEW_HOME | VIEW_LIBRARY | VIEW_DOWNLOADS},
    {CHANGED_QUEUE, VIEW_DOWNLOADS},
    {CHANGED_LISTS, VIEW_LIBRARY},
    {CHANGED_LIBRARY, VIEW_HOME | VIEW_LIBRARY},
    {CHANGED_LIBRARY_ROOT, VIEW_SETTINGS},
    {CHANGED_SETTINGS, VIEW_SETTINGS | VIEW_DOWNLOADS},
    {CHANGED_LIBRARY_VIEW, VIEW_LIBRARY},
    {CHANGED_STORE_SELECTION, VIEW_STORE},
};

static int g_rendering;

void RenderShell(void) {
    // A control's change sends the window messages of its own (colours,
    // notifications); their changes wait for the next round here.
    if (g_rendering || !g_main_window) return;
    g_rendering = 1;
    for (int round = 0; round < 4 && g_model.changed; ++round) {
        const unsigned int changed = g_model.changed;
        g_model.changed = 0;
        UpdateLibraryList();
        unsigned int views = 0;
        for (unsigned int i = 0; i < CountOf(kViewsOfChange); ++i)
            if (changed & kViewsOfChange[i].change) views |= kViewsOfChange[i].views;
        // The page switch runs the new page's view itself.
        if (changed & CHANGED_PAGE) {
            const int page = g_model.ui.current_page;
            // A switch that came before the other pages were made.
            if (page != PAGE_HOME) CreateOtherPages();
            HWND had_focus = GetFocus();
            SettleFocusAfterPageShown(page, ShowPage(page), had_focus);
            views &= ~(1u << page);
        }
        if (views & VIEW_HOME) RefreshHomeView();
        if (views & VIEW_STORE) RefreshStoreView();
        if (views & VIEW_LIBRARY) RefreshLibraryView();
        if (views & VIEW_DOWNLOADS) RefreshDownloadsView();
        if (views & VIEW_SETTINGS) RefreshSettingsView();
        if (changed & (CHANGED_PROGRESS | CHANGED_JOB | CHANGED_QUEUE))
            ShowProgress(g_model.worker.progress_percent);
        if (changed & CHANGED_STATUS)
            SetControlText(ShellControl(ROW_STATUS_LINE), g_model.status_line);
        if (changed & CHANGED_SIGNAL)
            SetControlText(ShellControl(ROW_SIGNAL_LABEL), g_model.signal);
        if (changed & CHANGED_LAUNCHER_UPDATE) {
            HWND button = ShellControl(ROW_LAUNCHER_UPDATE_BUTTON);
            if (button) EnableWindow(button, g_model.launcher_update_enabled ? TRUE : FALSE);
        }
    }
    g_rendering = 0;
}
