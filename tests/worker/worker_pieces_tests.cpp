// Large files updated from the pieces already on disk: what the host's log
// shows was fetched, and that the result is always the signed file.
#include <filesystem>
#include <map>
#include <set>

#include "update_host.h"
#include "worker_fixture.h"

using namespace orv_test;

namespace {

// What the host sent for one file since a point in its access log.
struct Fetched {
    unsigned long long ranged_bytes = 0;
    int ranged = 0;  // 206 answers
    int whole = 0;   // 200 answers
};

Fetched FetchedSince(size_t mark, const std::string &path) {
    Fetched f;
    std::string log = HostAccessLog().substr(mark);
    std::string needle = "\"GET " + path + " HTTP/1.1\" ";
    for (size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1)) {
        int status = std::atoi(log.c_str() + at + needle.size());
        unsigned long long bytes = std::strtoull(log.c_str() + at + needle.size() + 4, nullptr, 10);
        if (status == 206) {
            ++f.ranged;
            f.ranged_bytes += bytes;
        } else if (status == 200) {
            ++f.whole;
        }
    }
    return f;
}

class PieceJob : public WorkerFixture {
protected:
    void Use(const std::string &name) {
        WriteCatalog(Product("p", "p-dir", "Game.exe", "/games/" + name + "/manifest.json"));
    }
    std::wstring Local() const { return DefaultRoot() + L"\\p-dir\\big.pak"; }
    std::wstring Staged() const { return Path(L".orvelant-staging\\p\\big.pak.part"); }
    static std::string Served(const std::string &game) {
        return ReadFileBytes(HostTree() + L"\\games\\" + Widen(game) + L"\\files\\big.pak");
    }
    void InstallOld() {
        std::error_code ec;
        std::filesystem::remove_all(Path(L".orvelant-staging"), ec);
        WriteFileBytes(Local(), Served("pieces-old"));
    }
    ChildRun Job(const ChildOptions &options = ChildOptions()) {
        return Run(L" /parent:{parent} /product:p", options);
    }
};

}  // namespace

TEST_F(PieceJob, ChangedAndInsertedMiddleFetchesOnlyItsPiecesAndSurvivesAKill) {
    const std::string wanted = Served("pieces");
    Use("pieces");
    InstallOld();
    size_t mark = HostAccessLog().size();
    size_t lists = HostRequestCount("/games/pieces/files/big.pak.pieces.sig");
    ChildRun run = Job();
    EXPECT_EQ(0u, run.exit_code);
    EXPECT_TRUE(ReadFileBytes(Local()) == wanted);
    EXPECT_EQ(lists + 1, HostRequestCount("/games/pieces/files/big.pak.pieces.sig"));
    Fetched full = FetchedSince(mark, "/games/pieces/files/big.pak");
    EXPECT_EQ(0, full.whole);
    EXPECT_GE(full.ranged, 1);
    EXPECT_LT(full.ranged_bytes * 4, wanted.size());
    EXPECT_EQ(std::string::npos, Log().find("whole file"));

    // Killed while the pieces travel (slowly), then run again: what was
    // already staged is kept, and the file is still exactly the signed one.
    InstallOld();
    SettingsGuard::SetNumber(L"BandwidthKbps", 256);
    // Killed once the remaining size shown has fallen to 1 MiB: the figures
    // count only what travels (never the file's size) and whole pieces have
    // landed in the staged file.
    const long long travel = (long long)(full.ranged_bytes >> 20) + 1;
    long long most = 0;
    ChildOptions kill;
    kill.on_message = [&most](const WorkerMessage &m, HANDLE process) {
        if (m.message != WM_WORKER_TRANSFER) return;
        most = std::max(most, m.lparam);
        if (m.lparam <= 1) {
            TerminateProcess(process, 77);
            WaitForSingleObject(process, 5000);
        }
    };
    run = Job(kill);
    EXPECT_LE(most, travel);
    EXPECT_EQ(77u, run.exit_code);
    EXPECT_TRUE(ReadFileBytes(Local()) == Served("pieces-old"));
    EXPECT_GT(ReadFileBytes(Staged()).size(), 0u);
    SettingsGuard::SetNumber(L"BandwidthKbps", 0);
    mark = HostAccessLog().size();
    run = Job();
    EXPECT_EQ(0u, run.exit_code);
    EXPECT_TRUE(ReadFileBytes(Local()) == wanted);
    Fetched resumed = FetchedSince(mark, "/games/pieces/files/big.pak");
    EXPECT_EQ(0, resumed.whole);
    EXPECT_LT(resumed.ranged_bytes, full.ranged_bytes);
}

// Every /content/ request since a point in the access log: path, status and
// body bytes.
struct ObjectGet {
    std::string path;
    int status;
    unsigned long long bytes;
};

