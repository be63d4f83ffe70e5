// A host that replays: documents of earlier publishes, a second document
// under a serial already trusted, expired ones, ones without serial and
// expiry, and a catalog the control document does not name. Each scenario
// swaps what the host serves between runs of the real Worker.
#include "update_host.h"
#include "worker_fixture.h"

#include <algorithm>
#include <thread>

using namespace orv_test;

namespace {

const Statuses kDone = {{SYNC_STARTED, 0}, {SYNC_DONE, 0}};
const Statuses kUnavailable = {{SYNC_STARTED, 0}, {SYNC_UNAVAILABLE, 0}};

class Replay : public WorkerFixture {
protected:
    void TearDown() override {
        // Other tests expect a host that serves no launcher documents.
        for (const wchar_t *name : {L"catalog.json", L"news.json", L"control.json"}) {
            DeleteFileW((Live() + name).c_str());
            DeleteFileW((Live() + name + L".sig").c_str());
        }
        DeleteFileW((Game() + L"manifest.json").c_str());
        DeleteFileW((Game() + L"manifest.json.sig").c_str());
    }
    static std::wstring Docs() { return HostTree() + L"\\documents\\"; }
    static std::wstring Live() { return HostTree() + L"\\launcher\\"; }
    static std::wstring Game() { return HostTree() + L"\\games\\fresh\\"; }
    static void Copy(const std::wstring &from, const std::wstring &to) {
        ASSERT_TRUE(CopyFileW(from.c_str(), to.c_str(), FALSE)) << Narrow(from);
        ASSERT_TRUE(CopyFileW((from + L".sig").c_str(), (to + L".sig").c_str(), FALSE));
        // Signatures of several document keys, for a root that asks several.
        if (GetFileAttributesW((from + L".sigs").c_str()) != INVALID_FILE_ATTRIBUTES)
            ASSERT_TRUE(CopyFileW((from + L".sigs").c_str(), (to + L".sigs").c_str(), FALSE));
    }
    void Serve(const std::wstring &name, const std::wstring &source) {
        Copy(Docs() + source, Live() + name);
    }
    void Publish(const std::wstring &catalog, const std::wstring &news, const std::wstring &control) {
        Serve(L"catalog.json", catalog);
        Serve(L"news.json", news);
        Serve(L"control.json", control);
    }
    // As a deploy does: the served file gets a time of its own, so the host's
    // validators (time and size) change with it.
    void ServeManifest(const std::wstring &source) {
        Copy(Game() + source, Game() + L"manifest.json");
        static ULONGLONG served = 0;
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        ULONGLONG t = ((ULONGLONG)now.dwHighDateTime << 32 | now.dwLowDateTime) / 10000000;
        served = std::max(served + 1, t);
        t = served * 10000000;
        FILETIME when = {(DWORD)t, (DWORD)(t >> 32)};
        HANDLE h = CreateFileW((Game() + L"manifest.json").c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, h);
        EXPECT_TRUE(SetFileTime(h, nullptr, nullptr, &when));
        CloseHandle(h);
    }
    std::string Cached(const std::wstring &name) const { return ReadFileBytes(Path(name)); }
    static std::string Served(const std::wstring &source) { return ReadFileBytes(Docs() + source); }
    Statuses Sync() {
        ChildRun run = Run(L" /sync /parent:{parent}");
        EXPECT_EQ(0u, run.exit_code);
        return run.Statuses();
    }
    // The log lines added since the last call.
    std::string NewLog() {
        std::string all = Log();
        std::string added = all.substr(seen_ < all.size() ? seen_ : all.size());
        seen_ = all.size();
        return added;
    }
    // Exactly one refusal line, for this document, whose reason holds each fragment.
    static void ExpectRefused(const std::string &log, const std::string &address,
                              std::initializer_list<const char *> fragments) {
        const std::string head = "Signed document refused: ";
        size_t at = log.find(head);
        ASSERT_NE(std::string::npos, at) << log;
        EXPECT_EQ(std::string::npos, log.find(head, at + 1)) << log;
        std::string line = log.substr(at, log.find("\r\n", at) - at);
        EXPECT_EQ(0u, line.find(head + address + ": ")) << line;
        for (const char *f : fragments) EXPECT_NE(std::string::npos, line.find(f)) << line;
    }
    size_t seen_ = 0;
};

const char kRetained[] = "Signed sync unavailable or invalid; trusted local cache retained\r\n";

}  // namespace

