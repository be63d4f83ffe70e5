// Writer for the launcher's documents: objects in a fixed key order, two
// spaces per nesting level, one key per line, CR LF line ends (the layout of
// the documents the Setup writes). The launcher does not parse these documents
// into a tree; it searches for each quoted key from the start of an object and
// walks array elements by counting braces. StructureProblem finds the values
// that would mislead that reader.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orv {

struct JsonField;
using JsonObject = std::vector<JsonField>;

struct JsonField {
  enum Kind { kString, kNumber, kBool, kArray };
  std::string key;
  Kind kind = kString;
  std::string text;                  // kString
  uint64_t number = 0;               // kNumber
  bool flag = false;                 // kBool
  std::vector<JsonObject> elements;  // kArray (of objects)
};

JsonField JsonString(const std::string& key, const std::string& value);
JsonField JsonNumber(const std::string& key, uint64_t value);
JsonField JsonBool(const std::string& key, bool value);
JsonField JsonArray(const std::string& key, std::vector<JsonObject> elements);

std::string RenderJson(const JsonObject& document);

// "" when the launcher reads every value back as written; otherwise why not.
std::string StructureProblem(const JsonObject& document);

}  // namespace orv