std::vector<ObjectGet> ObjectGetsSince(size_t mark) {
    std::vector<ObjectGet> gets;
    std::string log = HostAccessLog().substr(mark);
    const std::string needle = "\"GET /content/";
    for (size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1)) {
        size_t end = log.find(' ', at + 5);
        ObjectGet g;
        g.path = log.substr(at + 5, end - at - 5);
        size_t status = log.find("\" ", end) + 2;
        g.status = std::atoi(log.c_str() + status);
        g.bytes = std::strtoull(log.c_str() + status + 4, nullptr, 10);
        gets.push_back(g);
    }
    return gets;
}

// The host paths of the objects a signed piece list names.
std::set<std::string> ListedObjects(const std::string &list) {
    std::set<std::string> paths;
    size_t records = list.find('\n') + 1;
    static const char digits[] = "0123456789abcdef";
    for (size_t at = records; at + 36 <= list.size(); at += 36) {
        std::string hex;
        for (size_t k = at + 4; k < at + 36; ++k) {
            hex += digits[(unsigned char)list[k] >> 4];
            hex += digits[(unsigned char)list[k] & 15];
        }
        paths.insert("/content/" + hex.substr(0, 2) + "/" + hex);
    }
    return paths;
}

TEST_F(PieceJob, PieceObjectsTravelAsPlainGetsOfWhatChangedOnlyAndSurviveAKill) {
    const std::string wanted = Served("pieces-obj");
    const std::set<std::string> listed = ListedObjects(
        ReadFileBytes(HostTree() + L"\\games\\pieces-obj\\files\\big.pak.pieces"));
    Use("pieces-obj");
    InstallOld();
    size_t mark = HostAccessLog().size();
    ChildRun run = Job();
    EXPECT_EQ(0u, run.exit_code);
    EXPECT_TRUE(ReadFileBytes(Local()) == wanted);
    // Nothing of the file itself: only objects the list names (or their
    // block lists), each object asked for once whole or by its changed blocks.
    Fetched file = FetchedSince(mark, "/games/pieces-obj/files/big.pak");
    EXPECT_EQ(0, file.whole + file.ranged);
    unsigned long long bytes = 0;
    std::map<std::string, int> whole;
    int pieces = 0;
    for (const ObjectGet &g : ObjectGetsSince(mark)) {
        std::string object = g.path.substr(0, g.path.find(".blocks"));
        EXPECT_EQ(1u, listed.count(object)) << g.path;
        EXPECT_TRUE(g.status == 200 || g.status == 206) << g.path << " " << g.status;
        bytes += g.bytes;
        if (g.path == object && g.status == 200) ++whole[object];
        if (g.path == object) ++pieces;
    }
    for (const auto &w : whole) EXPECT_EQ(1, w.second) << w.first;
    EXPECT_GE(pieces, 1);
    EXPECT_LT(bytes * 4, wanted.size());
    EXPECT_EQ(std::string::npos, Log().find("whole file"));

    // Killed while the objects travel (slowly, one at a time) once half the
    // bytes are left: the pieces already staged stay for the next run.
    InstallOld();
    SettingsGuard::SetNumber(L"BandwidthKbps", 1024);
    SettingsGuard::SetNumber(L"ParallelRequests", 1);
    const long long half = (long long)(bytes >> 21);
    ASSERT_GE(half, 1);
    ChildOptions kill;
    kill.on_message = [half](const WorkerMessage &m, HANDLE process) {
        if (m.message == WM_WORKER_TRANSFER && m.lparam <= half) {
            TerminateProcess(process, 77);
            WaitForSingleObject(process, 5000);
        }
    };
    run = Job(kill);
    EXPECT_EQ(77u, run.exit_code);
    EXPECT_TRUE(ReadFileBytes(Local()) == Served("pieces-old"));
    EXPECT_GT(ReadFileBytes(Staged()).size(), 0u);
    SettingsGuard::SetNumber(L"ParallelRequests", 0);
    SettingsGuard::SetNumber(L"BandwidthKbps", 0);
    mark = HostAccessLog().size();
    run = Job();
    EXPECT_EQ(0u, run.exit_code);
    EXPECT_TRUE(ReadFileBytes(Local()) == wanted);
    unsigned long long resumed = 0;
    for (const ObjectGet &g : ObjectGetsSince(mark)) resumed += g.bytes;
    EXPECT_LT(resumed, bytes);
}

