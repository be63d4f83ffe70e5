#include "json_out.h"

#include "text_rules.h"

namespace orv {

namespace {

const char kEol[] = "\r\n";

void RenderObject(const JsonObject& object, int depth, std::string* out) {
  std::string inner(static_cast<size_t>(depth + 1) * 2, ' ');
  *out += "{";
  *out += kEol;
  for (size_t i = 0; i < object.size(); ++i) {
    const JsonField& field = object[i];
    *out += inner + "\"" + field.key + "\": ";
    switch (field.kind) {
      case JsonField::kString:
        *out += "\"" + JsonEscape(field.text) + "\"";
        break;
      case JsonField::kNumber:
        *out += std::to_string(field.number);
        break;
      case JsonField::kBool:
        *out += field.flag ? "true" : "false";
        break;
      case JsonField::kArray:
        if (field.elements.empty()) {
          *out += "[]";
          break;
        }
        *out += "[";
        *out += kEol;
        for (size_t e = 0; e < field.elements.size(); ++e) {
          *out += inner + "  ";
          RenderObject(field.elements[e], depth + 2, out);
          if (e + 1 < field.elements.size()) *out += ",";
          *out += kEol;
        }
        *out += inner + "]";
        break;
    }
    if (i + 1 < object.size()) *out += ",";
    *out += kEol;
  }
  *out += std::string(static_cast<size_t>(depth) * 2, ' ') + "}";
}

// A key is searched as "key" from the start of its object; the first match
// wins even when it is a string value. A value equal to a key that stands later
// in the same object therefore hides that key. Inside array elements a brace in
// a value shifts the element boundaries.
std::string ObjectProblem(const JsonObject& object, bool insideArray) {
  for (size_t i = 0; i < object.size(); ++i) {
    const JsonField& field = object[i];
    if (field.kind == JsonField::kString) {
      for (size_t j = i + 1; j < object.size(); ++j)
        if (field.text == object[j].key)
          return "value \"" + field.text + "\" of \"" + field.key +
                 "\" would be read as the key \"" + object[j].key + "\"";
      if (insideArray && field.text.find_first_of("{}") != std::string::npos)
        return "value of \"" + field.key + "\" contains a brace, which the launcher reads as " +
               "the end of a list entry";
    }
    if (field.kind == JsonField::kArray) {
      for (const JsonObject& element : field.elements) {
        std::string problem = ObjectProblem(element, true);
        if (!problem.empty()) return problem;
      }
    }
  }
  return "";
}

}  // namespace

JsonField JsonString(const std::string& key, const std::string& value) {
  JsonField f;
  f.key = key;
  f.kind = JsonField::kString;
  f.text = value;
  return f;
}

JsonField JsonNumber(const std::string& key, uint64_t value) {
  JsonField f;
  f.key = key;
  f.kind = JsonField::kNumber;
  f.number = value;
  return f;
}

JsonField JsonBool(const std::string& key, bool value) {
  JsonField f;
  f.key = key;
  f.kind = JsonField::kBool;
  f.flag = value;
  return f;
}

JsonField JsonArray(const std::string& key, std::vector<JsonObject> elements) {
  JsonField f;
  f.key = key;
  f.kind = JsonField::kArray;
  f.elements = std::move(elements);
  return f;
}

std::string RenderJson(const JsonObject& document) {
  std::string out;
  RenderObject(document, 0, &out);
  out += kEol;
  return out;
}

std::string StructureProblem(const JsonObject& document) { return ObjectProblem(document, false); }

}  // namespace orv
