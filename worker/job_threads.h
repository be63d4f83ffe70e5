// A product job's work on several threads: the items 0 .. count - 1 are
// handed out in order (or in a given order) to a small fixed pool; each finished item is reported
// in item order, so what the Shell sees is posted in manifest order whatever
// the order the threads finish in.
#pragma once

#include <windows.h>

#include "transport.h"

enum { kMaxJobThreads = 16 };

struct JobThreads;
// 1 when the item is done, 0 when it failed (the run then hands out no more
// items and stops the transfers in flight).
typedef int (*JobItemWork)(JobThreads *run, int index, TransferThread *t);
// Called once per item in item order, under the run's lock, after the item
// and every item before it are done.
typedef void (*JobItemDone)(JobThreads *run, int index);

struct JobThreads {
    int count;
    int threads;        // 1 .. kMaxJobThreads
    int transfers;      // each thread keeps a TransferThread (buffer, watch view)
    JobItemWork work;
    JobItemDone done;
    void *context;
    // When set, the items are handed out in this order (count indexes; the
    // report stays in item order).
    const int *order;
    // Kept by RunJobThreads.
    unsigned char *finished;  // count bytes
    volatile LONG next;
    volatile LONG failed;
    int reported;
    SRWLOCK lock;
};

// Runs every item; 1 when all succeeded. Memory: one byte per item, and per
// thread its stack (reserved kJobThreadStackBytes) and, with transfers, one
// 64 KiB buffer.
int RunJobThreads(JobThreads *run);
// The pool size for hashing: the machine's processors, at most 8.
int HashingThreads(void);
// The pool size for downloads: 8, or the settings value "ParallelRequests"
// (1 .. 16) when it is set.
int DownloadThreads(void);
