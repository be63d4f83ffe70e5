// Flat JSON reader. Works on byte ranges [from, end) of a document; never
// decodes UTF-8, never allocates, never modifies the document.
#include "json.h"

static int IsJsonSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

int JsonFind(const char *doc, JsonOffset end, const char *needle, JsonOffset from,
             JsonOffset *out_pos) {
    if (!doc || !needle || needle[0] == 0 || from >= end) return 0;
    JsonOffset n = 0;
    while (needle[n] != 0) ++n;
    if (n > end - from) return 0;
    for (JsonOffset at = from; at + n <= end; ++at) {
        JsonOffset k = 0;
        while (k < n && doc[at + k] == needle[k]) ++k;
        if (k == n) {
            if (out_pos) *out_pos = at;
            return 1;
        }
    }
    return 0;
}

int JsonHasToken(const char *doc, unsigned int length, const char *token) {
    return doc && length > 2 && JsonFind(doc, length, token, 0, 0);
}

// Shared first steps: find "key", skip blanks, require ':', skip blanks.
static int JsonValueStart(const char *doc, JsonOffset from, JsonOffset end, const char *key,
                          JsonOffset *out_pos) {
    char pattern[96];
    int n = 0;
    pattern[n++] = '"';
    for (int i = 0; key && key[i] != 0 && i < 92; ++i) pattern[n++] = key[i];
    pattern[n++] = '"';
    pattern[n] = 0;
    JsonOffset at = 0;
    if (!JsonFind(doc, end, pattern, from, &at)) return 0;
    at += (JsonOffset)n;
    while (at < end && IsJsonSpace(doc[at])) ++at;
    if (at >= end || doc[at] != ':') return 0;
    ++at;
    while (at < end && IsJsonSpace(doc[at])) ++at;
    *out_pos = at;
    return 1;
}

int JsonGetString(const char *doc, JsonOffset from, JsonOffset end, const char *key,
                  char *dst, unsigned long long capacity) {
    JsonOffset at = 0;
    if (!dst || capacity == 0) return 0;
    if (!JsonValueStart(doc, from, end, key, &at)) return 0;
    if (at >= end || doc[at] != '"') return 0;
    ++at;
    unsigned long long count = 0;
    while (at < end && doc[at] != '"' && count + 1 < capacity) {
        char c = doc[at];
        if (c == '\\' && at + 1 < end) {
            char next = doc[at + 1];
            dst[count++] = next == 'n' ? '\n' : next;
            at += 2;
        } else {
            dst[count++] = c;
            ++at;
        }
    }
    dst[count] = 0;
    return at < end && doc[at] == '"';
}

int JsonGetNumber(const char *doc, JsonOffset from, JsonOffset end, const char *key,
                  unsigned long long *out_value) {
    JsonOffset at = 0;
    if (!JsonValueStart(doc, from, end, key, &at)) return 0;
    unsigned long long value = 0;
    int digits = 0;
    while (at < end && doc[at] >= '0' && doc[at] <= '9') {
        value = value * 10 + (unsigned long long)(doc[at] - '0');
        ++digits;
        ++at;
    }
    if (digits == 0) return 0;
    if (out_value) *out_value = value;
    return 1;
}

static int JsonWordAt(const char *doc, JsonOffset at, JsonOffset end, const char *word) {
    JsonOffset k = 0;
    for (; word[k] != 0; ++k)
        if (at + k >= end || doc[at + k] != word[k]) return 0;
    return 1;
}

int JsonGetBool(const char *doc, JsonOffset from, JsonOffset end, const char *key,
                int *out_value) {
    JsonOffset at = 0;
    if (!JsonValueStart(doc, from, end, key, &at)) return 0;
    if (JsonWordAt(doc, at, end, "true")) {
        if (out_value) *out_value = 1;
        return 1;
    }
    if (JsonWordAt(doc, at, end, "false")) {
        if (out_value) *out_value = 0;
        return 1;
    }
    return 0;
}

JsonOffset JsonArrayEnd(const char *doc, JsonOffset length, JsonOffset first) {
    // Counts braces only; brackets and string contents are not structure here.
    unsigned long long depth = 0;
    for (JsonOffset at = first; at < length; ++at) {
        char c = doc[at];
        if (c == '{') {
            ++depth;
        } else if (c == '}') {
            if (depth > 0) --depth;
        } else if (c == ']' && depth == 0) {
            return at;
        }
    }
    return 0;
}

