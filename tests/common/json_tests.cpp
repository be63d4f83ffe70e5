// Flat JSON reader over byte ranges.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "json.h"

namespace {

bool GetString(const std::string &doc, const char *key, std::string *out, unsigned cap = 128) {
    std::string buffer(cap, '\x7f');
    bool ok = JsonGetString(doc.c_str(), 0, doc.size(), key, &buffer[0], cap);
    *out = std::string(buffer.c_str());
    return ok;
}

}  // namespace

TEST(JsonFind, MatchesOnlyWhollyInsideTheRange) {
    const std::string doc = "abc\"id\"xyz";
    JsonOffset at = 99;
    EXPECT_TRUE(JsonFind(doc.c_str(), doc.size(), "\"id\"", 0, &at));
    EXPECT_EQ(3u, at);
    EXPECT_FALSE(JsonFind(doc.c_str(), 6, "\"id\"", 0, &at));  // would end past the range
    EXPECT_FALSE(JsonFind(doc.c_str(), doc.size(), "\"id\"", 4, &at));
    EXPECT_FALSE(JsonFind(doc.c_str(), doc.size(), "", 0, &at));
    EXPECT_FALSE(JsonFind(doc.c_str(), 3, "a", 3, &at));  // from >= end
}

TEST(JsonHasToken, NeedsMoreThanTwoBytes) {
    EXPECT_FALSE(JsonHasToken("ab", 2, "ab"));
    EXPECT_TRUE(JsonHasToken("{\"products\":[]}", 15, "\"products\""));
    EXPECT_FALSE(JsonHasToken("{\"product\":[]}", 14, "\"products\""));
    EXPECT_FALSE(JsonHasToken(nullptr, 10, "x"));
}

TEST(JsonGetString, EscapesAreTakenLiterallyExceptLineFeed) {
    std::string v;
    EXPECT_TRUE(GetString(R"({"t": "a\nb"})", "t", &v));
    EXPECT_EQ("a\nb", v);
    EXPECT_TRUE(GetString(R"({"t":"caf\u00e9"})", "t", &v));
    EXPECT_EQ("cafu00e9", v);
    EXPECT_TRUE(GetString(R"({"t":"say \"hi\" \\ \/ \t"})", "t", &v));
    EXPECT_EQ("say \"hi\" \\ / t", v);
}

TEST(JsonGetString, CapacityDecidesBetweenCompleteAndCut) {
    std::string v;
    EXPECT_TRUE(GetString(R"({"k":"1234567"})", "k", &v, 8));
    EXPECT_EQ("1234567", v);
    EXPECT_FALSE(GetString(R"({"k":"12345678"})", "k", &v, 8));
    EXPECT_EQ("1234567", v);
    // An escape counts as one byte of the value.
    EXPECT_TRUE(GetString(R"({"k":"123456\n"})", "k", &v, 8));
    EXPECT_EQ("123456\n", v);
}

TEST(JsonGetString, NonStringValuesLeaveTheDestinationUntouched) {
    const char *docs[] = {R"({"k": 12})", R"({"k": true})", R"({"k": null})",
                          R"({"k": {"x":"y"}})", R"({"k" "v"})", R"({"other":"v"})"};
    for (const char *d : docs) {
        char buffer[16] = "untouched";
        EXPECT_FALSE(JsonGetString(d, 0, strlen(d), "k", buffer, sizeof(buffer))) << d;
        EXPECT_STREQ("untouched", buffer) << d;
    }
}

TEST(JsonGetString, UnclosedValueAndBackslashAtTheEndOfTheRange) {
    std::string doc = R"({"k":"abc)";
    std::string v;
    EXPECT_FALSE(GetString(doc, "k", &v));
    EXPECT_EQ("abc", v);
    doc = R"({"k":"ab\)";
    EXPECT_FALSE(GetString(doc, "k", &v));
    EXPECT_EQ("ab\\", v);
}

TEST(JsonGetString, OnlyTheFirstOccurrenceOfTheKeyIsTried) {
    std::string v;
    EXPECT_FALSE(GetString(R"({"name":"id", "id":"real"})", "id", &v));
    EXPECT_TRUE(GetString(R"({"outer":{"id":"nested"}})", "id", &v));
    EXPECT_EQ("nested", v);
    EXPECT_TRUE(GetString("{\"id\" \r\n\t:\r\n \"spaced\"}", "id", &v));
    EXPECT_EQ("spaced", v);
}