TEST_F(Replay, SyncRefusesOlderDuplicateExpiredAndUnnamedDocumentsAndKeepsTheCaches) {
    // Documents without serial and expiry are taken as always.
    Publish(L"catalog.json", L"news.json", L"control.json");
    EXPECT_EQ(kDone, Sync());
    EXPECT_EQ(Served(L"catalog.json"), Cached(L"catalog.json"));
    EXPECT_EQ(std::string::npos, NewLog().find("refused"));

    Publish(L"catalog-s5.json", L"news-s5.json", L"control-s5.json");
    EXPECT_EQ(kDone, Sync());
    EXPECT_EQ(Served(L"catalog-s5.json"), Cached(L"catalog.json"));
    EXPECT_EQ(Served(L"control-s5.json"), Cached(L"control.json"));
    EXPECT_EQ(Served(L"news-s5.json"), Cached(L"news.json"));
    NewLog();

    // An older catalog, another catalog under the same serial, one without a
    // serial: each refused, the trusted one stays cached.
    const struct {
        const wchar_t *source;
        std::initializer_list<const char *> reason;
    } kCatalogs[] = {{L"catalog-s4.json", {"serial 4", "5"}},
                     {L"catalog-s5-other.json", {"serial 5", "other content"}},
                     {L"catalog.json", {"no serial", "5"}}};
    for (const auto &c : kCatalogs) {
        Serve(L"catalog.json", c.source);
        EXPECT_EQ(kUnavailable, Sync()) << Narrow(c.source);
        EXPECT_EQ(Served(L"catalog-s5.json"), Cached(L"catalog.json")) << Narrow(c.source);
        std::string log = NewLog();
        ExpectRefused(log, "/launcher/catalog.json", c.reason);
        EXPECT_NE(std::string::npos, log.find(kRetained));
    }

    // An older control document beside the current catalog.
    Serve(L"catalog.json", L"catalog-s5.json");
    Serve(L"control.json", L"control-s4.json");
    EXPECT_EQ(kUnavailable, Sync());
    EXPECT_EQ(Served(L"control-s5.json"), Cached(L"control.json"));
    ExpectRefused(NewLog(), "/launcher/control.json", {"serial 4"});

    // A newer control document that names another catalog than the one
    // served: the catalog is refused, and the control document is not taken
    // without it.
    Serve(L"control.json", L"control-s6.json");
    EXPECT_EQ(kUnavailable, Sync());
    EXPECT_EQ(Served(L"control-s5.json"), Cached(L"control.json"));
    EXPECT_EQ(Served(L"catalog-s5.json"), Cached(L"catalog.json"));
    ExpectRefused(NewLog(), "/launcher/catalog.json", {"control document", "7"});

    // An expired catalog: the log says when it expired and what the clock says.
    Serve(L"catalog.json", L"catalog-s6-expired.json");
    EXPECT_EQ(kUnavailable, Sync());
    EXPECT_EQ(Served(L"catalog-s5.json"), Cached(L"catalog.json"));
    SYSTEMTIME now;
    GetLocalTime(&now);
    char today[16];
    wsprintfA(today, "%04u-%02u-%02u", now.wYear, now.wMonth, now.wDay);
    ExpectRefused(NewLog(), "/launcher/catalog.json",
                  {"expired", "2020-01-01T00:00:00Z", "local time", today});
}