// Another file fails for good (the host lacks it) while the large file is
// still reading its installed copy: the job stops, and the pieces an earlier
// run staged stay in its ".part" for the next run.
TEST_F(PieceJob, AFileFailingElsewhereKeepsTheStagedPieces) {
    const std::string wanted = Served("pieces-obj");
    const size_t kept = 18u << 20;  // past the rewrite's start, short of its end
    Use("pieces-fail");
    InstallOld();
    WriteFileBytes(Staged(), wanted.substr(0, kept));
    SettingsGuard::SetNumber(L"ParallelRequests", 2);
    ChildRun run = Job();
    SettingsGuard::SetNumber(L"ParallelRequests", 0);
    EXPECT_NE(0u, run.exit_code);
    EXPECT_TRUE(ReadFileBytes(Local()) == Served("pieces-old"));
    const std::string part = ReadFileBytes(Staged());
    ASSERT_GE(part.size(), kept);
    EXPECT_TRUE(part.compare(0, kept, wanted, 0, kept) == 0);
    const std::string log = Log();
    EXPECT_EQ(std::string::npos, log.find("failed SHA-256"));
    // Only the file that failed is named as failed.
    const size_t failed = log.find("Download failed");
    ASSERT_NE(std::string::npos, failed);
    EXPECT_NE(std::string::npos, log.find("lost.bin", failed));
    EXPECT_EQ(std::string::npos, log.find("Download failed", failed + 1));

    // The release without the lost file ends current, and then nothing is
    // left in staging (nor what an older release's file or pack left there).
    const std::wstring stray = Path(L".orvelant-staging\\p\\dropped\\old.pak.part");
    const std::wstring stray_pack = Path(L".orvelant-staging\\.packs\\p\\0123.part");
    WriteFileBytes(stray, "leftover");
    WriteFileBytes(stray_pack, "leftover");
    Use("pieces-obj");
    run = Job();
    EXPECT_EQ(0u, run.exit_code);
    EXPECT_TRUE(ReadFileBytes(Local()) == wanted);
    EXPECT_FALSE(PathIsFile(stray));
    EXPECT_FALSE(PathIsFile(stray_pack));
    EXPECT_FALSE(PathIsFile(Staged()));
}

// A large file's own pool of piece fetches runs inside the pool of files,
// while small files travel beside it: the host still sees no more requests
// at once than "ParallelRequests" says.
TEST_F(PieceJob, PieceFetchesInsideThePoolOfFilesKeepToTheRequestBudget) {
    Use("pieces-nest");
    InstallOld();
    SettingsGuard::SetNumber(L"ParallelRequests", 2);
    // A limit far past any link bites nowhere (and never stalls a read).
    SettingsGuard::SetNumber(L"BandwidthKbps", 1u << 24);
    const size_t before = FlakyRequests().size();
    ChildRun run = Job();
    SettingsGuard::SetNumber(L"BandwidthKbps", 0);
    SettingsGuard::SetNumber(L"ParallelRequests", 0);
    EXPECT_EQ(0u, run.exit_code);
    EXPECT_TRUE(ReadFileBytes(Local()) == Served("pieces-nest"));
    const std::vector<FlakyRequest> all = FlakyRequests();
    int most = 0, objects = 0;
    for (size_t k = before; k < all.size(); ++k) {
        most = std::max(most, all[k].inflight);
        objects += all[k].url.rfind("/flaky/slow/content/", 0) == 0 ? 1 : 0;
    }
    EXPECT_GE(objects, 2);
    EXPECT_EQ(2, most);
}

// Paused before the downloads begin: no request of the piece update (its
// list, its signature, its objects, the small file beside it) goes out
// until the flag is gone, and then the update finishes.
TEST_F(PieceJob, APauseHoldsEveryRequestOfAPieceUpdate) {
    Use("pieces-obj");
    InstallOld();
    const std::wstring flag = Path(L"pause.download");
    WriteFileBytes(flag, "");
    const size_t mark = HostAccessLog().size();
    std::string while_paused;
    ChildOptions options;
    options.on_message = [&](const WorkerMessage &m, HANDLE) {
        // The verify's last step: the downloads come next.
        if (m.message != WM_WORKER_STATUS || m.wparam != PRODUCT_VERIFYING || m.lparam != 35)
            return;
        Sleep(1500);
        while_paused = HostAccessLog().substr(mark);
        DeleteFileW(flag.c_str());
    };
    ChildRun run = Job(options);
    EXPECT_NE(std::string::npos, while_paused.find("/games/pieces-obj/manifest.json"));
    EXPECT_EQ(std::string::npos, while_paused.find("/games/pieces-obj/files/"));
    EXPECT_EQ(std::string::npos, while_paused.find("/content/"));
    EXPECT_EQ(0u, run.exit_code);
    EXPECT_TRUE(ReadFileBytes(Local()) == Served("pieces-obj"));
}