TEST(JsonGetString, KeysLongerThan92BytesAreCut) {
    std::string key(100, 'k');
    std::string doc = "{\"" + key.substr(0, 92) + "\":\"v\"}";
    std::string v;
    EXPECT_TRUE(GetString(doc, key.c_str(), &v));
    EXPECT_EQ("v", v);
}

TEST(JsonGetString, RangesLimitTheSearch) {
    const std::string doc = R"([{"id":"a"},{"id":"b"}])";
    char out[8];
    EXPECT_TRUE(JsonGetString(doc.c_str(), 12, doc.size(), "id", out, sizeof(out)));
    EXPECT_STREQ("b", out);
    EXPECT_FALSE(JsonGetString(doc.c_str(), 0, 8, "id", out, sizeof(out)));  // value outside
}

TEST(JsonGetNumber, PlainDigitsOnly) {
    struct Case { const char *doc; bool ok; unsigned long long value; } cases[] = {
        {R"({"size": 12})", true, 12},
        {R"({"size":12.5})", true, 12},
        {R"({"size":-5})", false, 0},
        {R"({"size":"12"})", false, 0},
        {R"({"size":18446744073709551617})", true, 1},  // wraps modulo 2^64
        {R"({"size":})", false, 0},
    };
    for (const Case &c : cases) {
        unsigned long long v = 777;
        EXPECT_EQ(c.ok, (bool)JsonGetNumber(c.doc, 0, strlen(c.doc), "size", &v)) << c.doc;
        EXPECT_EQ(c.ok ? c.value : 777u, v) << c.doc;
    }
}

TEST(JsonGetBool, TrueFalseAndNothingElse) {
    int v = 7;
    EXPECT_TRUE(JsonGetBool(R"({"b":true})", 0, 10, "b", &v));
    EXPECT_EQ(1, v);
    EXPECT_TRUE(JsonGetBool(R"({"b": false})", 0, 12, "b", &v));
    EXPECT_EQ(0, v);
    v = 7;
    EXPECT_FALSE(JsonGetBool(R"({"b":"true"})", 0, 12, "b", &v));
    EXPECT_FALSE(JsonGetBool(R"({"b":1})", 0, 7, "b", &v));
    EXPECT_FALSE(JsonGetBool(R"({"b":tru})", 0, 7, "b", &v));  // word cut by the range
    EXPECT_EQ(7, v);
    EXPECT_TRUE(JsonGetBool(R"({"b":trueish})", 0, 13, "b", &v));  // what follows is not checked
}

namespace {
std::vector<std::string> Elements(const std::string &doc, const char *key) {
    std::vector<std::string> out;
    JsonOffset cursor = 0, end = 0, from = 0, to = 0;
    if (!JsonArrayBounds(doc.c_str(), doc.size(), key, &cursor, &end)) {
        out.push_back("<no array>");
        return out;
    }
    while (JsonNextObject(doc.c_str(), &cursor, end, &from, &to))
        out.push_back(doc.substr(from, to - from));
    return out;
}
}  // namespace

TEST(JsonArrays, WalksObjectElementsInOrder) {
    auto e = Elements(R"({"products":[{"id":"a","x":{"y":1}}, 5, "s", {"id":"b"}]})",
                      "\"products\"");
    ASSERT_EQ(2u, e.size());
    EXPECT_EQ(R"({"id":"a","x":{"y":1}})", e[0]);
    EXPECT_EQ(R"({"id":"b"})", e[1]);
    EXPECT_TRUE(Elements(R"({"products":[]})", "\"products\"").empty());
}

TEST(JsonArrays, MissingKeyOrBracketFails) {
    EXPECT_EQ(std::vector<std::string>{"<no array>"}, Elements(R"({"items":[]})", "\"products\""));
    EXPECT_EQ(std::vector<std::string>{"<no array>"}, Elements(R"({"products":{}})", "\"products\""));
}

TEST(JsonArrays, AnUnclosedArrayHasNoElements) {
    EXPECT_TRUE(Elements(R"({"products":[{"id":"a"},{"id":"b"})", "\"products\"").empty());
}

