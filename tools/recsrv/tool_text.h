// Texts the reference tools print: peer texts made safe for one line, numbers, codes, addresses.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vorla::tools {

// A peer's text for a line: UTF-8 in double quotes, control characters shown as '?', so that a
// line stays one line whatever a workstation sends.
std::string Shown(const std::u16string& text);
// "0x0000ABCD".
std::string Hex32(uint32_t v);
// A four-character code's bytes, lowest first, unprintable ones as '?'.
std::string FccText(uint32_t fcc);
// An IPv4 address in network order as dotted text.
std::string Dotted(uint32_t network_order);
// Dotted text as an IPv4 address in network order; nullopt when it is not one.
std::optional<uint32_t> ParseIPv4(const std::string& text);

}  // namespace vorla::tools
