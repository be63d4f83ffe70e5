#include "worker_fixture.h"

using namespace orv_test;

void WorkerFixture::SetUp() {
    install_ = PrepareInstallDir(BinDir() + L"\\ORVELANT Update Worker.exe",
                                 L"ORVELANT Update Worker.exe");
    exe_ = install_ + L"\\ORVELANT Update Worker.exe";
    local_app_data_ = install_ + L"-localappdata";
    MakeDirs(local_app_data_);
    env_.Set(L"LOCALAPPDATA", local_app_data_.c_str());
    env_.Set(L"ORV_TEST_FAULT", nullptr);
    env_.Set(L"ORV_TEST_TRANSFER", nullptr);
}

void WorkerFixture::UseTestHooks() {
    exe_ = install_ + L"\\worker-with-test-hooks.exe";
    CopyFileW((TestBinDir() + L"\\worker-with-test-hooks.exe").c_str(), exe_.c_str(), FALSE);
    DeleteFileW((install_ + L"\\ORVELANT Update Worker.exe").c_str());
}

ChildRun WorkerFixture::Run(const std::wstring &args, const ChildOptions &options) {
    ChildRun run = RunChild(exe_, args, options);
    EXPECT_TRUE(run.started);
    EXPECT_FALSE(run.timed_out);
    return run;
}

std::string WorkerFixture::Log() const { return ReadFileBytes(Path(L"logs\\updater.log")); }

void WorkerFixture::WriteCatalog(const std::string &products_json) {
    WriteFileBytes(Path(L"catalog.json"), "{\n  \"products\": [" + products_json + "]\n}\n");
}
