// The message table: one message per status code, as the event viewer shows a record.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vorla {

struct MessageEntry {
  uint32_t code;
  const char16_t* message;  // the message without its insertion, e.g. u"Internal error:"
};

// All entries, in ascending order of code.
std::span<const MessageEntry> MessageTable();

// The message of `code`, or nullptr when the table has none.
const char16_t* FindMessage(uint32_t code);

// The message-table text of `code` with its insertion and end marks as stored in the program's
// message resource: message + " %1%0\r\n" ("Internal error: %1\r\n" for 0xC0000FA0). Empty when
// the code is unknown.
std::u16string MessageResourceText(uint32_t code);

// A record's text as the event viewer renders it: the resource text with %1 replaced by
// `insertion`, cut at %0, without the closing line break. A code without a message renders as the
// insertion alone.
std::u16string RenderEventMessage(uint32_t code, std::u16string_view insertion);

}  // namespace vorla
