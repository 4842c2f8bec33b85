// libFuzzer target: the Configurator's JSON reader (tools/cfgsim/json_reader.h, ParseJson) over
// any text. Property, beyond "does not crash": a failure comes with an error "line N: ..." whose
// N is a line of the text; a success gives values whose lines are lines of the text, and the tree
// written back as JSON (by the small writer below, all on one line) parses again to the same tree
// (kinds, numbers, texts, order of items and members), every value now on line 1.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "json_reader.h"

namespace {

using vorla::cfgsim::JsonValue;

void Write(const JsonValue& v, std::string& out) {
  switch (v.kind) {
    case JsonValue::Kind::kNull: out += "null"; break;
    case JsonValue::Kind::kBool: out += v.boolean ? "true" : "false"; break;
    case JsonValue::Kind::kNumber: out += std::to_string(v.number); break;
    case JsonValue::Kind::kString: {
      out += '"';
      for (const char c : v.text) {
        if (c == '"' || c == '\\') {
          out += '\\';
          out += c;
        } else if (c == '\n') {
          out += "\\n";
        } else {
          out += c;  // the reader takes every other byte as it is
        }
      }
      out += '"';
      break;
    }
    case JsonValue::Kind::kArray:
      out += '[';
      for (size_t i = 0; i < v.items.size(); ++i) {
        if (i) out += ',';
        Write(v.items[i], out);
      }
      out += ']';
      break;
    case JsonValue::Kind::kObject:
      out += '{';
      for (size_t i = 0; i < v.members.size(); ++i) {
        if (i) out += ',';
        JsonValue key;
        key.kind = JsonValue::Kind::kString;
        key.text = v.members[i].first;
        Write(key, out);
        out += ':';
        Write(v.members[i].second, out);
      }
      out += '}';
      break;
  }
}

bool Same(const JsonValue& a, const JsonValue& b) {
  if (a.kind != b.kind) return false;
  switch (a.kind) {
    case JsonValue::Kind::kNull: return true;
    case JsonValue::Kind::kBool: return a.boolean == b.boolean;
    case JsonValue::Kind::kNumber: return a.number == b.number;
    case JsonValue::Kind::kString: return a.text == b.text;
    case JsonValue::Kind::kArray:
      if (a.items.size() != b.items.size()) return false;
      for (size_t i = 0; i < a.items.size(); ++i)
        if (!Same(a.items[i], b.items[i])) return false;
      return true;
    case JsonValue::Kind::kObject:
      if (a.members.size() != b.members.size()) return false;
      for (size_t i = 0; i < a.members.size(); ++i)
        if (a.members[i].first != b.members[i].first ||
            !Same(a.members[i].second, b.members[i].second))
          return false;
      return true;
  }
  return false;
}

bool LinesWithin(const JsonValue& v, int first, int last) {
  if (v.line < first || v.line > last) return false;
  for (const auto& i : v.items)
    if (!LinesWithin(i, first, last)) return false;
  for (const auto& m : v.members)
    if (!LinesWithin(m.second, first, last)) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  int lines = 1;
  for (const char c : text) lines += c == '\n';
  std::string error;
  const auto doc = vorla::cfgsim::ParseJson(text, error);
  if (!doc) {
    if (error.rfind("line ", 0) != 0) std::abort();
    const int n = std::atoi(error.c_str() + 5);
    if (n < 1 || n > lines) std::abort();
    return 0;
  }
  if (!LinesWithin(*doc, 1, lines)) std::abort();
  std::string written;
  Write(*doc, written);
  std::string error2;
  const auto again = vorla::cfgsim::ParseJson(written, error2);
  if (!again || !Same(*doc, *again) || !LinesWithin(*again, 1, 1)) std::abort();
  return 0;
}
