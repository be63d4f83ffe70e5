// Signed documents from the real update host: the detached-signature checks
// and the signed sync of catalog, news and control with the cached bytes.
#include "update_host.h"
#include "worker_fixture.h"

#include <thread>

using namespace orv_test;

namespace {

const char kBadSignature[] = "RSA/SHA-256 signature verification failed\r\n";

class SignedFetch : public WorkerFixture {
protected:
    void SetUp() override {
        WorkerFixture::SetUp();
        UseTestHooks();
        out_ = Path(L"fetched.json");
    }
    DWORD Fetch(const std::wstring &name, const std::wstring &token = L"\"products\"") {
        env_.Set(L"ORV_TEST_FETCH", (L"/documents/" + name + L"|" + token + L"|" + out_).c_str());
        ChildRun run = Run(L" /parent:{parent}");
        env_.Set(L"ORV_TEST_FETCH", nullptr);
        return run.exit_code;
    }
    std::string Served(const std::wstring &name) const {
        return ReadFileBytes(HostTree() + L"\\documents\\" + name);
    }
    std::wstring out_;
};

}  // namespace

TEST_F(SignedFetch, AcceptedSignaturesInAnyWhiteSpaceLayout) {
    for (const wchar_t *name : {L"catalog.json", L"catalog-split.json", L"catalog-spaced.json"}) {
        DeleteFileW(out_.c_str());
        EXPECT_EQ(0u, Fetch(name)) << Narrow(name);
        EXPECT_EQ(Served(name), ReadFileBytes(out_)) << Narrow(name);
    }
    EXPECT_EQ("", Log());
}

TEST_F(SignedFetch, MalformedOrWrongSignaturesAreRefused) {
    std::string expected;
    for (const wchar_t *name : {L"catalog-short.json", L"catalog-long.json", L"catalog-odd.json",
                                L"catalog-bom.json", L"catalog-changed.json",
                                L"catalog-other-key.json"}) {
        EXPECT_EQ(1u, Fetch(name)) << Narrow(name);
        EXPECT_FALSE(PathIsFile(out_)) << Narrow(name);
        expected += kBadSignature;
    }
    EXPECT_EQ(expected, Log());
}

TEST_F(SignedFetch, MissingSignatureFile) {
    EXPECT_EQ(1u, Fetch(L"catalog-nosig.json"));
    EXPECT_EQ("Detached signature unavailable\r\n", Log());
}

TEST_F(SignedFetch, DocumentWithoutItsTokenCostsNoSignatureRequest) {
    size_t documents = HostRequestCount("/documents/catalog-no-token.json");
    size_t signatures = HostRequestCount("/documents/catalog-no-token.json.sig");
    EXPECT_EQ(1u, Fetch(L"catalog-no-token.json"));
    EXPECT_EQ(documents + 1, HostRequestCount("/documents/catalog-no-token.json"));
    EXPECT_EQ(signatures, HostRequestCount("/documents/catalog-no-token.json.sig"));
    // Two bytes are never a document, whatever the token.
    EXPECT_EQ(1u, Fetch(L"tiny.json", L"{}"));
    EXPECT_EQ("Signed JSON token validation failed\r\nSigned JSON token validation failed\r\n",
              Log());
    // Without a token only the signature counts.
    EXPECT_EQ(0u, Fetch(L"catalog-no-token.json", L""));
}

class SignedSync : public WorkerFixture {
protected:
    void SetUp() override {
        WorkerFixture::SetUp();
        // What the install had before this sync.
        WriteFileBytes(Path(L"catalog.json"), "old catalog");
        WriteFileBytes(Path(L"news.json"), "old news");
        WriteFileBytes(Path(L"control.json"), "old control");
        Serve(L"catalog.json", L"catalog.json");
        Serve(L"news.json", L"news.json");
        Serve(L"control.json", L"control.json");
    }
    void TearDown() override {
        if (host_stopped_) EXPECT_TRUE(StartHost());
        // Other tests expect a host that serves no launcher documents.
        for (const wchar_t *name : {L"catalog.json", L"news.json", L"control.json"}) {
            Unserve(name);
            Unserve(std::wstring(name) + L".sig");
        }
    }
    // Puts documents/<source> (and its .sig, when there is one) at launcher/<name>.
    void Serve(const std::wstring &name, const std::wstring &source,
               const std::wstring &signature_source = L"") {
        std::wstring docs = HostTree() + L"\\documents\\";
        std::wstring live = HostTree() + L"\\launcher\\";
        CopyFileW((docs + source).c_str(), (live + name).c_str(), FALSE);
        std::wstring sig = docs + (signature_source.empty() ? source : signature_source) + L".sig";
        DeleteFileW((live + name + L".sig").c_str());
        if (PathIsFile(sig)) CopyFileW(sig.c_str(), (live + name + L".sig").c_str(), FALSE);
    }
    void Unserve(const std::wstring &name) {
        DeleteFileW((HostTree() + L"\\launcher\\" + name).c_str());
    }
    std::string Served(const std::wstring &name) const {
        return ReadFileBytes(HostTree() + L"\\documents\\" + name);
    }
    Statuses Sync(DWORD *exit_code = nullptr) {
        ChildRun run = Run(L" /sync /parent:{parent}");
        if (exit_code) *exit_code = run.exit_code;
        EXPECT_EQ(0u, run.exit_code);
        EXPECT_TRUE(run.Transfers().empty());
        return run.Statuses();
    }
    bool host_stopped_ = false;
};

