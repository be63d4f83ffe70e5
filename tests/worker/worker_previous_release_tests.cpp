// The Worker players have today (built from the previous release's sources
// with this build's signing key) against a tree this build's release tool
// publishes: a sync, an install, an update and a check must go exactly as
// they went for it before. Whatever the release tool adds to its documents
// and layout must keep this passing. This build's Worker then takes the same
// tree back, fetching only changed pieces.
#include "update_host.h"
#include "worker_fixture.h"

using namespace orv_test;

namespace {

class PreviousReleaseWorker : public WorkerFixture {
protected:
    void SetUp() override {
        WorkerFixture::SetUp();
        if (!PathIsFile(std::wstring(ORV_TEST_PREVIOUS_BIN) + L"\\ORVELANT Update Worker.exe"))
            GTEST_SKIP() << "the previous release could not be built (see previous_release.build)";
        exe_ = install_ + L"\\ORVELANT Update Worker.exe";
        ASSERT_TRUE(CopyFileW((std::wstring(ORV_TEST_PREVIOUS_BIN) +
                               L"\\ORVELANT Update Worker.exe").c_str(),
                              exe_.c_str(), FALSE));
    }
    void TearDown() override {
        if (!IsSkipped()) Unpublish();
    }
    // Publishes the demo release with this build's tool beside the test
    // tree and copies it in; a list of the copied files lets TearDown remove
    // exactly those. Each release is published over the one before, as a
    // publisher does: its unchanged objects are the ones already served.
    void Publish(const std::string &version) {
        std::string out = std::string(ORV_TEST_SCRATCH_UNIX) + "/previous-release-tree";
        ASSERT_TRUE(RunOnHost("'" ORV_TEST_REPO_UNIX
                              "/samples/make-demo-release.sh' '" ORV_TEST_BUILD_UNIX "' '" + out +
                              "' " + version + " >/dev/null && cd '" + out +
                              "' && find . -type f ! -name '.*' | sed 's|^\\./||' >>'" +
                              std::string(ORV_TEST_SCRATCH_UNIX) +
                              "/previous-release-files' && cp -a --parents $(find . -type f ! -name "
                              "'.*') '" ORV_TEST_HOST_TREE_UNIX "/'"));
    }
    void Unpublish() {
        RunOnHost("cd '" ORV_TEST_HOST_TREE_UNIX "' && sort -u '" + std::string(ORV_TEST_SCRATCH_UNIX) +
                  "/previous-release-files' 2>/dev/null | while read -r f; do rm -f \"$f\"; done; "
                  "rm -f '" + std::string(ORV_TEST_SCRATCH_UNIX) + "/previous-release-files'");
    }
    // The game folder the demo release was published from.
    std::string Source(const std::wstring &relative) const {
        return ReadFileBytes(Widen(std::string("Z:") + ORV_TEST_BUILD_UNIX) +
                             L"\\demo-release\\games\\first-title\\" + relative);
    }
    std::wstring Game(const std::wstring &relative) const {
        return DefaultRoot() + L"\\first-title\\" + relative;
    }
    // The host path the published manifest names for data/levels.pak.
    std::string LevelsAddress() const {
        std::string manifest =
            ReadFileBytes(HostTree() + L"\\games\\first-title\\stable\\manifest.json");
        size_t entry = manifest.find("\"path\": \"data/levels.pak\"");
        size_t url = entry == std::string::npos ? entry : manifest.find("\"url\": \"/", entry);
        if (url == std::string::npos) return std::string();
        url += 8;
        return manifest.substr(url, manifest.find('"', url) - url);
    }
    ChildRun Job() { return Run(L" /parent:{parent} /product:first-title"); }
};

}  // namespace