TEST_F(Replay, InstalledReleaseIsNeverRolledBack) {
    WriteCatalog(Product("p", "p-dir", "Game.exe", "/games/fresh/manifest.json"));
    const std::wstring dir = DefaultRoot() + L"\\p-dir\\";
    auto job = [&](const wchar_t *mode) {
        ChildRun run = Run(std::wstring(L" /parent:{parent} /product:p") + mode);
        EXPECT_EQ(0u, run.exit_code);
        return run.Statuses().empty() ? 0 : run.Statuses().back().first;
    };
    ServeManifest(L"manifest-s5.json");
    EXPECT_EQ(PRODUCT_CURRENT, job(L""));
    const std::string game = ReadFileBytes(dir + L"Game.exe");
    const std::string version = ReadFileBytes(dir + L"version.json");
    EXPECT_EQ("{\r\n  \"version\": \"2.0.0\"\r\n}\r\n", version);  // the format it always had
    NewLog();

    auto expect_untouched = [&](const char *what) {
        EXPECT_EQ(game, ReadFileBytes(dir + L"Game.exe")) << what;
        EXPECT_EQ(version, ReadFileBytes(dir + L"version.json")) << what;
        EXPECT_TRUE(PathIsFile(dir + L".orvelant-known-good")) << what;
    };
    // The older release is refused like an unavailable manifest.
    ServeManifest(L"manifest-s4.json");
    EXPECT_EQ(PRODUCT_OFFLINE_READY, job(L""));
    expect_untouched("older");
    std::string log = NewLog();
    ExpectRefused(log, "/games/fresh/manifest.json", {"serial 4", "5"});
    EXPECT_NE(std::string::npos, log.find("Manifest unavailable; no local files modified"));

    // A repair takes the same release again.
    ServeManifest(L"manifest-s5.json");
    EXPECT_EQ(PRODUCT_CURRENT, job(L" /repair"));
    EXPECT_EQ(std::string::npos, NewLog().find("refused"));

    // Without the install directory's memory the product folder still knows
    // the release it holds.
    ASSERT_TRUE(DeleteFileW(Path(L"trusted-serials.txt").c_str()));
    ServeManifest(L"manifest-s4.json");
    EXPECT_EQ(PRODUCT_OFFLINE_READY, job(L""));
    expect_untouched("older, memory lost");
    ExpectRefused(NewLog(), "/games/fresh/manifest.json", {"installed release", "5"});

    // An expired manifest of a newer release is refused too.
    ServeManifest(L"manifest-s6-expired.json");
    EXPECT_EQ(PRODUCT_OFFLINE_READY, job(L""));
    expect_untouched("expired");
    ExpectRefused(NewLog(), "/games/fresh/manifest.json", {"expired"});
}