const Statuses kDone = {{SYNC_STARTED, 0}, {SYNC_DONE, 0}};
const Statuses kUnavailable = {{SYNC_STARTED, 0}, {SYNC_UNAVAILABLE, 0}};
const char kStarted[] = "Sync worker started (RSA-signed catalog/news/control)\r\n";
const char kRetained[] = "Signed sync unavailable or invalid; trusted local cache retained\r\n";

TEST_F(SignedSync, AllThreeVerifiedReplaceTheCachesByteForByte) {
    EXPECT_EQ(kDone, Sync());
    EXPECT_EQ(Served(L"catalog.json"), ReadFileBytes(Path(L"catalog.json")));
    EXPECT_EQ(Served(L"news.json"), ReadFileBytes(Path(L"news.json")));
    EXPECT_EQ(Served(L"control.json"), ReadFileBytes(Path(L"control.json")));
    EXPECT_FALSE(PathIsFile(Path(L"catalog.json.new")));
    EXPECT_FALSE(PathIsFile(Path(L"news.json.new")));
    EXPECT_FALSE(PathIsFile(Path(L"control.json.new")));
    EXPECT_EQ(std::string(kStarted) + "Signed sync completed\r\n", Log());
}

// The launcher window reads the caches at every status: a read that meets
// the move over the cached catalog is waited out.
TEST_F(SignedSync, CatalogHeldOpenBrieflyByAReaderIsStillReplaced) {
    HANDLE held = CreateFileW(Path(L"catalog.json").c_str(), GENERIC_READ, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    bool released_late = false;
    std::thread reader([&] {
        ULONGLONG start = GetTickCount64();
        while (!PathIsFile(Path(L"catalog.json.new")) && GetTickCount64() - start < 10000) Sleep(1);
        Sleep(300);
        released_late = ReadFileBytes(Path(L"catalog.json")) == "old catalog";
        CloseHandle(held);
    });
    EXPECT_EQ(kDone, Sync());
    reader.join();
    EXPECT_TRUE(released_late);
    EXPECT_EQ(Served(L"catalog.json"), ReadFileBytes(Path(L"catalog.json")));
    EXPECT_FALSE(PathIsFile(Path(L"catalog.json.new")));
    EXPECT_EQ(std::string(kStarted) + "Signed sync completed\r\n", Log());
}

TEST_F(SignedSync, BadNewsSignatureKeepsTheCachedNews) {
    Serve(L"news.json", L"news.json", L"control.json");  // another document's signature
    EXPECT_EQ(kDone, Sync());
    EXPECT_EQ("old news", ReadFileBytes(Path(L"news.json")));
    EXPECT_EQ(Served(L"catalog.json"), ReadFileBytes(Path(L"catalog.json")));
    EXPECT_EQ(std::string(kStarted) + kBadSignature +
                  "Signed sync completed; news retained from cache\r\n",
              Log());
}

TEST_F(SignedSync, UnreachableCatalogLeavesItButReplacesControl) {
    Unserve(L"catalog.json");
    EXPECT_EQ(kUnavailable, Sync());
    EXPECT_EQ("old catalog", ReadFileBytes(Path(L"catalog.json")));
    EXPECT_EQ(Served(L"control.json"), ReadFileBytes(Path(L"control.json")));
    EXPECT_EQ(Served(L"news.json"), ReadFileBytes(Path(L"news.json")));
    EXPECT_EQ(std::string(kStarted) + kRetained, Log());
}

TEST_F(SignedSync, CatalogWithoutItsTokenIsRefusedBeforeItsSignature) {
    Serve(L"catalog.json", L"catalog-no-token.json");
    size_t before = HostRequestCount("/launcher/catalog.json.sig");
    EXPECT_EQ(kUnavailable, Sync());
    EXPECT_EQ(before, HostRequestCount("/launcher/catalog.json.sig"));
    EXPECT_EQ("old catalog", ReadFileBytes(Path(L"catalog.json")));
    EXPECT_EQ(std::string(kStarted) + "Signed JSON token validation failed\r\n" + kRetained, Log());
}

TEST_F(SignedSync, OversizedCatalogIsDiscardedWithoutTouchingTheDisk) {
    Serve(L"catalog.json", L"catalog-huge.json");
    EXPECT_EQ(kUnavailable, Sync());
    EXPECT_EQ("old catalog", ReadFileBytes(Path(L"catalog.json")));
    EXPECT_FALSE(PathIsFile(Path(L"catalog.json.new")));
    EXPECT_EQ(std::string(kStarted) + "HTTP response body exceeds 8 MiB limit; discarded\r\n" +
                  kRetained,
              Log());
}

TEST_F(SignedSync, CacheThatCannotBeReplacedKeepsItsContentAndDropsTheNewFile) {
    HANDLE held = CreateFileW(Path(L"control.json").c_str(), GENERIC_READ, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    Statuses statuses = Sync();
    CloseHandle(held);
    EXPECT_EQ(kUnavailable, statuses);
    EXPECT_EQ("old control", ReadFileBytes(Path(L"control.json")));
    EXPECT_FALSE(PathIsFile(Path(L"control.json.new")));
    EXPECT_EQ(Served(L"catalog.json"), ReadFileBytes(Path(L"catalog.json")));
}

TEST_F(SignedSync, WithoutTheHostNothingChanges) {
    host_stopped_ = true;
    ASSERT_TRUE(StopHost());
    EXPECT_EQ(kUnavailable, Sync());
    EXPECT_EQ("old catalog", ReadFileBytes(Path(L"catalog.json")));
    EXPECT_EQ("old news", ReadFileBytes(Path(L"news.json")));
    EXPECT_EQ("old control", ReadFileBytes(Path(L"control.json")));
    EXPECT_EQ(std::string(kStarted) + kRetained, Log());
}
