// The few C library symbols the compiler itself emits calls to (struct
// zeroing and copies). Programs link no C runtime, so they come from here.
// Built with -fno-tree-loop-distribute-patterns so these loops are not turned
// back into calls to themselves.
#include <stddef.h>

extern "C" {

void *memset(void *dst, int value, size_t count) {
    unsigned char *d = (unsigned char *)dst;
    while (count--) *d++ = (unsigned char)value;
    return dst;
}

void *memcpy(void *dst, const void *src, size_t count) {
    unsigned char *d = (unsigned char *)dst;
    const unsigned char *s = (const unsigned char *)src;
    while (count--) *d++ = *s++;
    return dst;
}

void *memmove(void *dst, const void *src, size_t count) {
    unsigned char *d = (unsigned char *)dst;
    const unsigned char *s = (const unsigned char *)src;
    if (d < s) {
        while (count--) *d++ = *s++;
    } else {
        while (count--) d[count] = s[count];
    }
    return dst;
}

int memcmp(const void *a, const void *b, size_t count) {
    const unsigned char *x = (const unsigned char *)a;
    const unsigned char *y = (const unsigned char *)b;
    for (; count--; ++x, ++y)
        if (*x != *y) return *x < *y ? -1 : 1;
    return 0;
}

}  // extern "C"
