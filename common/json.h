// Flat JSON reader: reads single values straight out of a document's bytes.
// Plain byte code without any operating-system header, so it also builds
// natively (fuzzing, host tools).
#pragma once

typedef unsigned long long JsonOffset;

int JsonFind(const char *doc, JsonOffset end, const char *needle, JsonOffset from,
             JsonOffset *out_pos);
int JsonHasToken(const char *doc, unsigned int length, const char *token);
int JsonGetString(const char *doc, JsonOffset from, JsonOffset end, const char *key,
                  char *dst, unsigned long long capacity);
int JsonGetNumber(const char *doc, JsonOffset from, JsonOffset end, const char *key,
                  unsigned long long *out_value);
int JsonGetBool(const char *doc, JsonOffset from, JsonOffset end, const char *key,
                int *out_value);
int JsonArrayBounds(const char *doc, JsonOffset length, const char *quoted_key,
                    JsonOffset *out_first, JsonOffset *out_end);
// Closes an array whose "[" lies just before first; end 0 when unclosed.
JsonOffset JsonArrayEnd(const char *doc, JsonOffset length, JsonOffset first);
int JsonNextObject(const char *doc, JsonOffset *cursor, JsonOffset array_end,
                   JsonOffset *out_from, JsonOffset *out_end);
int IsSafeId(const char *value);
// Relative path without separator at the front, drive, stream, wildcard,
// parent reference or device name ("COM1", "nul.txt") in any component.
int IsSafeRelativePath(const char *value);
// True when some component still has a name once trailing dots and blanks are
// dropped (as Windows drops them): "." , "./" and " " name no folder at all.
int HasNamedComponent(const char *value);
