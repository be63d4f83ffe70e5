// What a screen reader gets from a Shell or Setup window, checked against
// the controls read back from the same window.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>
#include <oleacc.h>

#include "shell_probe.h"
#include "test_support.h"

#include <map>
#include <set>
#include <string>
#include <vector>

namespace orv_test {

// What a screen reader gets from the window on the page shown, checked
// against the controls read back: one push button per visible action, in
// the window's order, named by its text, unavailable exactly when disabled,
// focused exactly when it has the focus, selected exactly when in
// `selected`; one named graphic per visible image. Returns the tree.
inline orv_probe::AccessibleTree CheckAccessible(
    HWND window, const std::vector<orv_probe::ControlInfo> &controls,
    const std::set<int> &selected, const std::map<std::wstring, RECT> &images = {}) {
    orv_probe::AccessibleTree tree = orv_probe::ReadAccessible(window);
    EXPECT_EQ(S_OK, tree.error);
    wchar_t caption[128] = {};
    GetWindowTextW(window, caption, 128);
    EXPECT_EQ(std::wstring(caption), tree.self.name);
    EXPECT_EQ(ROLE_SYSTEM_CLIENT, tree.self.role);
    const POINT origin = orv_probe::ClientOrigin(window);
    const int focused = orv_probe::FocusedId(window);
    size_t at = 0;
    for (const orv_probe::ControlInfo &c : controls) {
        if (!c.visible) continue;
        const bool image = (c.style & SS_TYPEMASK) == SS_BITMAP;
        const bool action = c.cls == L"Static" && c.id != 0 && (c.style & SS_NOTIFY);
        if (!image && !action) continue;
        SCOPED_TRACE("control id " + std::to_string(c.id) + " " + Narrow(c.text));
        if (at >= tree.children.size()) {
            ADD_FAILURE() << "no accessible child for it";
            continue;
        }
        const orv_probe::AccessibleItem &item = tree.children[at++];
        RECT screen = c.rect;
        OffsetRect(&screen, origin.x, origin.y);
        EXPECT_TRUE(EqualRect(&screen, &item.location));
        if (image) {
            EXPECT_EQ(ROLE_SYSTEM_GRAPHIC, item.role);
            bool named = false;
            for (const auto &entry : images)
                if (EqualRect(&entry.second, &c.rect)) named = entry.first == item.name;
            EXPECT_TRUE(named) << "image named \"" << Narrow(item.name) << "\"";
            continue;
        }
        EXPECT_EQ(ROLE_SYSTEM_PUSHBUTTON, item.role);
        EXPECT_EQ(c.text, item.name);
        EXPECT_FALSE(item.default_action.empty());
        EXPECT_EQ(!c.enabled, (item.state & STATE_SYSTEM_UNAVAILABLE) != 0);
        EXPECT_EQ(c.id == focused, (item.state & STATE_SYSTEM_FOCUSED) != 0);
        EXPECT_TRUE(item.state & STATE_SYSTEM_FOCUSABLE);
        EXPECT_EQ(selected.count(c.id) != 0, (item.state & STATE_SYSTEM_SELECTED) != 0);
    }
    EXPECT_EQ(at, tree.children.size()) << "more accessible children than actions and images";
    return tree;
}

// What a reader hears when a key moves the focus to an action: the focus
// event names the action, whose own object says its text, push button,
// focused, selected exactly when in `selected`, where it is, and has the
// window's object as its parent. Returns the focused control's id.
inline int CheckHeardOnKey(HWND window, WPARAM key, unsigned modifiers,
                           const std::set<int> &selected) {
    orv_probe::HeardFocus heard = orv_probe::PressKeyHeard(window, key, modifiers);
    EXPECT_EQ(S_OK, heard.error);
    const std::vector<orv_probe::ControlInfo> controls = orv_probe::ListControls(window);
    const orv_probe::ControlInfo *c = orv_probe::ControlById(controls, heard.id);
    if (!c) {
        ADD_FAILURE() << "no focused control after the key";
        return heard.id;
    }
    SCOPED_TRACE("heard on control id " + std::to_string(c->id) + " " + Narrow(c->text));
    EXPECT_EQ(c->hwnd, heard.hwnd);
    EXPECT_EQ(c->text, heard.item.name);
    EXPECT_EQ(ROLE_SYSTEM_PUSHBUTTON, heard.item.role);
    EXPECT_TRUE(heard.item.state & STATE_SYSTEM_FOCUSED);
    EXPECT_TRUE(heard.item.state & STATE_SYSTEM_FOCUSABLE);
    EXPECT_EQ(selected.count(c->id) != 0, (heard.item.state & STATE_SYSTEM_SELECTED) != 0);
    EXPECT_FALSE(heard.item.default_action.empty());
    RECT screen = c->rect;
    const POINT origin = orv_probe::ClientOrigin(window);
    OffsetRect(&screen, origin.x, origin.y);
    EXPECT_TRUE(EqualRect(&screen, &heard.item.location));
    wchar_t caption[128] = {};
    GetWindowTextW(window, caption, 128);
    EXPECT_EQ(std::wstring(caption), heard.parent_name);
    return heard.id;
}

}  // namespace orv_test