// A new file that shares pieces with an installed, current file of the
// product takes them from there (while a game holds that file open for
// reading): only the pieces of its own travel.
TEST_F(PieceJob, NewFileTakesThePiecesAnotherCurrentFileHolds) {
    const std::wstring files = HostTree() + L"\\games\\pieces-share\\files\\";
    const std::string wanted = ReadFileBytes(files + L"more.pak");
    const std::set<std::string> mine = ListedObjects(ReadFileBytes(files + L"more.pak.pieces"));
    const std::set<std::string> theirs = ListedObjects(ReadFileBytes(files + L"big.pak.pieces"));
    std::set<std::string> shared;
    for (const std::string &o : mine)
        if (theirs.count(o)) shared.insert(o);
    ASSERT_GE(shared.size(), 4u);
    Use("pieces-share");
    std::error_code ec;
    std::filesystem::remove_all(Path(L".orvelant-staging"), ec);
    const std::wstring more = DefaultRoot() + L"\\p-dir\\more.pak";
    DeleteFileW(more.c_str());
    WriteFileBytes(Local(), Served("pieces-share"));
    WriteFileBytes(DefaultRoot() + L"\\p-dir\\Game.exe", ReadFileBytes(files + L"Game.exe"));
    HANDLE held = CreateFileW(Local().c_str(), GENERIC_READ, FILE_SHARE_READ, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    size_t mark = HostAccessLog().size();
    ChildRun run = Job();
    CloseHandle(held);
    EXPECT_EQ(0u, run.exit_code);
    EXPECT_TRUE(ReadFileBytes(more) == wanted);
    EXPECT_TRUE(ReadFileBytes(Local()) == Served("pieces-share"));
    Fetched whole = FetchedSince(mark, "/games/pieces-share/files/more.pak");
    EXPECT_EQ(0, whole.whole + whole.ranged);
    unsigned long long bytes = 0;
    int objects = 0;
    for (const ObjectGet &g : ObjectGetsSince(mark)) {
        EXPECT_EQ(0u, shared.count(g.path)) << "shared piece fetched: " << g.path;
        EXPECT_EQ(1u, mine.count(g.path)) << g.path;
        bytes += g.bytes;
        ++objects;
    }
    EXPECT_GE(objects, 1);
    EXPECT_LT(bytes * 2, wanted.size());
    EXPECT_EQ(std::string::npos, Log().find("whole file"));
}

TEST_F(PieceJob, RepairFetchesOnlyTheDamagedPieces) {
    std::string damaged = Served("pieces");
    const std::string wanted = damaged;
    for (size_t at : {damaged.size() / 5, damaged.size() * 4 / 5})
        for (size_t k = 0; k < 4096; ++k) damaged[at + k] ^= 0x5a;
    Use("pieces");
    WriteFileBytes(Local(), damaged);
    size_t mark = HostAccessLog().size();
    ChildRun run = Run(L" /parent:{parent} /product:p /repair");
    EXPECT_EQ(0u, run.exit_code);
    EXPECT_TRUE(ReadFileBytes(Local()) == wanted);
    Fetched f = FetchedSince(mark, "/games/pieces/files/big.pak");
    EXPECT_EQ(0, f.whole);
    EXPECT_EQ(2, f.ranged);  // one request per damaged stretch
    EXPECT_LT(f.ranged_bytes * 4, wanted.size());
}

TEST_F(PieceJob, LyingListRangeIgnoringHostAndMissingListEndInTheWholeSignedFile) {
    struct Case {
        const char *game;
        const char *path;  // where the file is fetched from
        const char *line;
        int whole;  // 200 answers: the ignored range is one of them
    } cases[] = {
        {"pieces-lie", "/games/pieces-lie/files/big.pak",
         "Assembled file failed SHA-256; fetching the whole file once", 1},
        {"pieces-norange", "/norange/games/pieces/files/big.pak",
         "Host ignored the range request; downloading the whole file", 2},
        {"pieces-nolist", "/games/pieces-nolist/files/big.pak",
         "Piece list unavailable; downloading the whole file", 1},
        {"pieces-gone", "/games/pieces-gone/files/big.pak",
         "Piece object missing; downloading the whole file", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.game);
        Use(c.game);
        InstallOld();
        size_t mark = HostAccessLog().size();
        ChildRun run = Job();
        EXPECT_EQ(0u, run.exit_code);
        std::string wanted = Served(std::string(c.game) == "pieces-norange" ? "pieces" : c.game);
        EXPECT_TRUE(ReadFileBytes(Local()) == wanted);
        Fetched f = FetchedSince(mark, c.path);
        EXPECT_EQ(c.whole, f.whole);
        EXPECT_EQ(0, f.ranged);
        EXPECT_NE(std::string::npos, Log().find(c.line));
        EXPECT_FALSE(PathIsFile(Staged()));
    }
}
