// Runtime helpers: bounded strings, conversion, paths, files and the log.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "runtime.h"
#include "test_support.h"

using namespace orv_test;

TEST(WideStrings, CopyStopsAtCapacityAndNeverTouchesZeroCapacity) {
    wchar_t dst[8] = {L'x', L'x', L'x', L'x', L'x', L'x', L'x', L'x'};
    WideCopy(dst, L"abc", 0);
    EXPECT_EQ(L'x', dst[0]);
    WideCopy(dst, L"abc", 1);
    EXPECT_EQ(0, dst[0]);
    EXPECT_EQ(L'x', dst[1]);
    WideCopy(dst, L"abcdefghij", 5);
    EXPECT_STREQ(L"abcd", dst);
    WideCopy(dst, nullptr, 8);
    EXPECT_STREQ(L"", dst);
}

TEST(WideStrings, AppendCutsAndLeavesAFullDestinationAlone) {
    wchar_t dst[6];
    WideCopy(dst, L"ab", 6);
    EXPECT_EQ(dst, WideAppend(dst, L"cdefgh", 6));
    EXPECT_STREQ(L"abcde", dst);
    WideAppend(dst, L"z", 6);  // already holds capacity - 1 characters
    EXPECT_STREQ(L"abcde", dst);
    WideCopy(dst, L"ab", 6);
    WideAppend(dst, nullptr, 6);
    EXPECT_STREQ(L"ab", dst);
    // A destination longer than the capacity given is left as it is.
    wchar_t longer[10];
    WideCopy(longer, L"abcdefgh", 10);
    WideAppend(longer, L"x", 4);
    EXPECT_STREQ(L"abcdefgh", longer);
}

TEST(WideStrings, LengthsEqualityAndContains) {
    EXPECT_EQ(0u, WideLength(nullptr));
    EXPECT_EQ(3u, WideLength(L"abc"));
    EXPECT_EQ(0u, NarrowLength(nullptr));
    EXPECT_EQ(4u, NarrowLength("abcd"));
    EXPECT_TRUE(WideEquals(L"", L""));
    EXPECT_FALSE(WideEquals(L"abc", L"abcd"));
    EXPECT_FALSE(WideEquals(L"abc", L"ABC"));
    EXPECT_FALSE(WideEquals(nullptr, nullptr));
    EXPECT_TRUE(WideContains(L"anything", L""));
    EXPECT_TRUE(WideContains(L"\"w.exe\" /parent:12 /sync", L"/sync"));
    EXPECT_FALSE(WideContains(L"/syn", L"/sync"));
    EXPECT_FALSE(WideContains(L"/SYNC", L"/sync"));
    EXPECT_TRUE(WideContains(L"aab", L"ab"));  // retry after a partial match
}

TEST(WideStrings, DecimalParsingStopsAtTheFirstNonDigitAndWraps) {
    EXPECT_EQ(123u, ParseWideDecimal(L"123 /sync"));
    EXPECT_EQ(0u, ParseWideDecimal(L"x123"));
    EXPECT_EQ(0u, ParseWideDecimal(L" 123"));
    EXPECT_EQ(0u, ParseWideDecimal(L""));
    EXPECT_EQ(18446744073709551615ull, ParseWideDecimal(L"18446744073709551615"));
    EXPECT_EQ(0u, ParseWideDecimal(L"18446744073709551616"));  // 2^64 wraps to 0
}

TEST(Utf8Conversion, TextThatDoesNotFitBecomesEmptyNotCut) {
    std::string seventy(70, 'a');
    wchar_t dst[64];
    dst[0] = L'x';
    EXPECT_EQ(0, Utf8ToWide(seventy.c_str(), dst, 64));
    EXPECT_STREQ(L"", dst);
    std::string fits(63, 'b');
    EXPECT_EQ(64, Utf8ToWide(fits.c_str(), dst, 64));
    EXPECT_EQ(std::wstring(63, L'b'), dst);
    EXPECT_EQ(0, Utf8ToWide("abc", dst, 0));
    EXPECT_EQ(0, Utf8ToWide(nullptr, dst, 64));
    EXPECT_EQ(0, Utf8ToWide("abc", nullptr, 64));
}