int JsonArrayBounds(const char *doc, JsonOffset length, const char *quoted_key,
                    JsonOffset *out_first, JsonOffset *out_end) {
    JsonOffset at = 0;
    if (!JsonFind(doc, length, quoted_key, 0, &at)) return 0;
    while (at < length && doc[at] != '[') ++at;
    if (at >= length) return 0;
    *out_first = at + 1;
    *out_end = JsonArrayEnd(doc, length, at + 1);
    return 1;
}

int JsonNextObject(const char *doc, JsonOffset *cursor, JsonOffset array_end,
                   JsonOffset *out_from, JsonOffset *out_end) {
    JsonOffset at = *cursor;
    while (at < array_end && doc[at] != '{') ++at;
    if (at >= array_end) return 0;
    JsonOffset start = at;
    unsigned long long depth = 0;
    for (; at < array_end; ++at) {
        if (doc[at] == '{') {
            ++depth;
        } else if (doc[at] == '}') {
            if (--depth == 0) {
                *out_from = start;
                *out_end = at + 1;
                *cursor = at + 1;
                return 1;
            }
        }
    }
    return 0;
}

int IsSafeId(const char *value) {
    if (!value || value[0] == 0) return 0;
    for (; *value; ++value) {
        char c = *value;
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_'))
            return 0;
    }
    return 1;
}

static char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c; }

// The name [from, from + n) equals the lower-case word, ignoring ASCII case.
static int NameIs(const char *from, unsigned long long n, const char *word) {
    unsigned long long k = 0;
    for (; word[k] != 0; ++k)
        if (k >= n || AsciiLower(from[k]) != word[k]) return 0;
    return k == n;
}

// Windows opens a device, not a file, for a component whose stem (the part
// before the first dot, trailing blanks removed) is a device name, whatever
// the folder and extension: "COM1", "aux.txt", "sub\\lpt1 .log". Trailing
// dots and blanks of the component are dropped first, as Windows does.
static int IsDeviceComponent(const char *from, unsigned long long n) {
    while (n > 0 && (from[n - 1] == '.' || from[n - 1] == ' ')) --n;
    unsigned long long stem = 0;
    while (stem < n && from[stem] != '.') ++stem;
    while (stem > 0 && from[stem - 1] == ' ') --stem;
    if (NameIs(from, stem, "con") || NameIs(from, stem, "prn") || NameIs(from, stem, "aux") ||
        NameIs(from, stem, "nul") || NameIs(from, stem, "conin$") || NameIs(from, stem, "conout$"))
        return 1;
    if (stem < 4 || !(NameIs(from, 3, "com") || NameIs(from, 3, "lpt"))) return 0;
    if (stem == 4 && from[3] >= '0' && from[3] <= '9') return 1;
    // Superscript one, two and three (UTF-8 C2 B9, C2 B2, C2 B3) count as digits.
    const unsigned char *digit = (const unsigned char *)from + 3;
    return stem == 5 && digit[0] == 0xC2 && (digit[1] == 0xB9 || digit[1] == 0xB2 || digit[1] == 0xB3);
}

int IsSafeRelativePath(const char *value) {
    if (!value || value[0] == 0 || value[0] == '/' || value[0] == '\\') return 0;
    const char *component = value;
    for (const char *p = value;; ++p) {
        switch (*p) {
        case '"': case '*': case ':': case '<': case '>': case '?': case '|':
            return 0;
        case '.':
            if (p[1] == '.') return 0;
            break;
        case '/': case '\\': case 0:
            if (IsDeviceComponent(component, (unsigned long long)(p - component))) return 0;
            if (*p == 0) return 1;
            component = p + 1;
            break;
        default:
            break;
        }
    }
}

int HasNamedComponent(const char *value) {
    if (!value) return 0;
    const char *component = value;
    for (const char *p = value;; ++p) {
        if (*p != '/' && *p != '\\' && *p != 0) continue;
        unsigned long long n = (unsigned long long)(p - component);
        while (n > 0 && (component[n - 1] == '.' || component[n - 1] == ' ')) --n;
        if (n > 0) return 1;
        if (*p == 0) return 0;
        component = p + 1;
    }
}
