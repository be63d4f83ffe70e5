// Inflating a compressed document (a manifest's gzip twin) with zlib, into a
// buffer that never grows past the caller's cap: a small body that would
// inflate past it is refused before it can take the Worker's memory.
#include <windows.h>

#include <zlib.h>

#include "runtime.h"
#include "transport.h"

// zlib's allocator, taken from the process heap instead of the C runtime
// the Worker does not carry (zlib calls these when a stream names none).
extern "C" void *zcalloc(void *, unsigned items, unsigned size) {
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, (SIZE_T)items * size);
}
extern "C" void zcfree(void *, void *block) {
    if (block) HeapFree(GetProcessHeap(), 0, block);
}

int InflateDocument(const char *packed, unsigned int packed_length, unsigned int max_bytes,
                    char **out_body, unsigned int *out_length) {
    *out_body = NULL;
    *out_length = 0;
    HANDLE heap = GetProcessHeap();
    z_stream stream;
    FillZero(&stream, sizeof(stream));
    // 15 window bits plus 32: a gzip or a zlib header, told by its bytes.
    if (inflateInit2(&stream, 15 + 32) != Z_OK) return INFLATE_CORRUPT;
    // A first guess of eight times the packed size (JSON with hex digests
    // packs about 5:1), then doubling, never past the cap (plus the
    // terminator the documents' readers rely on).
    unsigned long long capacity = (unsigned long long)packed_length * 8 + 1024;
    if (capacity > (unsigned long long)max_bytes + 1) capacity = (unsigned long long)max_bytes + 1;
    char *body = (char *)HeapAlloc(heap, 0, (SIZE_T)capacity);
    int result = INFLATE_CORRUPT;
    unsigned long long length = 0;
    stream.next_in = (Bytef *)packed;
    stream.avail_in = packed_length;
    while (body) {
        if (length + 1 >= capacity) {
            if (capacity >= (unsigned long long)max_bytes + 1) {
                result = INFLATE_TOO_LARGE;
                break;
            }
            unsigned long long grown = capacity * 2;
            if (grown > (unsigned long long)max_bytes + 1) grown = (unsigned long long)max_bytes + 1;
            char *bigger = (char *)HeapReAlloc(heap, 0, body, (SIZE_T)grown);
            if (!bigger) break;
            body = bigger;
            capacity = grown;
        }
        stream.next_out = (Bytef *)body + length;
        stream.avail_out = (uInt)(capacity - 1 - length);
        const int z = inflate(&stream, Z_NO_FLUSH);
        length = capacity - 1 - stream.avail_out;
        if (z == Z_STREAM_END) {
            // Bytes after the stream's end are no part of the document.
            result = stream.avail_in == 0 ? INFLATE_DONE : INFLATE_CORRUPT;
            break;
        }
        if (z != Z_OK && !(z == Z_BUF_ERROR && stream.avail_out == 0)) break;
        if (stream.avail_in == 0 && stream.avail_out > 0) break;  // cut short
    }
    inflateEnd(&stream);
    if (result != INFLATE_DONE) {
        if (body) HeapFree(heap, 0, body);
        return result;
    }
    body[length] = 0;
    *out_body = body;
    *out_length = (unsigned int)length;
    return INFLATE_DONE;
}
