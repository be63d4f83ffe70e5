#include "text_rules.h"

#include "json.h"

#include <cctype>
#include <cstdint>
#include <vector>

namespace orv {

namespace {

bool IsForbiddenPathByte(unsigned char c) {
  return c == '"' || c == '*' || c == ':' || c == '<' || c == '>' || c == '?' ||
         c == '|';
}

std::vector<std::string> SplitSlash(const std::string& value) {
  std::vector<std::string> parts;
  std::string current;
  for (char c : value) {
    if (c == '/') {
      parts.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  parts.push_back(current);
  return parts;
}

std::string Quoted(char c) { return std::string("character \"") + c + "\""; }

}  // namespace

bool IsSafeId(const std::string& value) {
  return value.find('\0') == std::string::npos && ::IsSafeId(value.c_str());
}

bool IsSafeRelativePath(const std::string& value) { return RelativePathProblem(value).empty(); }

std::string RelativePathProblem(const std::string& value) {
  if (value.find('\0') != std::string::npos) return "NUL character";
  // The launcher's rule decides; the rest only says why it refuses.
  if (::IsSafeRelativePath(value.c_str())) return "";
  if (value.empty()) return "empty path";
  if (value[0] == '/' || value[0] == '\\') return "leading separator";
  for (unsigned char c : value) {
    if (c == ':') return "colon (drive letter or stream name)";
    if (IsForbiddenPathByte(c)) return Quoted(static_cast<char>(c)) + " is not allowed";
  }
  if (value.find("..") != std::string::npos) {
    // Tell a real parent reference apart from two dots inside a name.
    std::string normalized = value;
    for (char& c : normalized)
      if (c == '\\') c = '/';
    for (const std::string& segment : SplitSlash(normalized))
      if (segment == "..") return "parent reference";
    return "two consecutive dots in a name";
  }
  std::string normalized = value;
  for (char& c : normalized)
    if (c == '\\') c = '/';
  for (const std::string& segment : SplitSlash(normalized))
    if (!segment.empty() && !::IsSafeRelativePath(segment.c_str()))
      return "name \"" + segment + "\" is a reserved Windows device name";
  return "refused by the launcher's path rule";
}

std::string FilePathProblem(const std::string& value) {
  std::string problem = RelativePathProblem(value);
  if (!problem.empty()) return problem;
  for (unsigned char c : value) {
    if (c < 0x20 || c == 0x7f) return "control character";
    if (c >= 0x80) return "non-ASCII character (names are sent unescaped in download addresses)";
    if (c == '\\') return "backslash (use \"/\" between folders)";
    if (c == '%' || c == '#') return Quoted(static_cast<char>(c)) + " has a meaning in web addresses";
    if (c == '{' || c == '}') return "brace (the launcher's document reader counts braces)";
  }
  for (const std::string& segment : SplitSlash(value)) {
    if (segment.empty()) return "empty folder name";
    if (segment == ".") return "current-folder reference";
    if (segment.back() == '.' || segment.back() == ' ')
      return "name \"" + segment + "\" ends with a dot or blank (Windows drops it)";
  }
  return "";
}

std::string HostPathProblem(const std::string& value, bool prefix) {
  if (value.empty() || value[0] != '/') return "must begin with \"/\"";
  std::string inner = value.substr(1);
  if (prefix) {
    if (value.back() != '/') return "must end with \"/\"";
    if (value.size() == 1) return "";  // the host's root
    inner = value.substr(1, value.size() - 2);
  } else if (value.back() == '/') {
    return "must name a file, not a folder";
  }
  return FilePathProblem(inner);
}

bool IsValidUtf8(const std::string& value) {
  size_t i = 0;
  const size_t n = value.size();
  while (i < n) {
    unsigned char c = static_cast<unsigned char>(value[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    int extra;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    for (int k = 1; k <= extra; ++k) {
      if (i + k >= n) return false;
      unsigned char d = static_cast<unsigned char>(value[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    if (extra == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) return false;
    if (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) return false;
    i += extra + 1;
  }
  return true;
}

size_t Utf16Units(const std::string& value) {
  size_t units = 0;
  for (unsigned char c : value) {
    if ((c & 0xC0) == 0x80) continue;  // continuation byte
    units += (c >= 0xF0) ? 2 : 1;      // four-byte forms need a surrogate pair
  }
  return units;
}

std::string TextProblem(const std::string& value, bool allowLineFeed, size_t readCapacity,
                        size_t fieldCapacity) {
  if (!IsValidUtf8(value)) return "not valid UTF-8";
  for (unsigned char c : value) {
    if (c == '\n' && allowLineFeed) continue;
    if (c < 0x20 || c == 0x7f) return "control character";
  }
  if (value.size() > readCapacity - 1)
    return "too long: " + std::to_string(value.size()) + " bytes, at most " +
           std::to_string(readCapacity - 1);
  size_t units = Utf16Units(value);
  if (units > fieldCapacity - 1)
    return "too long: " + std::to_string(units) + " characters, at most " +
           std::to_string(fieldCapacity - 1);
  return "";
}

std::string VersionProblem(const std::string& value) {
  if (value.empty()) return "empty version";
  if (value.size() > 95) return "too long: " + std::to_string(value.size()) + " bytes, at most 95";
  for (unsigned char c : value) {
    bool ok = std::isalnum(c) || c == '.' || c == '+' || c == '-' || c == '_';
    if (!ok) return "character \"" + std::string(1, static_cast<char>(c)) +
                    "\" (use letters, digits and . + - _)";
  }
  return "";
}

bool IsSha256Hex(const std::string& value) {
  if (value.size() != 64) return false;
  for (unsigned char c : value)
    if (!std::isxdigit(c)) return false;
  return true;
}

std::string WebAddressProblem(const std::string& value) {
  if (value.empty()) return "";
  if (value.compare(0, 8, "https://") != 0 && value.compare(0, 7, "http://") != 0)
    return "must begin with https:// or http://";
  for (unsigned char c : value)
    if (c <= 0x20 || c >= 0x7f) return "blank, control or non-ASCII character in a web address";
  return "";
}

int VersionComponent(const std::string& text, int n) {
  int c = 0;
  int32_t v = 0;
  for (unsigned char ch : text) {
    if (ch >= '0' && ch <= '9') {
      if (c == n) v = static_cast<int32_t>(static_cast<uint32_t>(v) * 10u + (ch - '0'));
    } else if (ch == '.') {
      if (c == n) return v;
      ++c;
    } else if (c == n && v > 0) {
      return v;
    }
  }
  return c == n ? v : 0;
}

bool IsVersionOlder(const std::string& a, const std::string& b) {
  for (int n = 0; n < 3; ++n) {
    int x = VersionComponent(a, n);
    int y = VersionComponent(b, n);
    if (x < y) return true;
    if (x > y) return false;
  }
  return false;
}

std::string JsonEscape(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c == '"') {
      out += "\\\"";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace orv
