#include "json_reader.h"

#include <fstream>
#include <sstream>

namespace vorla::cfgsim {

JsonValue::JsonValue() = default;
JsonValue::~JsonValue() = default;
JsonValue::JsonValue(const JsonValue&) = default;
JsonValue::JsonValue(JsonValue&&) noexcept = default;
JsonValue& JsonValue::operator=(const JsonValue&) = default;
JsonValue& JsonValue::operator=(JsonValue&&) noexcept = default;

const JsonValue* JsonValue::Find(const std::string& name) const {
  for (const auto& [key, value] : members)
    if (key == name) return &value;
  return nullptr;
}

namespace {

constexpr int kMaxDepth = 64;

class Parser {
 public:
  explicit Parser(const std::string& text) : s_(text) {}

  bool Document(JsonValue& out) {
    if (!Value(out, 0)) return false;
    Space();
    if (pos_ != s_.size()) return Fail("unexpected text after the end of the document");
    return true;
  }
  const std::string& error() const { return error_; }

 private:
  bool Fail(const std::string& what) {
    if (error_.empty()) error_ = "line " + std::to_string(line_) + ": " + what;
    return false;
  }
  void Space() {
    while (pos_ < s_.size()) {
      const char c = s_[pos_];
      if (c == '\n') {
        ++line_;
      } else if (c != ' ' && c != '\t' && c != '\r') {
        return;
      }
      ++pos_;
    }
  }
  bool Literal(const char* word) {
    const std::string w(word);
    if (s_.compare(pos_, w.size(), w) != 0) return Fail("unknown word in the document");
    pos_ += w.size();
    return true;
  }

  bool Value(JsonValue& out, int depth) {
    if (depth > kMaxDepth) return Fail("nested too deeply");
    Space();
    out.line = line_;
    if (pos_ >= s_.size()) return Fail("the document ends where a value is due");
    const char c = s_[pos_];
    if (c == '{') return Object(out, depth);
    if (c == '[') return Array(out, depth);
    if (c == '"') {
      out.kind = JsonValue::Kind::kString;
      return String(out.text);
    }
    if (c == 't') {
      out.kind = JsonValue::Kind::kBool;
      out.boolean = true;
      return Literal("true");
    }
    if (c == 'f') {
      out.kind = JsonValue::Kind::kBool;
      return Literal("false");
    }
    if (c == 'n') return Literal("null");
    if (c == '-' || (c >= '0' && c <= '9')) return Number(out);
    return Fail(std::string("unexpected character '") + c + "'");
  }

  bool Number(JsonValue& out) {
    out.kind = JsonValue::Kind::kNumber;
    bool negative = false;
    if (s_[pos_] == '-') {
      negative = true;
      ++pos_;
    }
    if (pos_ >= s_.size() || s_[pos_] < '0' || s_[pos_] > '9') return Fail("malformed number");
    uint64_t v = 0;
    while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') {
      const uint64_t d = static_cast<uint64_t>(s_[pos_] - '0');
      if (v > (UINT64_MAX - d) / 10) return Fail("number out of range");
      v = v * 10 + d;
      ++pos_;
    }
    if (pos_ < s_.size() && (s_[pos_] == '.' || s_[pos_] == 'e' || s_[pos_] == 'E'))
      return Fail("only whole numbers are used in these files");
    if (negative) {
      if (v > static_cast<uint64_t>(INT64_MAX) + 1) return Fail("number out of range");
      out.number = static_cast<int64_t>(0 - v);
    } else {
      if (v > static_cast<uint64_t>(INT64_MAX)) return Fail("number out of range");
      out.number = static_cast<int64_t>(v);
    }
    return true;
  }

  static void PutUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  bool Hex4(uint32_t& v) {
    if (s_.size() - pos_ < 4) return Fail("\\u needs four hexadecimal digits");
    v = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = s_[pos_++];
      v <<= 4;
      if (c >= '0' && c <= '9')
        v |= static_cast<uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f')
        v |= static_cast<uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        v |= static_cast<uint32_t>(c - 'A' + 10);
      else
        return Fail("\\u needs four hexadecimal digits");
    }
    return true;
  }

  bool String(std::string& out) {
    ++pos_;  // the opening quote
    out.clear();
    while (pos_ < s_.size()) {
      const char c = s_[pos_++];
      if (c == '"') return true;
      if (c == '\n') return Fail("a string runs past the end of its line");
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= s_.size()) break;
      const char e = s_[pos_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          uint32_t cp = 0;
          if (!Hex4(cp)) return false;
          if (cp >= 0xD800 && cp < 0xDC00) {
            uint32_t low = 0;
            if (s_.compare(pos_, 2, "\\u") != 0) return Fail("a lone surrogate in a string");
            pos_ += 2;
            if (!Hex4(low)) return false;
            if (low < 0xDC00 || low > 0xDFFF) return Fail("a lone surrogate in a string");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return Fail("a lone surrogate in a string");
          }
          PutUtf8(out, cp);
          break;
        }
        default: return Fail(std::string("unknown escape \\") + e);
      }
    }
    return Fail("a string is not closed");
  }

  bool Array(JsonValue& out, int depth) {
    out.kind = JsonValue::Kind::kArray;
    ++pos_;
    Space();
    if (pos_ < s_.size() && s_[pos_] == ']') {
      ++pos_;
      return true;
    }
    for (;;) {
      JsonValue item;
      if (!Value(item, depth + 1)) return false;
      out.items.push_back(std::move(item));
      Space();
      if (pos_ >= s_.size()) return Fail("an array is not closed");
      const char c = s_[pos_++];
      if (c == ']') return true;
      if (c != ',') return Fail("',' or ']' expected in an array");
    }
  }

  bool Object(JsonValue& out, int depth) {
    out.kind = JsonValue::Kind::kObject;
    ++pos_;
    Space();
    if (pos_ < s_.size() && s_[pos_] == '}') {
      ++pos_;
      return true;
    }
    for (;;) {
      Space();
      if (pos_ >= s_.size() || s_[pos_] != '"') return Fail("a field name in quotes expected");
      std::string key;
      if (!String(key)) return false;
      for (const auto& m : out.members)
        if (m.first == key) return Fail("field \"" + key + "\" given twice");
      Space();
      if (pos_ >= s_.size() || s_[pos_] != ':') return Fail("':' expected after \"" + key + "\"");
      ++pos_;
      JsonValue value;
      if (!Value(value, depth + 1)) return false;
      out.members.emplace_back(std::move(key), std::move(value));
      Space();
      if (pos_ >= s_.size()) return Fail("an object is not closed");
      const char c = s_[pos_++];
      if (c == '}') return true;
      if (c != ',') return Fail("',' or '}' expected in an object");
    }
  }

  const std::string& s_;
  size_t pos_ = 0;
  int line_ = 1;
  std::string error_;
};

}  // namespace

std::optional<JsonValue> ParseJson(const std::string& text, std::string& error) {
  Parser p(text);
  JsonValue v;
  if (!p.Document(v)) {
    error = p.error();
    return std::nullopt;
  }
  return v;
}

std::optional<JsonValue> ReadJsonFile(const std::string& path, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path + ": cannot be read";
    return std::nullopt;
  }
  std::ostringstream s;
  s << in.rdbuf();
  auto v = ParseJson(s.str(), error);
  if (!v) error = path + ": " + error;
  return v;
}

}  // namespace vorla::cfgsim
