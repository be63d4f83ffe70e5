// Text rules, the document writer and the signature text reader.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto.h"
#include "json_out.h"
#include "manifest.h"
#include "text_rules.h"

namespace orv {
namespace {

TEST(IdRule, AcceptsOnlyLowerCaseDigitsDashUnderscore) {
  EXPECT_TRUE(IsSafeId("first-title"));
  EXPECT_TRUE(IsSafeId("game_2"));
  EXPECT_FALSE(IsSafeId(""));
  EXPECT_FALSE(IsSafeId("First-Title"));
  EXPECT_FALSE(IsSafeId("first title"));
  EXPECT_FALSE(IsSafeId("a.b"));
  EXPECT_FALSE(IsSafeId("caf\xc3\xa9"));
}

TEST(RelativePathRule, NamesTheReason) {
  EXPECT_EQ("", RelativePathProblem("games/first"));
  EXPECT_EQ("", RelativePathProblem("games\\first"));
  EXPECT_EQ("empty path", RelativePathProblem(""));
  EXPECT_EQ("leading separator", RelativePathProblem("/abs"));
  EXPECT_EQ("leading separator", RelativePathProblem("\\abs"));
  EXPECT_EQ("colon (drive letter or stream name)", RelativePathProblem("C:/x"));
  EXPECT_EQ("parent reference", RelativePathProblem("a/../b"));
  EXPECT_EQ("parent reference", RelativePathProblem("..\\x"));
  EXPECT_EQ("two consecutive dots in a name", RelativePathProblem("a..b"));
  for (char c : std::string("\"*<>?|")) {
    std::string path = std::string("a") + c + "b";
    EXPECT_EQ(std::string("character \"") + c + "\" is not allowed", RelativePathProblem(path))
        << path;
    EXPECT_FALSE(IsSafeRelativePath(path));
  }
}

TEST(FilePathRule, RefusesWhatWindowsOrAnAddressCannotCarry) {
  EXPECT_EQ("", FilePathProblem("Save Games/slot 1.dat"));
  EXPECT_EQ("", FilePathProblem(".hidden/x"));
  EXPECT_EQ("", FilePathProblem("console.log"));  // only the exact device stems are reserved
  EXPECT_EQ("", FilePathProblem("com10"));
  EXPECT_NE("", FilePathProblem("com0"));  // COM0 and LPT0 are devices too
  EXPECT_NE("", FilePathProblem("data/CONOUT$.txt"));
  EXPECT_NE("", FilePathProblem("a\\b"));
  EXPECT_NE("", FilePathProblem("a//b"));
  EXPECT_NE("", FilePathProblem("./a"));
  EXPECT_NE("", FilePathProblem("a/b/"));
  EXPECT_NE("", FilePathProblem("CON"));
  EXPECT_NE("", FilePathProblem("dir/aux.txt"));
  EXPECT_NE("", FilePathProblem("LPT9.dat"));
  EXPECT_NE("", FilePathProblem("name."));
  EXPECT_NE("", FilePathProblem("name /x"));
  EXPECT_NE("", FilePathProblem("{x}"));
  EXPECT_NE("", FilePathProblem("a%20b"));
  EXPECT_NE("", FilePathProblem("a#b"));
  EXPECT_NE("", FilePathProblem("a\x01" "b"));
  EXPECT_NE("", FilePathProblem("\xe3\x81\x82"));
  // The launcher's own rules come first.
  EXPECT_EQ("parent reference", FilePathProblem("a/../b"));
}

TEST(HostPathRule, FilesAndPrefixes) {
  EXPECT_EQ("", HostPathProblem("/games/first-title/stable/manifest.json", false));
  EXPECT_EQ("", HostPathProblem("/manifest.json", false));
  EXPECT_EQ("", HostPathProblem("/", true));
  EXPECT_EQ("", HostPathProblem("/cdn/a/", true));
  EXPECT_EQ("must begin with \"/\"", HostPathProblem("games/m.json", false));
  EXPECT_EQ("must name a file, not a folder", HostPathProblem("/games/", false));
  EXPECT_EQ("must end with \"/\"", HostPathProblem("/cdn", true));
  EXPECT_EQ("parent reference", HostPathProblem("/a/../m.json", false));
  EXPECT_EQ("leading separator", HostPathProblem("//m.json", false));
  EXPECT_EQ("empty folder name", HostPathProblem("/a//m.json", false));
  EXPECT_EQ("empty folder name", HostPathProblem("/cdn//", true));
}

TEST(DefaultUrl, ManifestFolderThenFiles) {
  EXPECT_EQ("/games/first-title/stable/files/bin/game.dat",
            DefaultFileUrl("/games/first-title/stable/manifest.json", "bin/game.dat"));
  EXPECT_EQ("/files/a/b.dat", DefaultFileUrl("/manifest.json", "a\\b.dat"));
}

TEST(Utf8, ValidityAndUtf16Length) {
  EXPECT_TRUE(IsValidUtf8("plain"));
  EXPECT_TRUE(IsValidUtf8("\xe3\x83\xa1\xe3\x83\xb3\xe3\x83\x86"));  // katakana
  EXPECT_TRUE(IsValidUtf8("\xf0\x9f\x8e\xae"));                      // U+1F3AE
  EXPECT_FALSE(IsValidUtf8("\xc3"));                                 // cut short
  EXPECT_FALSE(IsValidUtf8("\xc0\xaf"));                             // overlong
  EXPECT_FALSE(IsValidUtf8("\xed\xa0\x80"));                         // surrogate
  EXPECT_FALSE(IsValidUtf8("\xf4\x90\x80\x80"));                     // above U+10FFFF
  EXPECT_FALSE(IsValidUtf8("\xff"));
  EXPECT_EQ(3u, Utf16Units("\xe3\x83\xa1\xe3\x83\xb3\xe3\x83\x86"));
  EXPECT_EQ(2u, Utf16Units("\xf0\x9f\x8e\xae"));
  EXPECT_EQ(5u, Utf16Units("a\xc3\xa9" "bcd"));
}

TEST(TextRule, ReadAndFieldCapacitiesAtTheirEdges) {
  // A title is read into 180 bytes and stored in 128 units, terminators included.
  EXPECT_EQ("", TextProblem(std::string(127, 'a'), false, 180, 128));
  EXPECT_NE("", TextProblem(std::string(128, 'a'), false, 180, 128));
  std::string kana;
  for (int i = 0; i < 59; ++i) kana += "\xe3\x81\x82";  // 177 bytes, 59 units
  EXPECT_EQ("", TextProblem(kana, false, 180, 128));
  EXPECT_NE("", TextProblem(kana + "\xe3\x81\x82", false, 180, 128));  // 180 bytes
  EXPECT_EQ("", TextProblem("line\nbreak", true, 640, 320));
  EXPECT_EQ("control character", TextProblem("line\nbreak", false, 640, 320));
  EXPECT_EQ("control character", TextProblem("tab\there", true, 640, 320));
  EXPECT_EQ("not valid UTF-8", TextProblem("\xc3(", false, 640, 320));
}

TEST(VersionRule, TextAndComparison) {
  EXPECT_EQ("", VersionProblem("1.2.0"));
  EXPECT_EQ("", VersionProblem("0.9.1-beta+7"));
  EXPECT_NE("", VersionProblem(""));
  EXPECT_NE("", VersionProblem("1.0\""));
  EXPECT_NE("", VersionProblem("1.0\\"));
  EXPECT_NE("", VersionProblem(std::string(96, '1')));
  EXPECT_EQ(2, VersionComponent("v2.5", 0));
  EXPECT_EQ(2, VersionComponent("1.0.0-rc2", 2));
  EXPECT_EQ(3, VersionComponent("1.0.3-rc2", 2));
  EXPECT_EQ(0, VersionComponent("1.2", 2));
  EXPECT_TRUE(IsVersionOlder("1.0.0", "1.0.1"));
  EXPECT_TRUE(IsVersionOlder("1.0.0", "1.1"));
  EXPECT_FALSE(IsVersionOlder("1.0.0", "1.0"));
  EXPECT_FALSE(IsVersionOlder("1.0.0", "1.0.0.9"));
  EXPECT_TRUE(IsVersionOlder("1.0.0", "1.0.0-rc2"));
  EXPECT_FALSE(IsVersionOlder("1.10.0", "1.9.9"));
}

TEST(JsonWriter, EscapesOnlyWhatTheReaderTurnsBack) {
  EXPECT_EQ("a\\\"b\\\\c\\nd/e\xc3\xa9", JsonEscape("a\"b\\c\nd/e\xc3\xa9"));
}

TEST(JsonWriter, LayoutTwoSpacesPerLevelCrLf) {
  JsonObject doc = {JsonNumber("schema", 1), JsonBool("ok", false),
                    JsonArray("items", {{JsonString("title", "A")}, {JsonString("title", "B")}}),
                    JsonArray("none", {})};
  EXPECT_EQ(
      "{\r\n  \"schema\": 1,\r\n  \"ok\": false,\r\n  \"items\": [\r\n    {\r\n"
      "      \"title\": \"A\"\r\n    },\r\n    {\r\n      \"title\": \"B\"\r\n    }\r\n"
      "  ],\r\n  \"none\": []\r\n}\r\n",
      RenderJson(doc));
}

TEST(JsonWriter, StructureProblemsOfTheKeySearchReader) {
  // A value equal to a later key hides that key; an earlier one is harmless.
  EXPECT_NE("", StructureProblem({JsonString("announcement", "signal"),
                                  JsonString("signal", "x")}));
  EXPECT_EQ("", StructureProblem({JsonString("signal", "x"),
                                  JsonString("announcement", "signal")}));
  // Braces matter only inside list entries, where the reader counts them.
  EXPECT_EQ("", StructureProblem({JsonString("announcement", "{ok}")}));
  EXPECT_NE("", StructureProblem({JsonArray("items", {{JsonString("title", "a}b")}})}));
  EXPECT_NE("", StructureProblem(
                    {JsonArray("files", {{JsonString("path", "size"), JsonNumber("size", 1)}})}));
  // Quotes are escaped, so a quoted key name inside a value is no match.
  EXPECT_EQ("", StructureProblem({JsonString("a", "\"b\""), JsonString("b", "x")}));
}

TEST(SignatureText, DecodesLikeTheLauncher) {
  std::string hex;
  for (int i = 0; i < 256; ++i) hex += "a5";
  std::vector<unsigned char> sig;
  EXPECT_TRUE(DecodeSignatureHex(hex, &sig));
  ASSERT_EQ(256u, sig.size());
  EXPECT_EQ(0xa5, sig[0]);
  std::string spaced = " " + hex.substr(0, 1) + "\r\n" + hex.substr(1) + "\t\n";
  EXPECT_TRUE(DecodeSignatureHex(spaced, &sig));  // even between the digits of a byte
  EXPECT_FALSE(DecodeSignatureHex(hex.substr(2), &sig));
  EXPECT_FALSE(DecodeSignatureHex(hex + "00", &sig));
  EXPECT_FALSE(DecodeSignatureHex(hex + "0", &sig));
  EXPECT_FALSE(DecodeSignatureHex("\xef\xbb\xbf" + hex, &sig));
  EXPECT_FALSE(DecodeSignatureHex(hex.substr(1) + "g", &sig));
}

TEST(Sha256Hex, ExactlySixtyFourDigits) {
  EXPECT_TRUE(IsSha256Hex(std::string(64, 'A')));
  EXPECT_FALSE(IsSha256Hex(std::string(63, 'a')));
  EXPECT_FALSE(IsSha256Hex(std::string(64, 'a') + " "));
  EXPECT_FALSE(IsSha256Hex(std::string(63, 'a') + "g"));
}

TEST(Sha256Stream, KnownDigests) {
  Sha256 empty;
  std::string hex;
  ASSERT_TRUE(empty.Finish(&hex));
  EXPECT_EQ("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", hex);
  Sha256 abc;
  ASSERT_TRUE(abc.Update("a", 1));
  ASSERT_TRUE(abc.Update("bc", 2));
  ASSERT_TRUE(abc.Finish(&hex));
  EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", hex);
}

}  // namespace
}  // namespace orv

