// Rules that every published text must pass so that the launcher reads it back
// exactly as written. Each check returns an empty string when the value is fine,
// otherwise a short reason in English that callers put after the value.
#pragma once

#include <cstddef>
#include <string>

namespace orv {

// Identifier rule of the launcher: non-empty, only a-z, 0-9, "-" and "_".
bool IsSafeId(const std::string& value);

// Relative-path rule of the launcher: non-empty, no leading "/" or "\",
// none of  " * : < > ? |  and no two consecutive dots anywhere.
bool IsSafeRelativePath(const std::string& value);

// Why IsSafeRelativePath refuses a value ("" when it accepts it).
std::string RelativePathProblem(const std::string& value);

// Stricter rule for a path the release tool writes into a manifest or a tree:
// the launcher's rule, plus names that Windows can create, that travel in an
// HTTP request line unchanged, and that the launcher's manifest reader cannot
// mistake for structure. "/" separates folders; "\" is refused as ambiguous.
std::string FilePathProblem(const std::string& value);

// A host-relative path on the update host ("/a/b/c"), used for manifest_path,
// url prefixes and the Setup's place in the tree. Same name rules per segment.
// When prefix is true the value must end with "/" (a folder).
std::string HostPathProblem(const std::string& value, bool prefix);

// Well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool IsValidUtf8(const std::string& value);

// Number of UTF-16 units the text becomes (valid UTF-8 assumed).
size_t Utf16Units(const std::string& value);

// Free text for a document value: valid UTF-8, no control characters except
// line feed when allowLineFeed, and fits a reader that copies at most
// readCapacity - 1 bytes into a field of fieldCapacity - 1 UTF-16 units.
std::string TextProblem(const std::string& value, bool allowLineFeed,
                        size_t readCapacity, size_t fieldCapacity);

// Version text: 1 to 95 characters from A-Z a-z 0-9 . + - _ (the launcher
// writes it into version.json without escaping).
std::string VersionProblem(const std::string& value);

// Exactly 64 hexadecimal digits.
bool IsSha256Hex(const std::string& value);

// Web address opened by the launcher's browser hand-off: empty, or http(s)://
// followed by printable ASCII without blanks.
std::string WebAddressProblem(const std::string& value);

// The launcher's version comparison: the n-th numeric component, then a
// three-component "older than" test.
int VersionComponent(const std::string& text, int n);
bool IsVersionOlder(const std::string& a, const std::string& b);

// Body of a JSON string literal: escapes the double quote, the backslash and
// the line feed (the only escapes the launcher's reader turns back).
std::string JsonEscape(const std::string& value);

}  // namespace orv
