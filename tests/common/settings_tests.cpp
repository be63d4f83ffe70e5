// Settings key values, directory rules and the pause flag, on Wine's real
// HKEY_CURRENT_USER and file system (linked with the Worker's runtime).
#include <gtest/gtest.h>

#include "runtime.h"
#include "settings.h"
#include "test_support.h"

using namespace orv_test;

class SettingsTest : public ::testing::Test {
protected:
    SettingsGuard guard_;
};

TEST_F(SettingsTest, LibraryRootTextIsReadOnlyAsNonEmptyRegSz) {
    wchar_t out[1024];
    EXPECT_FALSE(ReadSettingText(L"LibraryRoot", out, 1024));  // value absent
    SettingsGuard::SetText(L"LibraryRoot", L"D:\\Games\\ORVELANT Games");
    EXPECT_TRUE(ReadSettingText(L"LibraryRoot", out, 1024));
    EXPECT_STREQ(L"D:\\Games\\ORVELANT Games", out);
    SettingsGuard::SetText(L"LibraryRoot", L"");
    EXPECT_FALSE(ReadSettingText(L"LibraryRoot", out, 1024));
    SettingsGuard::SetText(L"LibraryRoot", L"%LOCALAPPDATA%\\Games", REG_EXPAND_SZ);
    EXPECT_FALSE(ReadSettingText(L"LibraryRoot", out, 1024));
    SettingsGuard::SetNumber(L"LibraryRoot", 5);
    EXPECT_FALSE(ReadSettingText(L"LibraryRoot", out, 1024));
}

TEST_F(SettingsTest, LibraryRootOf1023CharactersFitsAnd1024DoNot) {
    wchar_t out[1024];
    std::wstring fits = L"C:\\" + std::wstring(1020, L'a');
    SettingsGuard::SetText(L"LibraryRoot", fits);
    EXPECT_TRUE(ReadSettingText(L"LibraryRoot", out, 1024));
    EXPECT_EQ(fits, out);
    SettingsGuard::SetText(L"LibraryRoot", fits + L"b");
    EXPECT_FALSE(ReadSettingText(L"LibraryRoot", out, 1024));
}

TEST_F(SettingsTest, BandwidthIsReadOnlyAsDword) {
    EXPECT_EQ(0u, ReadSettingNumber(L"BandwidthKbps", 0));
    EXPECT_EQ(9u, ReadSettingNumber(L"BandwidthKbps", 9));
    SettingsGuard::SetNumber(L"BandwidthKbps", 777);
    EXPECT_EQ(777u, ReadSettingNumber(L"BandwidthKbps", 0));
    SettingsGuard::SetText(L"BandwidthKbps", L"1024");
    EXPECT_EQ(0u, ReadSettingNumber(L"BandwidthKbps", 0));
}

TEST_F(SettingsTest, WritesCreateTheKeyAndReadBack) {
    RegDeleteTreeW(HKEY_CURRENT_USER, ORV_SETTINGS_KEY);
    EXPECT_TRUE(WriteSettingNumber(L"BandwidthKbps", 2048));
    EXPECT_EQ(2048u, ReadSettingNumber(L"BandwidthKbps", 0));
    EXPECT_TRUE(WriteSettingText(L"LibraryRoot", L"E:\\ORVELANT Games"));
    wchar_t out[1024];
    EXPECT_TRUE(ReadSettingText(L"LibraryRoot", out, 1024));
    EXPECT_STREQ(L"E:\\ORVELANT Games", out);
    // Stored with its terminator, as REG_SZ.
    DWORD type = 0, bytes = 0;
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, ORV_SETTINGS_KEY, 0, KEY_READ, &key));
    RegQueryValueExW(key, L"LibraryRoot", nullptr, &type, nullptr, &bytes);
    RegCloseKey(key);
    EXPECT_EQ((DWORD)REG_SZ, type);
    EXPECT_EQ((DWORD)(wcslen(L"E:\\ORVELANT Games") + 1) * 2, bytes);
}

TEST_F(SettingsTest, WorkersFailedTextReadLeavesAnEmptyDestination) {
    wchar_t out[1024];
    WideCopy(out, L"stale", 1024);
    EXPECT_FALSE(ReadSettingText(L"LibraryRoot", out, 1024));
    EXPECT_STREQ(L"", out);
    SettingsGuard::SetText(L"LibraryRoot", L"X:\\y", REG_EXPAND_SZ);
    WideCopy(out, L"stale", 1024);
    EXPECT_FALSE(ReadSettingText(L"LibraryRoot", out, 1024));
    EXPECT_STREQ(L"", out);
}