TEST(Utf8Conversion, DecodesJapanese) {
    wchar_t dst[16];
    // "ゲーム" in UTF-8: three characters, nine bytes.
    EXPECT_EQ(4, Utf8ToWide("\xE3\x82\xB2\xE3\x83\xBC\xE3\x83\xA0", dst, 16));
    EXPECT_STREQ(L"\u30B2\u30FC\u30E0", dst);
    EXPECT_EQ(0, Utf8ToWide("\xE3\x82\xB2\xE3\x83\xBC\xE3\x83\xA0", dst, 3));
    EXPECT_STREQ(L"", dst);
}

TEST(NarrowText, AppendDecimalDropsLowDigitsThatDoNotFit) {
    char text[8] = "";
    AppendDecimal(text, sizeof(text), 0);
    EXPECT_STREQ("0", text);
    AppendDecimal(text, sizeof(text), 42);
    EXPECT_STREQ("042", text);
    AppendDecimal(text, sizeof(text), 123456);
    EXPECT_STREQ("0421234", text);
    char big[32] = "e=";
    AppendDecimal(big, sizeof(big), 18446744073709551615ull);
    EXPECT_STREQ("e=18446744073709551615", big);
    for (unsigned v = 0; v < 16; ++v) EXPECT_EQ("0123456789abcdef"[v], HexDigitLower(v));
}

TEST(NarrowText, ZeroAndCopyBytes) {
    unsigned char a[5] = {1, 2, 3, 4, 5};
    unsigned char b[5] = {9, 9, 9, 9, 9};
    CopyBytes(b, a, 4);
    EXPECT_EQ(0, memcmp(b, "\x01\x02\x03\x04\x09", 5));
    FillZero(a + 1, 3);
    EXPECT_EQ(0, memcmp(a, "\x01\x00\x00\x00\x05", 5));
}

class InstallDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = FreshScratchDir();
        WideCopy(g_install_dir, dir_.c_str(), kInstallDirUnits);
    }
    std::wstring dir_;
};

TEST_F(InstallDirTest, PathsAreBuiltUnderTheInstallDirectory) {
    wchar_t path[1200];
    InstallPath(L"logs\\updater.log", path, 1200);
    EXPECT_EQ(dir_ + L"\\logs\\updater.log", path);
    wchar_t small[8];
    InstallPath(L"catalog.json", small, 8);
    EXPECT_EQ((dir_ + L"\\catalog.json").substr(0, 7), small);
    EXPECT_EQ(path, JoinPath(L"C:\\base", L"name", path, 1200));
    EXPECT_STREQ(L"C:\\base\\name", path);
}

TEST(InstallDirectory, IsTheFolderOfTheRunningProgram) {
    wchar_t self[1024];
    GetModuleFileNameW(nullptr, self, 1024);
    GetInstallDirectory();
    std::wstring expected(self);
    expected = expected.substr(0, expected.find_last_of(L"\\/"));
    EXPECT_EQ(expected, g_install_dir);
}

TEST_F(InstallDirTest, FilesAreNotDirectoriesAndDirectoriesAreNotFiles) {
    WriteFileBytes(dir_ + L"\\file", "x");
    MakeDirs(dir_ + L"\\folder");
    EXPECT_TRUE(FileExists((dir_ + L"\\file").c_str()));
    EXPECT_FALSE(DirectoryExists((dir_ + L"\\file").c_str()));
    EXPECT_TRUE(DirectoryExists((dir_ + L"\\folder").c_str()));
    EXPECT_FALSE(FileExists((dir_ + L"\\folder").c_str()));
    EXPECT_FALSE(FileExists((dir_ + L"\\missing").c_str()));
    EXPECT_FALSE(DirectoryExists((dir_ + L"\\missing").c_str()));
}

