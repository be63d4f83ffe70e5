// The release description reader: values, defaults and the messages that
// point at the wrong line.
#include <gtest/gtest.h>

#include <string>

#include "description.h"

namespace orv {
namespace {

const char kProduct[] =
    "[product first-title]\n"
    "title = HALCYRA\n"
    "install_dir = first-title\n"
    "executable = ORVELANT.exe\n"
    "manifest_path = /games/first-title/stable/manifest.json\n"
    "folder = game\n"
    "version = 1.0.0\n";

bool Parse(const std::string& text, Release* r, std::string* error) {
  return ParseRelease(text, "rel.txt", "/base", r, error);
}

std::string ErrorOf(const std::string& text) {
  Release r;
  std::string error;
  EXPECT_FALSE(Parse(text, &r, &error)) << text;
  return error;
}

TEST(Description, DefaultsMatchTheLauncherDefaults) {
  Release r;
  std::string error;
  ASSERT_TRUE(Parse(kProduct, &r, &error)) << error;
  EXPECT_EQ("localhost", r.host);
  EXPECT_EQ("normal", r.control.service_state);
  EXPECT_EQ("SIGNAL // CURRENT", r.control.signal);
  EXPECT_TRUE(r.control.allow_offline);
  EXPECT_TRUE(r.control.store_enabled);
  EXPECT_FALSE(r.control.force_launcher_update);
  EXPECT_EQ("https://localhost/launcher/releases/v1.0.0/ORVELANT_Launcher_Setup_v1.0.0.exe",
            r.control.installer_url);
  EXPECT_EQ("", r.control.installer_sha256);
  ASSERT_EQ(1u, r.products.size());
  EXPECT_EQ("first-title", r.products[0].id);
  EXPECT_EQ("/base/game", r.products[0].folder);
  EXPECT_TRUE(r.news.empty());
}

TEST(Description, ValuesQuotesCommentsAndLineEnds) {
  Release r;
  std::string error;
  std::string text = "\xEF\xBB\xBF# top comment\r\nhost = updates.example\r\n\r\n[control]\r\n"
                     "  maintenance_message = \"  two\\nlines \\\"quoted\\\" \\\\ \"\r\n"
                     "announcement = raw # not a comment\r\n"
                     "signal =\r\n"
                     "allow_offline = false\r\n"
                     "installer_sha256 = ABCDEF0123456789abcdef0123456789ABCDEF0123456789abcdef0123456789\r\n" +
                     std::string(kProduct);
  ASSERT_TRUE(Parse(text, &r, &error)) << error;
  EXPECT_EQ("updates.example", r.host);
  EXPECT_EQ("  two\nlines \"quoted\" \\ ", r.control.maintenance_message);
  EXPECT_EQ("raw # not a comment", r.control.announcement);
  EXPECT_EQ("", r.control.signal);
  EXPECT_FALSE(r.control.allow_offline);
  EXPECT_EQ("abcdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789",
            r.control.installer_sha256);
  EXPECT_EQ("https://updates.example/launcher/releases/v1.0.0/ORVELANT_Launcher_Setup_v1.0.0.exe",
            r.control.installer_url);
}

TEST(Description, ErrorsNameFileLineAndSection) {
  EXPECT_EQ("rel.txt:8: [product first-title] unknown key \"colour\"",
            ErrorOf(std::string(kProduct) + "colour = red\n"));
  EXPECT_EQ("rel.txt:9: title is already set on line 2",
            ErrorOf(std::string(kProduct) + "\ntitle = AGAIN\n"));
  EXPECT_EQ("rel.txt:1: unknown section [game x] (known: catalog, control, news, product ID)",
            ErrorOf("[game x]\n"));
  EXPECT_EQ("rel.txt:1: [product] needs an id: [product my-game]", ErrorOf("[product]\n"));
  EXPECT_EQ("rel.txt:2: section header must end with \"]\"", ErrorOf("\n[control\n"));
  EXPECT_EQ("rel.txt:3: [product first-title] install_dir \"a/../b\": parent reference",
            ErrorOf("[product first-title]\ntitle = T\ninstall_dir = a/../b\n"));
  EXPECT_EQ("rel.txt:1: [product first-title] needs executable",
            ErrorOf("[product first-title]\ntitle = T\ninstall_dir = a\n"));
  EXPECT_EQ("rel.txt: no [product ID] section; a catalog needs at least one product",
            ErrorOf("[control]\n"));
  EXPECT_EQ("rel.txt:2: signal: missing closing quote", ErrorOf("[control]\nsignal = \"abc\n"));
  EXPECT_EQ("rel.txt:2: signal: text after the closing quote",
            ErrorOf("[control]\nsignal = \"abc\" def\n"));
}

TEST(Description, LimitsOfTheLauncher) {
  std::string four;
  for (int i = 0; i < 4; ++i) four += "[news]\ntitle = n\n";
  EXPECT_NE(std::string::npos, ErrorOf(std::string(kProduct) + four).find("more than 3 [news]"));
  std::string many;
  for (int i = 0; i < 17; ++i) {
    std::string id = "p" + std::to_string(i);
    many += "[product " + id + "]\ntitle=T\ninstall_dir=" + id +
            "\nexecutable=a.exe\nmanifest_path=/" + id + "/m.json\nfolder=f\nversion=1\n";
  }
  EXPECT_NE(std::string::npos, ErrorOf(many).find("more than 16 products"));
  std::string id63(63, 'a'), id64(64, 'a');
  Release r;
  std::string error;
  std::string p63 = kProduct;
  p63.replace(p63.find("first-title]"), 11, id63);
  EXPECT_TRUE(Parse(p63, &r, &error)) << error;
  std::string p64 = kProduct;
  p64.replace(p64.find("first-title]"), 11, id64);
  EXPECT_NE(std::string::npos, ErrorOf(p64).find("longer than 63"));
}

TEST(Description, SetupAddressMustBeOnTheUpdateHost) {
  auto with = [](const std::string& url) {
    return "host = updates.example\n[control]\ninstaller_url = " + url + "\n" + kProduct;
  };
  Release r;
  std::string error;
  EXPECT_TRUE(Parse(with("https://updates.example/launcher/Setup.exe"), &r, &error)) << error;
  for (const char* url : {"https://UPDATES.example/Setup.exe", "https://updates.example:443/S.exe",
                          "http://updates.example/S.exe", "https://updates.example.evil/S.exe",
                          "https://updates.example", "https://updates.example/a/../S.exe"}) {
    EXPECT_FALSE(Parse(with(url), &r, &error)) << url;
  }
}

TEST(Description, WarnsAboutLikelyMistakes) {
  Release r;
  std::string error;
  ASSERT_TRUE(Parse("[control]\nservice_state = Maintenance\nmin_launcher_version = 1.2.0\n"
                    "latest_launcher_version = 1.1.0\n" +
                        std::string(kProduct),
                    &r, &error))
      << error;
  ASSERT_EQ(2u, r.warnings.size());
  EXPECT_NE(std::string::npos, r.warnings[0].find("letter case"));
  EXPECT_NE(std::string::npos, r.warnings[1].find("older than min_launcher_version"));
}

TEST(Description, ProductsMustNotShareFolders) {
  std::string second = std::string(kProduct);
  second.replace(second.find("first-title]"), 11, "other");
  second.replace(second.find("/games/first-title/stable/manifest.json"), 39, "/o/m.json");
  second.replace(second.find("install_dir = first-title"), 25, "install_dir = FIRST-TITLE");
  EXPECT_NE(std::string::npos,
            ErrorOf(std::string(kProduct) + second).find("is also the folder of product"));
}

}  // namespace
}  // namespace orv
