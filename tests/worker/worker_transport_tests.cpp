// The Worker's transfers against the real update host (nginx over TLS on
// port 443): downloads with resume, pause and throttle, documents into
// memory, and signed documents.
#include <algorithm>

#include "update_host.h"
#include "worker_fixture.h"

using namespace orv_test;

namespace {

const char kInterrupted[] = "Download interrupted; .part retained for resume\r\n";

class TransportTest : public WorkerFixture {
protected:
    void SetUp() override {
        WorkerFixture::SetUp();
        UseTestHooks();
        part_ = Path(L"download.part");
    }
    void TearDown() override {
        if (host_stopped_) EXPECT_TRUE(StartHost());
    }
    std::string Served(const std::wstring &relative) const {
        return ReadFileBytes(HostTree() + L"\\" + relative);
    }
    ChildRun Download(const std::wstring &url, unsigned long long expected,
                      const ChildOptions &options = ChildOptions()) {
        env_.Set(L"ORV_TEST_DOWNLOAD",
                 (url + L"|" + part_ + L"|" + std::to_wstring(expected)).c_str());
        ChildRun run = Run(L" /parent:{parent}", options);
        env_.Set(L"ORV_TEST_DOWNLOAD", nullptr);
        return run;
    }
    ChildRun Get(const std::wstring &url, const std::wstring &out) {
        env_.Set(L"ORV_TEST_GET", (url + L"|" + out).c_str());
        ChildRun run = Run(L" /parent:{parent}");
        env_.Set(L"ORV_TEST_GET", nullptr);
        return run;
    }
    ChildRun Fetch(const std::wstring &url, const std::wstring &token, const std::wstring &out) {
        env_.Set(L"ORV_TEST_FETCH", (url + L"|" + token + L"|" + out).c_str());
        ChildRun run = Run(L" /parent:{parent}");
        env_.Set(L"ORV_TEST_FETCH", nullptr);
        return run;
    }
    std::wstring part_;
    bool host_stopped_ = false;
};

unsigned long long FileSize(const std::wstring &path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return ((unsigned long long)data.nFileSizeHigh << 32) | data.nFileSizeLow;
}

}  // namespace

using FileDownload = TransportTest;

TEST_F(FileDownload, FullBodyIntoANewPartFile) {
    const std::string served = Served(L"files\\blob-4m.bin");
    ChildRun run = Download(L"/files/blob-4m.bin", served.size());
    EXPECT_EQ(0u, run.exit_code);
    EXPECT_EQ(served, ReadFileBytes(part_));
    std::vector<WorkerMessage> posts = run.Transfers();
    ASSERT_FALSE(posts.empty());
    EXPECT_EQ(4, posts.front().lparam);  // the first chunk: 4 MiB minus 64 KiB, rounded up
    EXPECT_EQ(0, posts.back().lparam);   // the completing chunk always posts
    EXPECT_EQ("", Log());
}

TEST_F(FileDownload, FolderNamesWithBlanksAndAMissingParentFolder) {
    part_ = Path(L"staging\\deep\\small.bin.part");
    ChildRun run = Download(L"/files/sub%20dir/small.bin", 1000);
    EXPECT_EQ(0u, run.exit_code);
    EXPECT_EQ(Served(L"files\\sub dir\\small.bin"), ReadFileBytes(part_));
}

TEST_F(FileDownload, ResumeAppendsAfterThePartAndCountsItsBytes) {
    const std::string served = Served(L"files\\blob-4m.bin");
    const size_t offset = 3 * 1048576 + 1000;
    WriteFileBytes(part_, served.substr(0, offset));
    ChildRun run = Download(L"/files/blob-4m.bin", served.size());
    EXPECT_EQ(0u, run.exit_code);
    EXPECT_EQ(served, ReadFileBytes(part_));
    EXPECT_EQ("HTTP Range resume accepted\r\n", Log());
    std::vector<WorkerMessage> posts = run.Transfers();
    ASSERT_FALSE(posts.empty());
    // Posted right after the resume: 1 MiB - 1000 bytes still to come.
    EXPECT_EQ(1, posts.front().lparam);
    EXPECT_EQ(0, posts.back().lparam);
}