TEST(EnvironmentBase, FallbackWhenUnsetEmptyOrTooLong) {
    EnvGuard env;
    wchar_t out[kEnvironmentBaseUnits];
    env.Set(L"ORV_TEST_BASE", L"C:\\Users\\p\\AppData\\Local");
    ReadEnvironmentBase(L"ORV_TEST_BASE", L"fallback", out);
    EXPECT_STREQ(L"C:\\Users\\p\\AppData\\Local", out);
    env.Set(L"ORV_TEST_BASE", nullptr);
    ReadEnvironmentBase(L"ORV_TEST_BASE", L"fallback", out);
    EXPECT_STREQ(L"fallback", out);
    env.Set(L"ORV_TEST_BASE", L"");
    ReadEnvironmentBase(L"ORV_TEST_BASE", L"fallback", out);
    EXPECT_STREQ(L"fallback", out);
    std::wstring v899(899, L'x');
    env.Set(L"ORV_TEST_BASE", v899.c_str());
    ReadEnvironmentBase(L"ORV_TEST_BASE", L"fallback", out);
    EXPECT_EQ(v899, out);
    std::wstring v900(900, L'y');
    env.Set(L"ORV_TEST_BASE", v900.c_str());
    ReadEnvironmentBase(L"ORV_TEST_BASE", L"fallback", out);
    EXPECT_STREQ(L"fallback", out);
}

TEST_F(SettingsTest, LibraryRootResolution) {
    EnvGuard env;
    WideCopy(g_install_dir, L"C:\\Inst\\ORVELANT Launcher", kInstallDirUnits);
    env.Set(L"LOCALAPPDATA", L"C:\\Users\\p\\AppData\\Local");
    ResolveLibraryRoot();
    EXPECT_STREQ(L"C:\\Users\\p\\AppData\\Local\\ORVELANT\\Games", g_library_root);

    // The stored root is taken exactly as stored: not checked, not normalised.
    SettingsGuard::SetText(L"LibraryRoot", L"relative/odd\\ ");
    ResolveLibraryRoot();
    EXPECT_STREQ(L"relative/odd\\ ", g_library_root);

    SettingsGuard::SetText(L"LibraryRoot", L"");
    env.Set(L"LOCALAPPDATA", nullptr);
    ResolveLibraryRoot();
    EXPECT_STREQ(L"C:\\Inst\\ORVELANT Launcher\\ORVELANT\\Games", g_library_root);

    env.Set(L"LOCALAPPDATA", std::wstring(900, L'z').c_str());
    ResolveLibraryRoot();
    EXPECT_STREQ(L"C:\\Inst\\ORVELANT Launcher\\ORVELANT\\Games", g_library_root);
}

TEST(SetupDirectories, DefaultsUnderLocalAppDataOrTheCurrentDirectory) {
    EnvGuard env;
    wchar_t out[1024];
    env.Set(L"LOCALAPPDATA", L"C:\\L");
    env.Set(L"TEMP", L"C:\\T");
    DefaultInstallDirectory(out, 1024);
    EXPECT_STREQ(L"C:\\L\\Programs\\ORVELANT Launcher", out);
    DefaultLibraryRoot(out, 1024);
    EXPECT_STREQ(L"C:\\L\\ORVELANT\\Games", out);
    SetupTempDirectory(out, 1024);
    EXPECT_STREQ(L"C:\\T\\ORVELANT_Setup_1.0.0", out);
    env.Set(L"LOCALAPPDATA", nullptr);
    env.Set(L"TEMP", nullptr);
    DefaultInstallDirectory(out, 1024);
    EXPECT_STREQ(L".\\Programs\\ORVELANT Launcher", out);
    DefaultLibraryRoot(out, 1024);
    EXPECT_STREQ(L".\\ORVELANT\\Games", out);
    SetupTempDirectory(out, 1024);
    EXPECT_STREQ(L".\\ORVELANT_Setup_1.0.0", out);
    wchar_t small[10];
    env.Set(L"LOCALAPPDATA", L"C:\\L");
    DefaultInstallDirectory(small, 10);
    EXPECT_STREQ(L"C:\\L\\Prog", small);
}

