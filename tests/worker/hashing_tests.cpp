// SHA-256, digest text, signature text and verification against the
// Worker's built-in key (BCrypt under Wine).
#include <gtest/gtest.h>

#include <string>

#include "runtime.h"
#include "test_support.h"
#include "transport.h"

using namespace orv_test;

namespace {
// SHA-256 of "abc" and of the empty input.
const char kAbc[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const char kEmpty[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::string Hex(const unsigned char *d) {
    std::string s;
    for (int i = 0; i < 32; ++i) {
        s += HexDigitLower(d[i] >> 4);
        s += HexDigitLower(d[i] & 15);
    }
    return s;
}
}  // namespace

TEST(Sha256, BuffersAndFiles) {
    unsigned char d[32];
    ASSERT_TRUE(Sha256Buffer("abc", 3, d));
    EXPECT_EQ(kAbc, Hex(d));
    ASSERT_TRUE(Sha256Buffer("", 0, d));
    EXPECT_EQ(kEmpty, Hex(d));
    std::wstring dir = FreshScratchDir();
    WriteFileBytes(dir + L"\\empty", "");
    ASSERT_TRUE(Sha256File((dir + L"\\empty").c_str(), d));
    EXPECT_EQ(kEmpty, Hex(d));
    // Several read chunks: the file hash equals the buffer hash.
    std::string big(200000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = (char)(i * 31 + 7);
    WriteFileBytes(dir + L"\\big", big);
    unsigned char from_file[32], from_buffer[32];
    ASSERT_TRUE(Sha256File((dir + L"\\big").c_str(), from_file));
    ASSERT_TRUE(Sha256Buffer(big.data(), (unsigned)big.size(), from_buffer));
    EXPECT_EQ(Hex(from_buffer), Hex(from_file));
    EXPECT_FALSE(Sha256File((dir + L"\\missing").c_str(), d));
}

TEST(DigestText, MatchesInAnyCaseAndOnlyTheFirst64Characters) {
    unsigned char d[32];
    ASSERT_TRUE(Sha256Buffer("abc", 3, d));
    std::string lower = kAbc, upper = kAbc, mixed = kAbc;
    for (char &c : upper) c = (char)toupper(c);
    for (size_t i = 0; i < mixed.size(); i += 2) mixed[i] = (char)toupper(mixed[i]);
    EXPECT_TRUE(DigestMatchesHex(d, lower.c_str()));
    EXPECT_TRUE(DigestMatchesHex(d, upper.c_str()));
    EXPECT_TRUE(DigestMatchesHex(d, mixed.c_str()));
    EXPECT_TRUE(DigestMatchesHex(d, (lower + " trailing").c_str()));
    EXPECT_FALSE(DigestMatchesHex(d, lower.substr(0, 63).c_str()));
    std::string changed = lower;
    changed[40] = changed[40] == '0' ? '1' : '0';
    EXPECT_FALSE(DigestMatchesHex(d, changed.c_str()));
    EXPECT_FALSE(DigestMatchesHex(d, nullptr));
}

TEST(DigestText, Sha256HexIsExactly64HexDigits) {
    EXPECT_TRUE(IsSha256Hex(kAbc));
    EXPECT_TRUE(IsSha256Hex(std::string(64, 'F').c_str()));
    EXPECT_FALSE(IsSha256Hex(std::string(63, 'a').c_str()));
    EXPECT_FALSE(IsSha256Hex((std::string(kAbc) + "0").c_str()));
    EXPECT_FALSE(IsSha256Hex((std::string(kAbc) + " ").c_str()));
    EXPECT_FALSE(IsSha256Hex((std::string(63, 'a') + "g").c_str()));
    EXPECT_FALSE(IsSha256Hex(""));
    EXPECT_FALSE(IsSha256Hex(nullptr));
}

TEST(SignatureText, DecodesExactly256BytesWithWhiteSpaceAnywhere) {
    std::string hex;
    for (int i = 0; i < 256; ++i) {
        hex += HexDigitLower((unsigned)i >> 4);
        hex += HexDigitLower((unsigned)i & 15);
    }
    unsigned char sig[256];
    ASSERT_TRUE(DecodeSignatureHex(hex.c_str(), (unsigned)hex.size(), sig));
    for (int i = 0; i < 256; ++i) ASSERT_EQ(i, sig[i]);
    std::string spaced = " \t" + hex.substr(0, 1) + "\r\n" + hex.substr(1, 300) + "  " +
                         hex.substr(301) + "\n";
    for (char &c : spaced) if (c == 'a') c = 'A';
    ASSERT_TRUE(DecodeSignatureHex(spaced.c_str(), (unsigned)spaced.size(), sig));
    EXPECT_EQ(0xab, sig[0xab]);
    EXPECT_FALSE(DecodeSignatureHex(hex.c_str(), 510, sig));
    EXPECT_FALSE(DecodeSignatureHex((hex + "00").c_str(), 514, sig));
    EXPECT_FALSE(DecodeSignatureHex((hex + "0").c_str(), 513, sig));
    std::string bom = "\xef\xbb\xbf" + hex;
    EXPECT_FALSE(DecodeSignatureHex(bom.c_str(), (unsigned)bom.size(), sig));
    std::string prefixed = "0x" + hex.substr(2);
    EXPECT_FALSE(DecodeSignatureHex(prefixed.c_str(), (unsigned)prefixed.size(), sig));
}

TEST(Signature, VerifiesOnlyTheExactBytesWithTheBuiltInKey) {
    // A document the update host fixture signed with the build's key.
    std::string doc = ReadFileBytes(std::wstring(ORV_TEST_HOST_TREE) + L"\\documents\\catalog.json");
    std::string sig = ReadFileBytes(std::wstring(ORV_TEST_HOST_TREE) + L"\\documents\\catalog.json.sig");
    ASSERT_FALSE(doc.empty());
    ASSERT_EQ(513u, sig.size());
    EXPECT_TRUE(VerifyDetachedSignature(doc.data(), (unsigned)doc.size(), sig.data(), (unsigned)sig.size()));
    std::string changed = doc;
    changed[changed.size() / 2] ^= 1;
    EXPECT_FALSE(VerifyDetachedSignature(changed.data(), (unsigned)changed.size(), sig.data(), (unsigned)sig.size()));
    std::string flipped = sig;
    flipped[10] = flipped[10] == '0' ? '1' : '0';
    EXPECT_FALSE(VerifyDetachedSignature(doc.data(), (unsigned)doc.size(), flipped.data(), (unsigned)flipped.size()));
}