TEST_F(InstallDirTest, CreateDirectoryTreeMakesEveryMissingLevel) {
    std::wstring deep = dir_ + L"\\one\\two/three";
    EXPECT_TRUE(CreateDirectoryTree(deep.c_str()));
    EXPECT_TRUE(PathIsDir(dir_ + L"\\one\\two\\three"));
    EXPECT_TRUE(CreateDirectoryTree(deep.c_str()));  // already there
    // A file standing where a level should be makes the tree fail at the end.
    WriteFileBytes(dir_ + L"\\blocker", "x");
    EXPECT_FALSE(CreateDirectoryTree((dir_ + L"\\blocker\\below").c_str()));
    EXPECT_FALSE(PathIsDir(dir_ + L"\\blocker\\below"));
}

TEST_F(InstallDirTest, CreateParentDirectoryMakesOnlyTheParent) {
    std::wstring file = dir_ + L"\\a\\b\\file.txt";
    CreateParentDirectory(file.c_str());
    EXPECT_TRUE(PathIsDir(dir_ + L"\\a\\b"));
    EXPECT_FALSE(PathIsDir(file));
    CreateParentDirectory(L"no-separator");  // does nothing
    EXPECT_FALSE(PathIsDir(L"no-separator"));
}

TEST_F(InstallDirTest, FileSizeIsZeroForMissingAndEmptyFiles) {
    WriteFileBytes(dir_ + L"\\empty", "");
    WriteFileBytes(dir_ + L"\\five", "12345");
    EXPECT_EQ(0u, GetFileSize64((dir_ + L"\\missing").c_str()));
    EXPECT_EQ(0u, GetFileSize64((dir_ + L"\\empty").c_str()));
    EXPECT_EQ(5u, GetFileSize64((dir_ + L"\\five").c_str()));
}

TEST_F(InstallDirTest, ReadWholeFileOfAMissingFileIsNullWithSizeZero) {
    unsigned int size = 77;
    EXPECT_EQ(nullptr, ReadWholeFile((dir_ + L"\\missing").c_str(), &size));
    EXPECT_EQ(0u, size);
    WriteFileBytes(dir_ + L"\\small", "abc");
    char *data = ReadWholeFile((dir_ + L"\\small").c_str(), &size);
    ASSERT_NE(nullptr, data);
    EXPECT_EQ(3u, size);
    EXPECT_STREQ("abc", data);
    HeapFree(GetProcessHeap(), 0, data);
    data = ReadWholeFile((dir_ + L"\\small").c_str(), nullptr);  // size is optional
    ASSERT_NE(nullptr, data);
    HeapFree(GetProcessHeap(), 0, data);
}

TEST_F(InstallDirTest, ReadWholeFileOfAFileHeldWithoutReadSharingFails) {
    std::wstring path = dir_ + L"\\locked";
    WriteFileBytes(path, "data");
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    unsigned int size = 5;
    EXPECT_EQ(nullptr, ReadWholeFile(path.c_str(), &size));
    EXPECT_EQ(0u, size);
    CloseHandle(h);
}

TEST_F(InstallDirTest, WriteWholeFileReplacesContentAndReportsFailure) {
    std::wstring path = dir_ + L"\\out.bin";
    WriteFileBytes(path, "old content that is longer");
    EXPECT_TRUE(WriteWholeFile(path.c_str(), "new", 3));
    EXPECT_EQ("new", ReadFileBytes(path));
    EXPECT_TRUE(WriteTextFile(path.c_str(), "text\r\n"));
    EXPECT_EQ("text\r\n", ReadFileBytes(path));
    EXPECT_TRUE(WriteWholeFile(path.c_str(), "", 0));
    EXPECT_EQ("", ReadFileBytes(path));
    MakeDirs(dir_ + L"\\a-folder");
    EXPECT_FALSE(WriteWholeFile((dir_ + L"\\a-folder").c_str(), "x", 1));
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_FALSE(WriteWholeFile(path.c_str(), "x", 1));  // held open without sharing
    CloseHandle(h);
}