TEST(JsonArrays, BracesInsideStringsCountAsStructure) {
    // A "}" inside a string ends the element early; the rest is skipped.
    auto e = Elements(R"({"files":[{"path":"a}b","sha256":"x"}]})", "\"files\"");
    ASSERT_EQ(1u, e.size());
    EXPECT_EQ(R"({"path":"a})", e[0]);
    // A "]" inside a string at depth 0 is never reached inside an element, but
    // a "]" in a string between elements ends the array.
    e = Elements(R"({"files":[{"a":"]"}, "]", {"b":1}]})", "\"files\"");
    ASSERT_EQ(1u, e.size());
    // An element that never closes before the array end is no element.
    e = Elements(R"({"files":[{"a":"{"}]})", "\"files\"");
    EXPECT_TRUE(e.empty());
}

TEST(JsonArrays, ArrayEndOfAKeyFoundLater) {
    const std::string doc = R"({"version":"1","files" : [ {"path":"a"} ] })";
    JsonOffset at = 0;
    ASSERT_TRUE(JsonFind(doc.c_str(), doc.size(), "\"files\"", 0, &at));
    while (doc[at] != '[') ++at;
    JsonOffset end = JsonArrayEnd(doc.c_str(), doc.size(), at + 1);
    EXPECT_EQ(doc.find(']'), end);
}

TEST(SafeValues, Ids) {
    EXPECT_TRUE(IsSafeId("first-title"));
    EXPECT_TRUE(IsSafeId("a_0-9"));
    EXPECT_FALSE(IsSafeId(""));
    EXPECT_FALSE(IsSafeId(nullptr));
    EXPECT_FALSE(IsSafeId("First-title"));
    EXPECT_FALSE(IsSafeId("first.title"));
    EXPECT_FALSE(IsSafeId("a b"));
    EXPECT_FALSE(IsSafeId("a/b"));
}

TEST(SafeValues, RelativePaths) {
    for (const char *ok : {"game.exe", "bin/game.dat", "bin\\data\\x.pak", "a.b.c", "日本/ファイル"})
        EXPECT_TRUE(IsSafeRelativePath(ok)) << ok;
    for (const char *bad : {"", "/abs", "\\abs", "C:\\x", "c:x", "../up", "a/../b", "a..b",
                            "what?", "a*b", "a\"b", "a<b", "a>b", "a|b", "trailing.."})
        EXPECT_FALSE(IsSafeRelativePath(bad)) << bad;
    EXPECT_FALSE(IsSafeRelativePath(nullptr));
}

// A component Windows opens as a device (the stem before the first dot, with
// trailing dots and blanks dropped) makes the whole path unsafe.
TEST(SafeValues, DeviceNamesInAnyComponent) {
    for (const char *bad :
         {"COM1", "AUX", "PRN", "LPT1", "con", "Nul", "com0", "LPT9", "com1.log", "sub\\lpt1.txt",
          "sub/aux", "nul.tar.gz", "aux.", "con ", "CON . ", "lpt1 .txt", "COM\xc2\xb9",
          "lpt\xc2\xb2.dat", "com\xc2\xb3", "CONIN$", "conout$.txt", "a/b/PRN/c", "nul/x"})
        EXPECT_FALSE(IsSafeRelativePath(bad)) << bad;
    for (const char *ok : {"com10", "lpt", "console.log", "auxiliary", "nul_", "a/com1x/b",
                           "comX", "com\xc2\xb4", "conin", "xcon", "prn-notes.txt", ".con"})
        EXPECT_TRUE(IsSafeRelativePath(ok)) << ok;
}

TEST(SafeValues, ANamedComponentIsNeededForAFolder) {
    for (const char *none : {"", ".", "./", ".\\", " ", ". .", "./.", " /. / ", ". . .", "/"})
        EXPECT_FALSE(HasNamedComponent(none)) << "[" << none << "]";
    for (const char *named : {"a", "./a", "a/.", " a", "first-title", "x. "})
        EXPECT_TRUE(HasNamedComponent(named)) << "[" << named << "]";
    EXPECT_FALSE(HasNamedComponent(nullptr));
}
