// Update Worker: process-wide state, status protocol and mode entry points.
#pragma once

#include <windows.h>

#include "worker_protocol.h"

enum WorkerExitCode {
    EXIT_OK = 0,
    EXIT_PRODUCT_NOT_FOUND = 10,
    EXIT_MANIFEST_INVALID = 11,
    EXIT_PRODUCT_JOB_FAILED = 12,
    EXIT_SELF_UPDATE_TARGET = 20,
    EXIT_SELF_UPDATE_DOWNLOAD = 21,
    EXIT_SELF_UPDATE_DIGEST = 22,
    EXIT_SELF_UPDATE_RENAME = 23,
    EXIT_SELF_UPDATE_LAUNCH = 24,
    EXIT_FATAL_EXCEPTION = 99,
};

enum { kProductIdUnits = 64 };

struct WorkerCommandLine {
    int self_update;
    int sync;
    unsigned long long parent_window;
    wchar_t product_id[kProductIdUnits];
    int repair;
};

struct TransferProgress {
    unsigned long long expected_bytes;
    unsigned long long done_bytes;
    unsigned long long start_tick;
    unsigned long long last_post_tick;
};

extern WorkerCommandLine g_command;
extern TransferProgress g_transfer;

void ScanWorkerCommandLine(const wchar_t *command_line, WorkerCommandLine *out);
void PostWorkerStatus(int code, int percent);
void PostWorkerTransfer(void);

// The Worker's test build can slow the commit phase down so that a test can
// kill it there; the shipped Worker has no such hook.
#ifdef ORV_TEST_HOOKS
void TestHookAfterCommitStep(void);
void TestHookBeforeTrustSave(void);
#define TEST_HOOK_AFTER_COMMIT_STEP() TestHookAfterCommitStep()
#define TEST_HOOK_BEFORE_TRUST_SAVE() TestHookBeforeTrustSave()
#else
#define TEST_HOOK_AFTER_COMMIT_STEP() ((void)0)
#define TEST_HOOK_BEFORE_TRUST_SAVE() ((void)0)
#endif

int RunSignedSync(void);
int RunProductJob(void);
int RunSelfUpdate(void);