// A part answer whose Content-Range starts elsewhere than the .part ends
// (the hostile host starts its first answer one byte late) is dropped unread and
// the same range asked for once more: nothing wrong is appended.
TEST_F(FileDownload, PartAnswerStartingElsewhereIsDroppedAndAskedAgain) {
    const std::string served = Served(L"files\\blob-1m.bin");
    WriteFileBytes(part_, served.substr(0, 1000));
    const std::string url = "/flaky/wrongstart/files/blob-1m.bin";
    size_t before = FlakyRequests().size();
    ChildRun run = Download(Widen(url), served.size());
    EXPECT_EQ(0u, run.exit_code);
    EXPECT_TRUE(served == ReadFileBytes(part_));
    std::vector<FlakyRequest> all = FlakyRequests();
    ASSERT_EQ(before + 2, all.size());
    EXPECT_TRUE(all[before].fault);
    EXPECT_EQ("bytes=1000-", all[before].range);
    EXPECT_EQ("bytes=1000-", all[before + 1].range);
    EXPECT_EQ("Range answer starts elsewhere; asked again\r\nHTTP Range resume accepted\r\n", Log());
}

TEST_F(FileDownload, WholeBodyAnswerToARangeRequestStartsOver) {
    const std::string served = Served(L"files\\blob-1m.bin");
    WriteFileBytes(part_, std::string(1000, 'x'));  // not even the right bytes
    ChildRun run = Download(L"/norange/files/blob-1m.bin", served.size());
    EXPECT_EQ(0u, run.exit_code);
    EXPECT_EQ(served, ReadFileBytes(part_));
    EXPECT_EQ("", Log());  // no resume was accepted
    std::vector<WorkerMessage> posts = run.Transfers();
    ASSERT_FALSE(posts.empty());
    EXPECT_EQ(1, posts.front().lparam);
}

// A file past the range limit (1 GiB shipped; 1 MiB here through the test
// build's knob) is asked for range by range, a part on disk resumed from its
// end; a host that answers ranges with the whole body still gives the file.
TEST_F(FileDownload, AFilePastTheRangeLimitComesInRangesFromThePartsEnd) {
    std::string served = Served(L"files\\blob-4m.bin");
    served.resize(3 * 1048576 + 4321);
    WriteFileBytes(HostTree() + L"\\files\\ranged-only-here.bin", served);
    env_.Set(L"ORV_TEST_RANGE_BYTES", L"1048576");
    WriteFileBytes(part_, served.substr(0, 1500000));
    const std::wstring bytes = std::to_wstring(served.size());
    const size_t requests_before = HostRequestCount("/files/ranged-only-here.bin");
    env_.Set(L"ORV_TEST_DOWNLOAD",
             (L"/files/ranged-only-here.bin|" + part_ + L"|" + bytes + L"|" + bytes).c_str());
    ChildRun run = Run(L" /parent:{parent}");
    EXPECT_EQ(0u, run.exit_code);
    EXPECT_EQ(served, ReadFileBytes(part_));
    EXPECT_EQ("HTTP Range resume accepted\r\n", Log());
    // From the part's end in ranges of 1 MiB, the last one short.
    EXPECT_EQ(requests_before + (served.size() - 1500000 + 1048575) / 1048576,
              HostRequestCount("/files/ranged-only-here.bin"));
    std::vector<WorkerMessage> posts = run.Transfers();
    ASSERT_FALSE(posts.empty());
    EXPECT_EQ(0, posts.back().lparam);

    WriteFileBytes(part_, "");
    env_.Set(L"ORV_TEST_DOWNLOAD",
             (L"/norange/files/ranged-only-here.bin|" + part_ + L"|" + bytes + L"|" + bytes).c_str());
    run = Run(L" /parent:{parent}");
    env_.Set(L"ORV_TEST_DOWNLOAD", nullptr);
    env_.Set(L"ORV_TEST_RANGE_BYTES", nullptr);
    EXPECT_EQ(0u, run.exit_code);
    EXPECT_EQ(served, ReadFileBytes(part_));
}