// A product Worker saves its manifest's serial while a sync Worker is between
// reading the memory and writing it back: both sets of marks survive. Then a
// save that cannot be written is logged and the sync still reports its
// documents.
TEST_F(Replay, SyncAndProductJobAtOnceKeepEachOthersMarks) {
    UseTestHooks();
    const std::string kCatalogAddress = "/launcher/catalog.json";
    const std::string kManifestAddress = "/games/fresh/manifest.json";
    const std::string kProduct = Product("p", "p-dir", "Game.exe", kManifestAddress);
    Publish(L"catalog-s5.json", L"news-s5.json", L"control-s5.json");
    ServeManifest(L"manifest-s5.json");
    WriteCatalog(kProduct);

    env_.Set(L"ORV_TEST_TRUST_SAVE_DELAY_MS", L"6000");
    Statuses sync;
    std::thread syncing([&] { sync = Sync(); });
    // The sync has replaced the catalog (and has yet to save its marks): the
    // product comes back into the cache for the product job.
    for (int i = 0; i < 200 && Cached(L"catalog.json") != Served(L"catalog-s5.json"); ++i)
        Sleep(50);
    const bool sync_took_catalog = Cached(L"catalog.json") == Served(L"catalog-s5.json");
    WriteCatalog(kProduct);
    env_.Set(L"ORV_TEST_TRUST_SAVE_DELAY_MS", nullptr);
    ChildRun job = Run(L" /parent:{parent} /product:p");
    syncing.join();
    ASSERT_TRUE(sync_took_catalog);
    EXPECT_EQ(kDone, sync);
    ASSERT_FALSE(job.Statuses().empty());
    EXPECT_EQ(PRODUCT_CURRENT, job.Statuses().back().first);

    // "<serial> <sha256> <address>" per mark.
    auto serial_of = [&](const std::string &address) -> std::string {
        const std::string state = ReadFileBytes(Path(L"trusted-serials.txt"));
        size_t at = state.find(" " + address + "\r\n");
        if (at == std::string::npos) return "none";
        size_t line = state.rfind('\n', at) + 1;
        return state.substr(line, state.find(' ', line) - line);
    };
    EXPECT_EQ("5", serial_of(kCatalogAddress));
    EXPECT_EQ("5", serial_of("/launcher/control.json"));
    EXPECT_EQ("5", serial_of(kManifestAddress));  // the product job's mark was kept

    // The memory cannot be written: the sync says so with the error and the
    // path, and still takes and reports its documents.
    NewLog();
    Publish(L"catalog-s5.json", L"news-s5.json", L"control-s5.json");
    MakeDirs(Path(L"trusted-serials.txt.new"));
    EXPECT_EQ(kDone, Sync());
    RemoveDirectoryW(Path(L"trusted-serials.txt.new").c_str());
    const std::string log = NewLog();
    EXPECT_NE(std::string::npos,
              log.find(FailedStepLine("Trusted serials could not be saved", ERROR_ACCESS_DENIED,
                                      Path(L"trusted-serials.txt"))))
        << log;
    EXPECT_NE(std::string::npos, log.find("Signed sync completed\r\n")) << log;
    EXPECT_EQ("5", serial_of(kManifestAddress));
}

