// A scratch install of the Worker, run as a child of a test window.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

enum {
    PRODUCT_CHECKING = 1, PRODUCT_TRANSFER = 2, PRODUCT_CURRENT = 3, PRODUCT_OFFLINE_READY = 4,
    PRODUCT_FAILED = 5, PRODUCT_NOT_INSTALLED = 6, PRODUCT_VERIFYING = 7, SYNC_STARTED = 8,
    SYNC_DONE = 9, SYNC_UNAVAILABLE = 10, SELF_UPDATE_STARTED = 11, SELF_UPDATE_LAUNCHED = 12,
    SELF_UPDATE_FAILED = 13,
};

using Statuses = std::vector<std::pair<int, int>>;

class WorkerFixture : public ::testing::Test {
protected:
    // Installs the shipped Worker, or with hooks=true its test build.
    void SetUp() override;
    void UseTestHooks();

    orv_test::ChildRun Run(const std::wstring &args,
                           const orv_test::ChildOptions &options = orv_test::ChildOptions());
    std::string Log() const;
    std::wstring Path(const std::wstring &relative) const { return install_ + L"\\" + relative; }
    // The default Game Library root of this scratch install.
    std::wstring DefaultRoot() const { return local_app_data_ + L"\\ORVELANT\\Games"; }
    void WriteCatalog(const std::string &products_json);
    // One catalog entry.
    static std::string Product(const std::string &id, const std::string &install_dir = "game-a",
                               const std::string &executable = "Game.exe",
                               const std::string &manifest = "/games/a/stable/manifest.json");

    std::wstring install_;
    std::wstring exe_;
    std::wstring local_app_data_;
    orv_test::SettingsGuard settings_;
    orv_test::EnvGuard env_;
};
