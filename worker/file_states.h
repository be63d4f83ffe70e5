// What the file system said about each file of a product when a job last
// left it current, beside the digest the file was verified against: a check
// before a start or an update takes a file whose state is still exactly the
// recorded one as verified without reading it. Kept in the product folder
// (".orvelant-file-states", launcher-owned). A repair reads every file.
//
// The state is what one query by path tells, without opening the file:
// size, last-write time and creation time. The creation time stands in for
// the file's identity: a file replaced by another (a copy restored by hand,
// a save through a new file) is a new file with a new creation time even
// when it keeps the old size and last-write time. Not detected: a file
// rewritten in place with its size and both times put back as they were;
// the repair command finds that.
#pragma once

#include <windows.h>

#include "catalog.h"

struct FileState {
    unsigned long long size;
    unsigned long long last_write;  // FILETIME, 100 ns units
    unsigned long long created;
};

// 1 when path names a file (not a folder), with its state.
int ReadFileState(const wchar_t *path, FileState *out);

// After ParseManifest: the product folder's record, read once (a missing,
// foreign or cut record is an empty one), and room for this job's states.
int LoadFileStates(const CatalogProduct *product);
// What the record says of manifest file k in this state: STATE_MATCHES when
// it holds the file's path in exactly this state with the manifest's digest
// and the manifest's size; STATE_DIFFERS when it holds it in exactly this
// state with another digest (the file is known not to match); else
// STATE_UNKNOWN (the file must be read).
enum { STATE_UNKNOWN = 0, STATE_MATCHES = 1, STATE_DIFFERS = 2 };
int RecordedFileState(int k, const FileState *now);
// The state file k was last seen in with its manifest digest: vouched for by
// the record, hashed and matched, or just committed. Safe from any thread
// (each file has its own slot). A hashed file written in the last two
// seconds is not noted: another write within the file system's time grain
// could change it without changing its state, so it is hashed next time too.
enum { STATE_VOUCHED = 0, STATE_HASHED = 1, STATE_COMMITTED = 2 };
void NoteFileState(int k, const FileState *state, int how);
// After the product was sealed current with this manifest: the record made
// from the noted states (left as it is when every file was vouched for).
void SaveFileStates(const CatalogProduct *product);
void FreeFileStates(void);