TEST_F(InstallDirTest, DeleteFileIfPresent) {
    WriteFileBytes(dir_ + L"\\gone.txt", "x");
    EXPECT_TRUE(DeleteFileIfPresent(L"gone.txt"));
    EXPECT_FALSE(PathIsFile(dir_ + L"\\gone.txt"));
    EXPECT_TRUE(DeleteFileIfPresent(L"never-there.txt"));
    WriteFileBytes(dir_ + L"\\held.txt", "x");
    HANDLE h = CreateFileW((dir_ + L"\\held.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_FALSE(DeleteFileIfPresent(L"held.txt"));
    CloseHandle(h);
}

TEST_F(InstallDirTest, LogLinesAreAppendedWithCrLfAndNothingElse) {
    std::wstring log = dir_ + L"\\logs\\updater.log";
    LogLine("first");
    EXPECT_EQ("first\r\n", ReadFileBytes(log));
    LogLine("second line");
    LogLine("");
    EXPECT_EQ("first\r\nsecond line\r\n\r\n", ReadFileBytes(log));
}

TEST_F(InstallDirTest, LogFailureAddsTheErrorNumberInParentheses) {
    std::wstring log = dir_ + L"\\logs\\updater.log";
    WriteFileBytes(log, "earlier\r\n");
    GetFileAttributesW((dir_ + L"\\does-not-exist").c_str());  // fails with error 2
    LogFailure("Self-update setup launch failed");
    EXPECT_EQ("earlier\r\nSelf-update setup launch failed (2)\r\n", ReadFileBytes(log));
    SetLastError(4294967295u);
    LogFailure("X failed");
    EXPECT_EQ("earlier\r\nSelf-update setup launch failed (2)\r\nX failed (4294967295)\r\n",
              ReadFileBytes(log));
}

TEST_F(InstallDirTest, LogFailureStaysWithin191Bytes) {
    std::wstring log = dir_ + L"\\logs\\updater.log";
    SetLastError(123);
    LogFailure(std::string(200, 'm').c_str());  // the message alone fills the line
    SetLastError(123);
    LogFailure(std::string(188, 'n').c_str());  // room for " (" and one digit only
    SetLastError(5);
    LogFailure(std::string(187, 'o').c_str());  // room for " (5" and ")"
    EXPECT_EQ(std::string(191, 'm') + "\r\n" + std::string(188, 'n') + " (1\r\n" +
                  std::string(187, 'o') + " (5)\r\n",
              ReadFileBytes(log));
}

TEST_F(InstallDirTest, LogLineIsDroppedWhenTheLogCannotBeOpened) {
    std::wstring log = dir_ + L"\\logs\\updater.log";
    LogLine("kept");
    HANDLE h = CreateFileW(log.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    LogLine("lost");
    CloseHandle(h);
    LogLine("after");
    EXPECT_EQ("kept\r\nafter\r\n", ReadFileBytes(log));
}

TEST_F(InstallDirTest, LogLineSharesTheFileWithAReader) {
    std::wstring log = dir_ + L"\\logs\\updater.log";
    LogLine("one");
    HANDLE reader = CreateFileW(log.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, reader);
    LogLine("two");
    CloseHandle(reader);
    EXPECT_EQ("one\r\ntwo\r\n", ReadFileBytes(log));
}

TEST_F(InstallDirTest, LongPathsGetTheirPrefixedFullFormAndWork) {
    wchar_t path[2100];
    WideCopy(path, L"C:\\games\\short.bin", 2100);
    LongPathForm(path, 2100);
    EXPECT_STREQ(L"C:\\games\\short.bin", path);  // short paths go as they are

    const std::wstring name(250, L'd');
    WideCopy(path, (L"C:\\games\\" + name + L"/sub\\..\\file.bin").c_str(), 2100);
    LongPathForm(path, 2100);
    EXPECT_EQ(L"\\\\?\\C:\\games\\" + name + L"\\file.bin", std::wstring(path));
    LongPathForm(path, 2100);  // already in that form
    EXPECT_EQ(L"\\\\?\\C:\\games\\" + name + L"\\file.bin", std::wstring(path));

    WideCopy(path, (L"\\\\server\\share\\" + name + L"\\f").c_str(), 2100);
    LongPathForm(path, 2100);
    EXPECT_EQ(L"\\\\?\\UNC\\server\\share\\" + name + L"\\f", std::wstring(path));

    const std::wstring plain = L"C:\\games\\" + name + L"\\f";
    WideCopy(path, plain.c_str(), (unsigned long long)plain.size() + 2);
    LongPathForm(path, (unsigned long long)plain.size() + 2);  // the long form would not fit
    EXPECT_EQ(plain, std::wstring(path));

    // The long form of a deep file works with the runtime's own file helpers.
    std::wstring deep = dir_;
    for (int i = 0; i < 4; ++i) deep += L"\\" + std::wstring(90, (wchar_t)(L'a' + i));
    deep += L"\\file.bin";
    WideCopy(path, deep.c_str(), 2100);
    LongPathForm(path, 2100);
    ASSERT_EQ(0, wcsncmp(path, L"\\\\?\\", 4));
    CreateParentDirectory(path);
    EXPECT_TRUE(WriteWholeFile(path, "deep", 4));
    EXPECT_TRUE(FileExists(path));
    EXPECT_EQ(4u, GetFileSize64(path));
    EXPECT_EQ("deep", ReadFileBytes(deep));
}

// Replacing a file others read: the new content or the old one, never a
// part, and never a leftover temporary file; a failure tells its error.
TEST_F(InstallDirTest, ReplaceFileWithBytesLeavesTheOldFileOrTheNewOne) {
    const std::wstring target = dir_ + L"\\state.txt";
    const std::wstring temporary = dir_ + L"\\state.txt.new";
    WriteFileBytes(target, "old");
    ASSERT_TRUE(ReplaceFileWithBytes(target.c_str(), temporary.c_str(), "new!", 4));
    EXPECT_EQ("new!", ReadFileBytes(target));
    EXPECT_FALSE(PathIsFile(temporary));

    // Held without sharing for longer than a brief lock: refused, old kept.
    HANDLE held = CreateFileW(target.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    EXPECT_FALSE(ReplaceFileWithBytes(target.c_str(), temporary.c_str(), "other", 5));
    const DWORD error = GetLastError();
    CloseHandle(held);
    EXPECT_TRUE(error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED) << error;
    EXPECT_EQ("new!", ReadFileBytes(target));
    EXPECT_FALSE(PathIsFile(temporary));

    // A program reading the file while another replaces it again and again
    // finds one whole version every time: never a missing file (a reader
    // that refused delete sharing made the rename fail, or under Wine its
    // own open), never a mix.
    std::atomic<bool> writing{true};
    std::atomic<int> replaced{0};
    std::thread writer([&] {
        const ULONGLONG start = GetTickCount64();
        for (int i = 0; i < 400 && GetTickCount64() - start < 20000; ++i) {
            const char *bytes = (i % 2) ? "version one" : "version two";
            if (ReplaceFileWithBytes(target.c_str(), temporary.c_str(), bytes, 11)) ++replaced;
        }
        writing = false;
    });
    int reads = 0, missing = 0, mixed = 0;
    while (writing) {
        unsigned int size = 0;
        char *bytes = ReadWholeFile(target.c_str(), &size);
        ++reads;
        if (!bytes) {
            ++missing;
            continue;
        }
        const std::string seen(bytes, size);
        if (seen != "version one" && seen != "version two" && seen != "new!") ++mixed;
        HeapFree(GetProcessHeap(), 0, bytes);
        // A reader that never lets go would keep every rename waiting (an
        // open file cannot be replaced); real readers read and move on.
        Sleep(reads % 2);
    }
    writer.join();
    EXPECT_EQ(0, missing) << "of " << reads << " reads";
    EXPECT_EQ(0, mixed);
    // The saves went on beside the reads (each one that met a read retried).
    EXPECT_GE(replaced.load(), 200) << "in 20 s";

    // The failure line names the error and both paths.
    const std::wstring log = dir_ + L"\\logs\\updater.log";
    LogFailedStep("Commit failed", error, temporary.c_str(), target.c_str());
    LogFailedStep("Download failed", ERROR_DISK_FULL, L"/games/a/b.pak", nullptr);
    EXPECT_EQ(FailedStepLine("Commit failed", error, temporary, target) +
                  FailedStepLine("Download failed", ERROR_DISK_FULL, L"/games/a/b.pak"),
              ReadFileBytes(log));
}