// The root of trust through the real Worker: a document key rotated by root
// 2, a serial fast-forwarded with that key and undone when root 3 revokes
// it, the links a sync refuses (each with its reason), the walk bounded per
// sync, and the trusted root kept by the install from run to run.
TEST_F(Replay, RootChainRotatesAndRevokesTheDocumentKey) {
    ASSERT_TRUE(RunOnHost("'" ORV_TEST_REPO_UNIX "/tests/host/root_chain_fixture.sh' '" ORV_TEST_BUILD_UNIX "'"));
    const std::wstring cases = HostTree() + L"\\root-cases\\";
    const std::wstring roots = Live() + L"root\\";
    MakeDirs(roots);
    struct Cleanup {
        ~Cleanup() {
            RunOnHost("rm -rf '" ORV_TEST_HOST_TREE_UNIX "/launcher/root' '" ORV_TEST_HOST_TREE_UNIX
                      "/launcher/'*.sigs '" ORV_TEST_HOST_TREE_UNIX "/games/fresh/manifest.json.sigs'");
        }
    } cleanup;
    auto serve_docs = [&](const wchar_t *set) {
        for (const wchar_t *name : {L"catalog.json", L"news.json", L"control.json"})
            Copy(cases + L"docs\\" + set + L"\\" + name, Live() + name);
    };
    auto copy_root = [&](const std::wstring &from, int version) {
        const std::wstring to = roots + std::to_wstring(version) + L".root.json";
        ASSERT_TRUE(CopyFileW(from.c_str(), to.c_str(), FALSE)) << Narrow(from);
        ASSERT_TRUE(CopyFileW((from + L".sigs").c_str(), (to + L".sigs").c_str(), FALSE));
    };
    auto chain_root = [&](int version) {
        copy_root(cases + L"chain\\" + std::to_wstring(version) + L".root.json", version);
    };
    auto chain_bytes = [&](int version) {
        return ReadFileBytes(cases + L"chain\\" + std::to_wstring(version) + L".root.json");
    };
    auto count = [](const std::string &text, const std::string &what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    };

    // The built-in root names the build's key: with no newer root on the
    // host, one request finds none and the documents are taken.
    const size_t asked = HostRequestCount("/launcher/root/2.root.json");
    serve_docs(L"k1-s5");
    EXPECT_EQ(kDone, Sync());
    EXPECT_EQ(asked + 1, HostRequestCount("/launcher/root/2.root.json"));
    EXPECT_FALSE(PathIsFile(Path(L"trusted-root.json")));
    NewLog();

    // Rotation: documents of the new key are refused until root 2 names it,
    // then taken; the old key's are refused from then on, also in a later
    // run when root 2 is no longer served (the install keeps it).
    serve_docs(L"k2-s5");
    EXPECT_EQ(kUnavailable, Sync());
    EXPECT_NE(std::string::npos, NewLog().find("RSA/SHA-256 signature verification failed"));
    chain_root(2);
    EXPECT_EQ(kDone, Sync());
    EXPECT_NE(std::string::npos, NewLog().find("Root 2 accepted\r\n"));
    EXPECT_EQ(chain_bytes(2), ReadFileBytes(Path(L"trusted-root.json")));
    EXPECT_EQ(ReadFileBytes(cases + L"docs\\k2-s5\\catalog.json"), Cached(L"catalog.json"));
    DeleteFileW((roots + L"2.root.json").c_str());
    serve_docs(L"k1-s5");
    EXPECT_EQ(kUnavailable, Sync());
    EXPECT_NE(std::string::npos, NewLog().find("RSA/SHA-256 signature verification failed"));

    // The leaked key fast-forwards the serial, of the documents and of a
    // product's release: the honest documents that follow are refused as
    // replays...
    serve_docs(L"leak");
    EXPECT_EQ(kDone, Sync());
    const std::string kProduct = Product("p", "p-dir", "Game.exe", "/games/fresh/manifest.json");
    auto job = [&](const wchar_t *manifest) {
        ServeManifest(manifest);
        WriteCatalog(kProduct);
        ChildRun run = Run(L" /parent:{parent} /product:p");
        return run.Statuses().empty() ? 0 : run.Statuses().back().first;
    };
    EXPECT_EQ(PRODUCT_CURRENT, job(L"manifest-leak.json"));
    serve_docs(L"k2-s6");
    EXPECT_EQ(kUnavailable, Sync());
    EXPECT_NE(std::string::npos, NewLog().find("lower than the trusted serial 999999999999"));
    // ...until root 3 revokes it: the new key's documents start a new record.
    chain_root(2);
    chain_root(3);
    serve_docs(L"k3-s6");
    EXPECT_EQ(kDone, Sync());
    std::string log = NewLog();
    EXPECT_NE(std::string::npos, log.find("Root 3 accepted\r\n")) << log;
    EXPECT_EQ(std::string::npos, log.find("refused")) << log;
    EXPECT_NE(std::string::npos, ReadFileBytes(Path(L"trusted-serials.txt")).find("\r\n6 "));
    // The product takes the new key's release although the leaked one was
    // installed with a higher serial.
    EXPECT_EQ(PRODUCT_CURRENT, job(L"manifest-k3-s6.json"));
    EXPECT_EQ(std::string::npos, NewLog().find("refused"));
    serve_docs(L"leak");
    EXPECT_EQ(kUnavailable, Sync());
    NewLog();
    serve_docs(L"k3-s6");

    // Links refused, each served as root 4: root 3 stays trusted and the
    // documents it vouches for are still taken.
    const struct {
        const wchar_t *name;
        const char *reason;
    } kBad[] = {{L"skip", "it carries root_version 5, skipping versions after the trusted root 3"},
                {L"older", "it carries root_version 3, not newer than the trusted root 3"},
                {L"foreign", "signed by 0 distinct root keys of the trusted root where it needs 1"},
                {L"twice", "signed by 1 distinct keys of its own root keys where it needs 2"}};
    for (const auto &b : kBad) {
        copy_root(cases + L"bad\\" + b.name + L".root.json", 4);
        EXPECT_EQ(kDone, Sync()) << Narrow(b.name);
        log = NewLog();
        EXPECT_NE(std::string::npos,
                  log.find(std::string("Root 4 refused: ") + b.reason + "; root 3 stays trusted\r\n"))
            << log;
        EXPECT_EQ(chain_bytes(3), ReadFileBytes(Path(L"trusted-root.json"))) << Narrow(b.name);
    }

    // A long chain is walked over more than one sync, never past the limit
    // in one.
    int expired = 4;
    while (PathIsFile(cases + L"chain\\" + std::to_wstring(expired + 1) + L".root.json")) ++expired;
    const int last = expired - 1;  // the expired one is published later
    for (int v = 4; v <= last; ++v) chain_root(v);
    EXPECT_EQ(kDone, Sync());
    log = NewLog();
    EXPECT_NE(std::string::npos, log.find("Root walk stopped after")) << log;
    const size_t first_walk = count(log, " accepted\r\n");
    EXPECT_GT(first_walk, 0u);
    EXPECT_LT(first_walk, size_t(last - 3));
    EXPECT_EQ(kDone, Sync());
    log = NewLog();
    EXPECT_EQ(size_t(last - 3) - first_walk, count(log, " accepted\r\n")) << log;
    EXPECT_EQ(chain_bytes(last), ReadFileBytes(Path(L"trusted-root.json")));

    // The final root has expired: every document is refused until a newer
    // root comes, and the log says so.
    chain_root(expired);
    EXPECT_EQ(kUnavailable, Sync());
    log = NewLog();
    EXPECT_NE(std::string::npos, log.find("Trusted root " + std::to_string(expired) + " expired at "))
        << log;

    // A root the Setup carried is trusted like the built-in one: with root 3
    // carried and none walked to, root 3's key is the one taken.
    ASSERT_TRUE(RunOnHost("rm -rf '" ORV_TEST_HOST_TREE_UNIX "/launcher/root'"));
    ASSERT_TRUE(DeleteFileW(Path(L"trusted-root.json").c_str()));
    WriteFileBytes(Path(L"carried-root.json"), chain_bytes(3));
    EXPECT_EQ(kDone, Sync());
    EXPECT_EQ(std::string::npos, NewLog().find("refused"));

    // Root 4 asks two document signatures: documents and a manifest whose
    // .sigs hold both keys' are taken; one key's signature, alone or twice,
    // is not enough.
    MakeDirs(roots);
    copy_root(cases + L"dual\\4.root.json", 4);
    serve_docs(L"k34-s7");
    EXPECT_EQ(kDone, Sync());
    log = NewLog();
    EXPECT_NE(std::string::npos, log.find("Root 4 accepted\r\n")) << log;
    EXPECT_EQ(ReadFileBytes(cases + L"docs\\k34-s7\\catalog.json"), Cached(L"catalog.json"));
    EXPECT_EQ(PRODUCT_CURRENT, job(L"manifest-k34-s7.json"));
    log = NewLog();
    EXPECT_EQ(std::string::npos, log.find("refused")) << log;
    EXPECT_EQ(std::string::npos, log.find("verification failed")) << log;
    for (const wchar_t *set : {L"k3-once", L"k3-twice"}) {
        serve_docs(set);
        EXPECT_EQ(kUnavailable, Sync()) << Narrow(set);
        log = NewLog();
        EXPECT_NE(std::string::npos,
                  log.find("Document signed by 1 distinct document keys of root 4 where it needs 2"))
            << log;
        EXPECT_NE(ReadFileBytes(cases + L"docs\\" + set + L"\\catalog.json"), Cached(L"catalog.json"));
    }
}