TEST_F(PreviousReleaseWorker, SyncsInstallsUpdatesAndChecksWhatThisReleaseToolPublishes) {
    Publish("1.0.0");
    ChildRun sync = Run(L" /sync /parent:{parent}");
    EXPECT_EQ(0u, sync.exit_code);
    EXPECT_EQ((Statuses{{SYNC_STARTED, 0}, {SYNC_DONE, 0}}), sync.Statuses());
    EXPECT_EQ(ReadFileBytes(HostTree() + L"\\launcher\\catalog.json"),
              ReadFileBytes(Path(L"catalog.json")));
    EXPECT_EQ(ReadFileBytes(HostTree() + L"\\launcher\\control.json"),
              ReadFileBytes(Path(L"control.json")));

    const std::vector<std::wstring> files = {L"ORVELANT.exe", L"game.txt", L"config\\default.cfg",
                                             L"data\\world.pak", L"data\\audio\\music.pak",
                                             L"data\\levels.pak"};
    // Its small files also travel in a pack, named by a signed index beside
    // the manifest that this Worker never asks for.
    const std::wstring index = HostTree() + L"\\games\\first-title\\stable\\manifest.json.packs";
    const std::string packs = ReadFileBytes(index);
    EXPECT_EQ(0u, packs.find("{\"packs\": "));
    EXPECT_TRUE(PathIsFile(index + L".sig"));
    size_t mark = HostAccessLog().size();
    ChildRun install = Job();
    EXPECT_EQ(0u, install.exit_code);
    ASSERT_FALSE(install.Statuses().empty());
    EXPECT_EQ((std::pair<int, int>{PRODUCT_CURRENT, 100}), install.Statuses().back());
    for (const std::wstring &f : files) EXPECT_EQ(Source(f), ReadFileBytes(Game(f))) << Narrow(f);
    EXPECT_TRUE(PathIsFile(Game(L".orvelant-known-good")));

    Publish("1.1.0");  // one file changed, one added, the middle of a large one rewritten
    // The large file has a piece list beside it at the address the manifest
    // names: this Worker knows nothing of it.
    const std::string path = LevelsAddress();
    ASSERT_EQ('/', path.empty() ? 0 : path[0]);
    std::wstring address = Widen(path);
    for (wchar_t &c : address) if (c == L'/') c = L'\\';
    EXPECT_TRUE(PathIsFile(HostTree() + address + L".pieces"));
    EXPECT_TRUE(PathIsFile(HostTree() + address + L".pieces.sig"));
    ChildRun update = Job();
    EXPECT_EQ(0u, update.exit_code);
    ASSERT_FALSE(update.Statuses().empty());
    EXPECT_EQ((std::pair<int, int>{PRODUCT_CURRENT, 100}), update.Statuses().back());
    for (const std::wstring &f : files) EXPECT_EQ(Source(f), ReadFileBytes(Game(f))) << Narrow(f);
    EXPECT_EQ(Source(L"data\\patch-1.1.pak"), ReadFileBytes(Game(L"data\\patch-1.1.pak")));
    EXPECT_NE(std::string::npos, ReadFileBytes(Game(L"version.json")).find("\"1.1.0\""));
    EXPECT_TRUE(PathIsFile(Game(L".orvelant-known-good")));

    // Nothing left to fetch: the next check finds the install current.
    ChildRun check = Job();
    EXPECT_EQ(0u, check.exit_code);
    for (const auto &s : check.Statuses()) EXPECT_NE(PRODUCT_TRANSFER, s.first);
    EXPECT_EQ(std::string::npos, Log().find("fail"));
    EXPECT_EQ(std::string::npos, HostAccessLog().find(".packs", mark));
    // The manifest's compressed twin beside it is never asked for by this Worker.
    EXPECT_TRUE(PathIsFile(HostTree() + L"\\games\\first-title\\stable\\manifest.json.gz"));
    EXPECT_EQ(std::string::npos, HostAccessLog().find("manifest.json.gz", mark));

    // This build's Worker, back to 1.0.0: it finds the list beside the
    // content address and fetches only the pieces of the rewritten middle.
    ASSERT_TRUE(CopyFileW((BinDir() + L"\\ORVELANT Update Worker.exe").c_str(), exe_.c_str(), FALSE));
    Publish("1.0.0");
    const std::string back_path = LevelsAddress();
    ASSERT_FALSE(back_path.empty());
    mark = HostAccessLog().size();
    ChildRun back = Job();
    ASSERT_FALSE(back.Statuses().empty());
    EXPECT_EQ((std::pair<int, int>{PRODUCT_CURRENT, 100}), back.Statuses().back());
    for (const std::wstring &f : files) EXPECT_EQ(Source(f), ReadFileBytes(Game(f))) << Narrow(f);
    std::string log = HostAccessLog().substr(mark);
    EXPECT_NE(std::string::npos, log.find("\"GET " + back_path + ".pieces HTTP/1.1\" 200 "));
    // This Worker takes the manifest as its twin.
    EXPECT_NE(std::string::npos,
              log.find("\"GET /games/first-title/stable/manifest.json.gz HTTP/1.1\" 200 "));
    EXPECT_EQ(std::string::npos, log.find("\"GET /games/first-title/stable/manifest.json HTTP"));
    // The pieces it lacks come as objects of their own, never from the file.
    EXPECT_EQ(std::string::npos, log.find("\"GET " + back_path + " HTTP/1.1\"")) << log;
    int objects = 0;
    for (size_t at = log.find("\"GET /content/"); at != std::string::npos;
         at = log.find("\"GET /content/", at + 1))
        if (log.compare(at + 5, back_path.size(), back_path) != 0) ++objects;
    EXPECT_GE(objects, 1) << log;
}