TEST_F(FileDownload, CompletePartIsAcceptedWithoutTouchingIt) {
    const std::string served = Served(L"files\\blob-1m.bin");
    WriteFileBytes(part_, served);
    FILETIME before = {}, after = {};
    HANDLE h = CreateFileW(part_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    GetFileTime(h, nullptr, nullptr, &before);
    CloseHandle(h);
    Sleep(20);
    ChildRun run = Download(L"/files/blob-1m.bin", served.size());
    EXPECT_EQ(0u, run.exit_code);
    EXPECT_TRUE(run.Transfers().empty());
    EXPECT_EQ(served, ReadFileBytes(part_));
    h = CreateFileW(part_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    GetFileTime(h, nullptr, nullptr, &after);
    CloseHandle(h);
    EXPECT_EQ(0, CompareFileTime(&before, &after));
    EXPECT_EQ("", Log());
}

TEST_F(FileDownload, MissingFileFailsAndKeepsAnyPart) {
    ChildRun run = Download(L"/files/not-there.bin", 100);
    EXPECT_EQ(1u, run.exit_code);
    EXPECT_FALSE(PathIsFile(part_));
    WriteFileBytes(part_, "partial");
    run = Download(L"/files/not-there.bin", 100);
    EXPECT_EQ(1u, run.exit_code);
    EXPECT_EQ("partial", ReadFileBytes(part_));
    EXPECT_EQ(std::string(kInterrupted) + kInterrupted, Log());
}

TEST_F(FileDownload, APartThatCannotBeOpenedFailsTheDownload) {
    const std::string served = Served(L"files\\blob-1m.bin");
    WriteFileBytes(part_, served.substr(0, 5000));
    HANDLE h = CreateFileW(part_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    ChildRun run = Download(L"/files/blob-1m.bin", served.size());
    CloseHandle(h);
    EXPECT_EQ(1u, run.exit_code);
    EXPECT_EQ(served.substr(0, 5000), ReadFileBytes(part_));
    EXPECT_EQ(kInterrupted, Log());
}

TEST_F(FileDownload, BrokenConnectionKeepsThePartAndALaterRunResumes) {
    const std::string served = Served(L"files\\blob-4m.bin");
    ChildOptions options;
    options.on_message = [&](const WorkerMessage &m, HANDLE) {
        // Stop the host once about half a megabyte has arrived.
        if (!host_stopped_ && m.message == WM_WORKER_TRANSFER && m.lparam <= 3) {
            host_stopped_ = true;
            EXPECT_TRUE(StopHost());
        }
    };
    ChildRun run = Download(L"/slow/files/blob-4m.bin", served.size(), options);
    ASSERT_TRUE(host_stopped_);
    EXPECT_EQ(1u, run.exit_code);
    EXPECT_EQ(kInterrupted, Log());
    std::string partial = ReadFileBytes(part_);
    ASSERT_GT(partial.size(), 0u);
    ASSERT_LT(partial.size(), served.size());
    EXPECT_EQ(served.substr(0, partial.size()), partial);

    ASSERT_TRUE(StartHost());
    host_stopped_ = false;
    run = Download(L"/files/blob-4m.bin", served.size());
    EXPECT_EQ(0u, run.exit_code);
    EXPECT_EQ(served, ReadFileBytes(part_));
    EXPECT_EQ(std::string(kInterrupted) + "HTTP Range resume accepted\r\n", Log());
}

TEST_F(FileDownload, PauseFlagStopsTheBytesAndTheSameRequestFinishesAfterIt) {
    const std::string served = Served(L"files\\blob-4m.bin");
    const std::wstring flag = Path(L"pause.download");
    size_t requests_before = HostRequestCount("/slow/files/blob-4m.bin");
    unsigned long long paused_size = 0, later_size = 0;
    double resumed_at = 0;
    bool paused = false;
    ChildOptions options;
    options.on_message = [&](const WorkerMessage &m, HANDLE) {
        if (paused || m.message != WM_WORKER_TRANSFER) return;
        paused = true;
        WriteFileBytes(flag, "");
        Sleep(400);  // a poll is at most 150 ms away, plus the chunk in flight
        paused_size = FileSize(part_);
        Sleep(1500);
        later_size = FileSize(part_);
        DeleteFileW(flag.c_str());
        resumed_at = m.at_ms + 1900;
    };
    ChildRun run = Download(L"/slow/files/blob-4m.bin", served.size(), options);
    EXPECT_EQ(0u, run.exit_code);
    EXPECT_EQ(paused_size, later_size);
    EXPECT_LT(paused_size, served.size());
    EXPECT_EQ(served, ReadFileBytes(part_));
    EXPECT_EQ("", Log());
    EXPECT_EQ(requests_before + 1, HostRequestCount("/slow/files/blob-4m.bin"));  // one request only
    // Posts went on after the pause.
    std::vector<WorkerMessage> posts = run.Transfers();
    EXPECT_GT(posts.back().at_ms, resumed_at);
}

// A pause outlasts the host's idle timeout: the host drops the request, and
// the resumed download asks once for the rest instead of failing.
TEST_F(FileDownload, PauseLongerThanTheHostsIdleTimeoutResumesWithARange) {
    const std::string served = Served(L"files\\blob-4m.bin");
    const std::wstring flag = Path(L"pause.download");
    const std::string url = "/idle/files/blob-4m.bin";
    size_t requests_before = HostRequestCount(url);
    bool paused = false, dropped = false;
    ChildOptions options;
    options.on_message = [&](const WorkerMessage &m, HANDLE) {
        if (paused || m.message != WM_WORKER_TRANSFER) return;
        paused = true;
        WriteFileBytes(flag, "");
        // The host logs the request once it has given up on it.
        for (int i = 0; i < 300 && !dropped; ++i) {
            Sleep(100);
            dropped = HostRequestCount(url) > requests_before;
        }
        DeleteFileW(flag.c_str());
    };
    ChildRun run = Download(Widen(url), served.size(), options);
    EXPECT_TRUE(dropped);
    EXPECT_EQ(0u, run.exit_code);
    EXPECT_TRUE(served == ReadFileBytes(part_));
    EXPECT_EQ("HTTP Range resume accepted\r\n", Log());
    EXPECT_EQ(requests_before + 2, HostRequestCount(url));
}

TEST_F(FileDownload, BandwidthLimitIsReadAtEveryStep) {
    const std::string served = Served(L"files\\blob-4m.bin");
    // 512 KB/s for 4 MiB would take 8 s; the limit is lifted after about 1 s.
    SettingsGuard::SetNumber(L"BandwidthKbps", 512);
    double lifted_at = 0;
    ChildOptions options;
    options.on_message = [&](const WorkerMessage &m, HANDLE) {
        if (lifted_at == 0 && m.message == WM_WORKER_TRANSFER && m.at_ms > 1000) {
            SettingsGuard::SetNumber(L"BandwidthKbps", 0);
            lifted_at = m.at_ms;
        }
    };
    ChildRun run = Download(L"/files/blob-4m.bin", served.size(), options);
    EXPECT_EQ(0u, run.exit_code);
    EXPECT_EQ(served, ReadFileBytes(part_));
    ASSERT_GT(lifted_at, 0);
    std::vector<WorkerMessage> posts = run.Transfers();
    // While limited, about 512 KiB/s: after ~1 s the remaining size is still
    // well above 3 MiB; once lifted, the rest goes at local speed.
    auto at_lift = std::find_if(posts.begin(), posts.end(),
                                [&](const WorkerMessage &m) { return m.at_ms >= lifted_at; });
    ASSERT_NE(at_lift, posts.end());
    EXPECT_GE(at_lift->lparam, 3);
    EXPECT_LE(at_lift->wparam, 900u);  // average KiB/s so far
    EXPECT_LT(posts.back().at_ms - lifted_at, 4000.0);  // not the 6 s the limit would need
}

// The rate the .part grows at over the 20 s after an event, measured from the
// test's own clock at the Worker's posts; once measured, the limit is lifted so
// that the rest of the file goes at local speed.
struct RateAfter {
    bool armed = false, done = false;
    ULONGLONG t0 = 0, t1 = 0;
    unsigned long long s0 = 0, s1 = 0;
    void Arm(const std::wstring &part) {
        armed = true;
        t0 = GetTickCount64();
        s0 = FileSize(part);
    }
    void Check(const std::wstring &part) {
        if (!armed || done || GetTickCount64() - t0 < 20000) return;
        t1 = GetTickCount64();
        s1 = FileSize(part);
        done = true;
        SettingsGuard::SetNumber(L"BandwidthKbps", 0);
    }
    double KiBps() const { return (double)(s1 - s0) / 1024.0 / ((double)(t1 - t0) / 1000.0); }
};

// A pause is no budget: time spent paused must not let the next bytes through
// unthrottled (with 8 s paused at 1024 KiB/s, 8 MiB would otherwise rush).
TEST_F(FileDownload, BandwidthLimitHoldsAfterAPause) {
    const std::string served = Served(L"files\\blob-64m.bin");
    const std::wstring flag = Path(L"pause.download");
    SettingsGuard::SetNumber(L"BandwidthKbps", 1024);
    RateAfter rate;
    ChildOptions options;
    options.timeout_ms = 120000;
    options.on_message = [&](const WorkerMessage &m, HANDLE) {
        if (m.message != WM_WORKER_TRANSFER) return;
        if (!rate.armed && m.at_ms > 1000) {
            WriteFileBytes(flag, "");
            Sleep(8000);
            DeleteFileW(flag.c_str());
            rate.Arm(part_);
        }
        rate.Check(part_);
    };
    ChildRun run = Download(L"/files/blob-64m.bin", served.size(), options);
    EXPECT_EQ(0u, run.exit_code);
    ASSERT_TRUE(rate.done);
    EXPECT_NEAR(1024.0, rate.KiBps(), 102.4);
    EXPECT_EQ(served.size(), FileSize(part_));
}

// A changed limit starts a new budget: bytes fetched without a limit are not
// paid for with sleeps far below the new one.
// The download starts under a higher limit: without any, loopback delivers the
// 64 MiB in well under a second, before a busy test window has answered the
// first transfer post, and the lowered limit would never be seen.
TEST_F(FileDownload, BandwidthLimitHoldsAfterItIsLowered) {
    const std::string served = Served(L"files\\blob-64m.bin");
    SettingsGuard::SetNumber(L"BandwidthKbps", 8192);
    RateAfter rate;
    ChildOptions options;
    options.timeout_ms = 120000;
    options.on_message = [&](const WorkerMessage &m, HANDLE) {
        if (m.message != WM_WORKER_TRANSFER) return;
        // At least 6 MiB arrived under the higher limit.
        if (!rate.armed && m.lparam <= 58) {
            SettingsGuard::SetNumber(L"BandwidthKbps", 1024);
            rate.Arm(part_);
        }
        rate.Check(part_);
    };
    ChildRun run = Download(L"/files/blob-64m.bin", served.size(), options);
    EXPECT_EQ(0u, run.exit_code);
    ASSERT_TRUE(rate.armed);
    EXPECT_GE(rate.s0, 6u * 1048576);
    ASSERT_TRUE(rate.done);
    EXPECT_NEAR(1024.0, rate.KiBps(), 102.4);
    EXPECT_EQ(served.size(), FileSize(part_));
}

TEST_F(FileDownload, TransferPostsAreAtLeast300msApartButTheLastOne) {
    const std::string served = Served(L"files\\blob-1m.bin");
    ChildRun run = Download(L"/slow/files/blob-1m.bin", served.size());
    EXPECT_EQ(0u, run.exit_code);
    std::vector<WorkerMessage> posts = run.Transfers();
    ASSERT_GE(posts.size(), 3u);  // about 4 s at 256 KiB/s
    for (size_t i = 1; i + 1 < posts.size(); ++i)
        EXPECT_GE(posts[i].at_ms - posts[i - 1].at_ms, 250.0) << i;
    EXPECT_EQ(0, posts.back().lparam);
    for (size_t i = 0; i + 1 < posts.size(); ++i) EXPECT_EQ(1, posts[i].lparam);
}

using DocumentGet = TransportTest;

TEST_F(DocumentGet, BodiesArriveWholeAndEmptyBodiesAreValid) {
    std::wstring out = Path(L"body.bin");
    EXPECT_EQ(0u, Get(L"/files/blob-4m.bin", out).exit_code);
    EXPECT_EQ(Served(L"files\\blob-4m.bin"), ReadFileBytes(out));
    EXPECT_EQ(0u, Get(L"/files/empty.bin", out).exit_code);
    EXPECT_EQ("", ReadFileBytes(out));
    EXPECT_EQ("", Log());
}

TEST_F(DocumentGet, ErrorStatusFails) {
    std::wstring out = Path(L"body.bin");
    EXPECT_EQ(1u, Get(L"/files/missing.json", out).exit_code);
    EXPECT_FALSE(PathIsFile(out));
    EXPECT_EQ("", Log());
}

TEST_F(DocumentGet, BodiesOver8MiBAreRefused) {
    std::wstring out = Path(L"body.bin");
    ChildRun run = Get(L"/files/big-9m.bin", out);
    EXPECT_EQ(1u, run.exit_code);
    EXPECT_FALSE(PathIsFile(out));
    EXPECT_EQ("HTTP response body exceeds 8 MiB limit; discarded\r\n", Log());
}
