// Digest text helpers.
#include "transport.h"

static int IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int IsSha256Hex(const char *text) {
    if (!text) return 0;
    int n = 0;
    for (; text[n] != 0; ++n)
        if (n >= 64 || !IsHexDigit(text[n])) return 0;
    return n == 64;
}
