// The launcher core the Setup carries: every item is an RCDATA resource of
// the Setup's own file, written out byte for byte.
#include "setup.h"

#include "runtime.h"

int WritePayload(int id, const wchar_t *path) {
    HRSRC found = FindResourceW(NULL, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(10));  // RT_RCDATA
    if (!found) return 0;
    DWORD length = SizeofResource(NULL, found);
    HGLOBAL loaded = LoadResource(NULL, found);
    const void *bytes = loaded ? LockResource(loaded) : NULL;
    // A missing item must never be written as an empty file.
    if (!bytes || length == 0 || length > 0x7FFFFFFF) return 0;
    return WriteWholeFile(path, bytes, (int)length);
}
