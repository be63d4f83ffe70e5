// The runtime as each program carries it: this file is built once per
// program, linked with that program's runtime profile.
#include <gtest/gtest.h>

#include "runtime.h"
#include "settings.h"
#include "test_support.h"

using namespace orv_test;

#if defined(ORV_VARIANT_WORKER)
static const unsigned kReadLimit = 524288;
static const unsigned kTreeUnits = 2100;
static const bool kWriteMakesParent = true;
static const wchar_t *const kLogName = L"logs\\updater.log";
#elif defined(ORV_VARIANT_SHELL)
static const unsigned kReadLimit = 262144;
static const unsigned kTreeUnits = 2100;
static const bool kWriteMakesParent = false;
static const wchar_t *const kLogName = L"logs\\launcher.log";
#elif defined(ORV_VARIANT_SETUP)
static const unsigned kReadLimit = 262144;
static const unsigned kTreeUnits = 1200;
static const bool kWriteMakesParent = false;
static const wchar_t *const kLogName = L"logs\\setup.log";
#else
#error "build with ORV_VARIANT_WORKER, ORV_VARIANT_SHELL or ORV_VARIANT_SETUP"
#endif

class VariantTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = FreshScratchDir();
        WideCopy(g_install_dir, dir_.c_str(), kInstallDirUnits);
    }
    std::wstring dir_;
};

TEST_F(VariantTest, ReadWholeFileStopsAtTheProgramsLimit) {
    if (kReadLimit == 0) GTEST_SKIP() << "this program reads no whole files";
    std::string content;
    for (unsigned i = 0; i < kReadLimit + 5000; ++i) content.push_back((char)('a' + i % 26));
    for (unsigned size : {kReadLimit - 1, kReadLimit, kReadLimit + 1, kReadLimit + 5000}) {
        std::wstring path = dir_ + L"\\doc" + std::to_wstring(size);
        WriteFileBytes(path, content.substr(0, size));
        unsigned int got = 0;
        char *data = ReadWholeFile(path.c_str(), &got);
        ASSERT_NE(nullptr, data);
        unsigned expect = size < kReadLimit ? size : kReadLimit;
        EXPECT_EQ(expect, got) << size;
        EXPECT_EQ(0, data[got]);
        EXPECT_EQ(content.substr(0, expect), std::string(data, got));
        HeapFree(GetProcessHeap(), 0, data);
    }
}

TEST_F(VariantTest, CreateDirectoryTreeWorksOnTheProgramsCopyOfThePath) {
    // Levels of 99 characters; the whole path fits the Worker's and the
    // Shell's working copy (deep game files), not the Setup's.
    std::wstring path = dir_;
    while (path.size() < 1250) path += L"\\" + std::wstring(99, L'd');
    path = path.substr(0, 1250);
    ASSERT_LT(path.size(), 2099u);
    bool ok = CreateDirectoryTree(path.c_str());
    if (kTreeUnits > path.size()) {
        EXPECT_TRUE(ok);
        EXPECT_TRUE(PathIsDir(path));
    } else {
        std::wstring cut = path.substr(0, kTreeUnits - 1);
        EXPECT_TRUE(PathIsDir(cut));
        EXPECT_FALSE(PathIsDir(path));
    }
}

TEST_F(VariantTest, WriteWholeFileAndTheMissingParentFolder) {
    std::wstring path = dir_ + L"\\new\\folder\\file.txt";
    bool ok = WriteWholeFile(path.c_str(), "abc", 3);
    EXPECT_EQ(kWriteMakesParent, ok);
    EXPECT_EQ(kWriteMakesParent, PathIsFile(path));
    if (kWriteMakesParent) EXPECT_EQ("abc", ReadFileBytes(path));
}

TEST_F(VariantTest, LogGoesToTheProgramsOwnFile) {
    LogLine("one line");
    if (!kLogName) {
        EXPECT_FALSE(PathIsDir(dir_ + L"\\logs"));
        return;
    }
    EXPECT_EQ("one line\r\n", ReadFileBytes(dir_ + L"\\" + kLogName));
    const wchar_t *other = WideEquals(kLogName, L"logs\\updater.log") ? L"logs\\launcher.log"
                                                                      : L"logs\\updater.log";
    EXPECT_FALSE(PathIsFile(dir_ + L"\\" + other));
}