TEST(PauseFlag, OnlyAFileOfThatNamePauses) {
    std::wstring dir = FreshScratchDir();
    WideCopy(g_install_dir, dir.c_str(), kInstallDirUnits);
    std::wstring flag = dir + L"\\pause.download";
    EXPECT_FALSE(IsPauseFlagSet());
    EXPECT_TRUE(SetPauseFlag());
    EXPECT_TRUE(IsPauseFlagSet());
    EXPECT_EQ("", ReadFileBytes(flag));
    WriteFileBytes(flag, "not empty");  // content is never read
    EXPECT_TRUE(IsPauseFlagSet());
    EXPECT_TRUE(SetPauseFlag());  // recreated empty
    EXPECT_EQ("", ReadFileBytes(flag));
    ClearPauseFlag();
    EXPECT_FALSE(IsPauseFlagSet());
    EXPECT_FALSE(PathIsFile(flag));
    ClearPauseFlag();  // nothing to delete
    MakeDirs(flag);
    EXPECT_FALSE(IsPauseFlagSet());
}

// The final path decides: "." and trailing dots or blanks resolve to the
// root itself, a sibling that merely starts with the root's name is outside.
TEST(LibraryRootCheck, OnlyPathsStrictlyBelowTheRoot) {
    wchar_t saved[kLibraryRootUnits];
    WideCopy(saved, g_library_root, kLibraryRootUnits);
    for (const wchar_t *root : {L"C:\\Lib\\Games", L"C:\\Lib\\Games\\", L"c:/lib/games"}) {
        WideCopy(g_library_root, root, kLibraryRootUnits);
        for (const wchar_t *in : {L"C:\\Lib\\Games\\first-title", L"C:\\Lib\\Games\\a\\b",
                                  L"c:\\lib\\GAMES\\x", L"C:\\Lib\\Games\\.\\x",
                                  L"C:\\Lib\\Games\\x\\..\\y"})
            EXPECT_TRUE(IsInsideLibraryRoot(in)) << Narrow(root) << " " << Narrow(in);
        for (const wchar_t *out :
             {L"C:\\Lib\\Games", L"C:\\Lib\\Games\\", L"C:\\Lib\\Games\\.", L"C:\\Lib\\Games\\ ",
              L"C:\\Lib\\Games\\. .", L"C:\\Lib\\Games\\x\\..", L"C:\\Lib\\Games2\\x",
              L"C:\\Lib\\Gam", L"C:\\Lib", L"C:\\", L"D:\\Lib\\Games\\x", L"C:\\Lib\\Games\\..\\x", L""})
            EXPECT_FALSE(IsInsideLibraryRoot(out)) << Narrow(root) << " " << Narrow(out);
    }
    // A drive root as the library: its folders are inside, the drive is not.
    WideCopy(g_library_root, L"D:\\", kLibraryRootUnits);
    EXPECT_TRUE(IsInsideLibraryRoot(L"D:\\first-title"));
    EXPECT_FALSE(IsInsideLibraryRoot(L"D:\\"));
    WideCopy(g_library_root, L"", kLibraryRootUnits);
    EXPECT_FALSE(IsInsideLibraryRoot(L"C:\\x"));
    WideCopy(g_library_root, saved, kLibraryRootUnits);
}

// One key handle for many reads; a key deleted and made anew is found again.
TEST_F(SettingsTest, KeptKeyReadsFollowChangesAndARecreatedKey) {
    HKEY key = NULL;
    EXPECT_EQ(0u, ReadSettingNumberKept(&key, L"BandwidthKbps", 0));
    SettingsGuard::SetNumber(L"BandwidthKbps", 300);
    EXPECT_EQ(300u, ReadSettingNumberKept(&key, L"BandwidthKbps", 0));
    ASSERT_NE(nullptr, key);
    SettingsGuard::SetNumber(L"BandwidthKbps", 301);
    EXPECT_EQ(301u, ReadSettingNumberKept(&key, L"BandwidthKbps", 0));
    RegDeleteTreeW(HKEY_CURRENT_USER, ORV_SETTINGS_KEY);
    EXPECT_EQ(7u, ReadSettingNumberKept(&key, L"BandwidthKbps", 7));
    SettingsGuard::SetNumber(L"BandwidthKbps", 512);
    EXPECT_EQ(512u, ReadSettingNumberKept(&key, L"BandwidthKbps", 0));
    RegDeleteTreeW(HKEY_CURRENT_USER, ORV_SETTINGS_KEY);  // gone and back between two reads
    SettingsGuard::SetNumber(L"BandwidthKbps", 700);
    EXPECT_EQ(700u, ReadSettingNumberKept(&key, L"BandwidthKbps", 0));
    if (key) RegCloseKey(key);
}
