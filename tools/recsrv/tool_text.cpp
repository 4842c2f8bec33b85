#include "tool_text.h"

#include <arpa/inet.h>

#include <cstdio>

#include "common/text.h"

namespace vorla::tools {

std::string Shown(const std::u16string& text) {
  std::string s = ToUtf8(text);
  for (char& c : s)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return "\"" + s + "\"";
}

std::string Hex32(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

std::string FccText(uint32_t fcc) {
  std::string s;
  for (int i = 0; i < 4; ++i) {
    const char c = static_cast<char>((fcc >> (8 * i)) & 0xFF);
    s += (c >= 0x20 && c < 0x7F) ? c : '?';
  }
  return s;
}

std::string Dotted(uint32_t a) {
  return std::to_string(a & 0xFF) + "." + std::to_string((a >> 8) & 0xFF) + "." +
         std::to_string((a >> 16) & 0xFF) + "." + std::to_string(a >> 24);
}

std::optional<uint32_t> ParseIPv4(const std::string& text) {
  in_addr a{};
  if (inet_pton(AF_INET, text.c_str(), &a) != 1) return std::nullopt;
  return a.s_addr;
}

}  // namespace vorla::tools