namespace orv {
namespace {

TEST(ManifestBounds, TheLaunchersFileBoundAndDocumentCapHold) {
  std::vector<ManifestEntry> entries(kMaxFiles + 1);
  for (size_t i = 0; i < entries.size(); ++i) {
    entries[i].path = "f/" + std::to_string(i);
    entries[i].sha256 = std::string(64, 'a');
    entries[i].size = 5ull << 30;  // sizes past 4 GiB are written whole
  }
  std::string json, error;
  EXPECT_FALSE(RenderManifest("1", entries, &json, &error));
  EXPECT_NE(std::string::npos, error.find("the launcher takes at most")) << error;
  entries.pop_back();
  ASSERT_TRUE(RenderManifest("1", entries, &json, &error)) << error;
  EXPECT_NE(std::string::npos, json.find("\"size\": 5368709120"));
  EXPECT_LE(json.size(), kMaxDocumentBytes);
}

TEST(ManifestBounds, TheDeepestPathUnderATypicalLibraryRoot) {
  std::vector<FolderFile> files = {{"a.bin", ""}, {std::string(150, 'd') + "/x.bin", ""}, {"b", ""}};
  std::string deepest;
  size_t full = DeepestTypicalPath("my-game", files, &deepest);
  EXPECT_EQ(files[1].relative, deepest);
  // "C:\Users\" + 20 + "\AppData\Local\ORVELANT\Games\" + "my-game" + "\" + 156
  EXPECT_EQ(std::string("C:\\Users\\").size() + 20 + std::string("\\AppData\\Local\\ORVELANT\\Games\\").size() +
                7 + 1 + 156,
            full);
}

TEST(RelativePathRule, DeviceNamesAreRefusedByTheLaunchersOwnRule) {
  EXPECT_EQ("name \"aux.txt\" is a reserved Windows device name", RelativePathProblem("sub/aux.txt"));
  EXPECT_EQ("name \"lpt1 .log\" is a reserved Windows device name", RelativePathProblem("lpt1 .log"));
  EXPECT_FALSE(IsSafeRelativePath("a/COM1"));
  EXPECT_FALSE(IsSafeId(std::string("ab\0c", 4)));
}

}  // namespace
}  // namespace orv
