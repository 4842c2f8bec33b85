// A small JSON reader for the Configurator's input files (settings, rules, session rules). Every
// value remembers the line it starts on, so that errors can name the line and the field.
// Integers only (no fractions or exponents: no field of these files needs them); nesting is
// limited so that a hostile file cannot exhaust the stack.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vorla::cfgsim {

struct JsonValue {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };

  // Defined in json_reader.cpp, where JsonValue is complete: `members` holds pairs of JsonValue,
  // and clang with libstdc++ refuses to instantiate those pairs' destructor from the implicit,
  // inline members of a JsonValue that is not complete yet (g++ accepts it).
  JsonValue();
  ~JsonValue();
  JsonValue(const JsonValue&);
  JsonValue(JsonValue&&) noexcept;
  JsonValue& operator=(const JsonValue&);
  JsonValue& operator=(JsonValue&&) noexcept;

  Kind kind = Kind::kNull;
  int line = 0;
  bool boolean = false;
  int64_t number = 0;
  std::string text;  // UTF-8
  std::vector<JsonValue> items;
  std::vector<std::pair<std::string, JsonValue>> members;  // in file order

  // The member called `name`, or null.
  const JsonValue* Find(const std::string& name) const;
};

// Parses a whole document; nullopt with `error` ("line N: ...") when it is not valid JSON.
std::optional<JsonValue> ParseJson(const std::string& text, std::string& error);
// Reads and parses a file; errors start with the file name.
std::optional<JsonValue> ReadJsonFile(const std::string& path, std::string& error);

}  // namespace vorla::cfgsim
