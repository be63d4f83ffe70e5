#include "worker_fixture.h"

using namespace orv_test;

void WorkerFixture::SetUp() {
    // Everything of one test lies in its own fresh folder: the install, the
    // user's local application data (the default Game Library) and whatever
    // else the test makes beside them.
    const std::wstring base = FreshScratchDir();
    install_ = base + L"\\install";
    MakeDirs(install_);
    exe_ = install_ + L"\\ORVELANT Update Worker.exe";
    CopyFileW((BinDir() + L"\\ORVELANT Update Worker.exe").c_str(), exe_.c_str(), FALSE);
    local_app_data_ = base + L"\\localappdata";
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

std::string WorkerFixture::Product(const std::string &id, const std::string &install_dir,
                                   const std::string &executable, const std::string &manifest) {
    return "{\"id\": \"" + id + "\", \"title\": \"T\", \"install_dir\": \"" + install_dir +
           "\", \"executable\": \"" + executable + "\", \"manifest_path\": \"" + manifest + "\"}";
}
