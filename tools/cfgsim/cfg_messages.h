// What the Configurator sends and reads, as pure functions over messages: the capability report,
// the external requests (trigger, blanking, live view) and their answers, the session
// configuration answer, the closing status and the UDP announcement.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "net/netw_message.h"
#include "net/server_records.h"
#include "rules/rule_set.h"
#include "tool_text.h"

namespace vorla::cfgsim {

// The capability report (type 3) as one line: versions, memory, codecs.
std::optional<std::string> DescribeCapabilities(const netw_message_t& m);

// nwmt_cfg_trigger (193). Part 1: result 0, the request word (bit 0 start, bit 1 blank as
// well). Part 2 only when `with_record`: version, value, text, event, data, and the trigger name
// from version 2.
struct TriggerRequest {
  bool start = true;
  bool blank = false;
  bool with_record = true;
  uint32_t version = 2;
  uint32_t value = 0;
  std::u16string text;
  EventRecord event;
  std::vector<uint8_t> data;
  std::u16string trigger_name;
};
netw_message_t BuildTriggerRequest(const TriggerRequest& r);
// nwmt_cfg_blank (203). Part 1: result 0, word 0. Part 2: presence 1, blank, text, data.
netw_message_t BuildBlankRequest(bool blank, const std::u16string& text,
                                 const std::vector<uint8_t>& data);
// nwmt_cfg_live (205). Part 1: result 0, word 1 (start) or 0 (stop). No part 2.
netw_message_t BuildLiveRequest(bool start);
// nwmt_status kind 2, value 0: the Configurator closes the link.
netw_message_t BuildClosingStatus();

// The answer to a request the workstation sent back (types 193, 203, 205) as one line;
// nullopt when part 1 is not the 8 bytes of result and word.
std::optional<std::string> DescribeRequestAnswer(const netw_message_t& m);

// A session configuration request (130 from the workstation): part 1 uint32 1, part 2 the user.
bool ReadSessionConfigRequest(const netw_message_t& m, std::u16string& user);
// The answer: part 1 0xFFFFFFFF, part 2 version 3, two empty strings, uint16 0, the rule set, two
// empty strings. A refusal has part 1 `refusal_word` (anything but 0xFFFFFFFF) and a version-1
// part 2 with no rules. False when the rules cannot be written.
bool BuildSessionConfigAnswer(const RuleSet& rules, netw_message_t& out);
netw_message_t BuildSessionConfigRefusal(uint32_t refusal_word);

// The announcement datagram (type 240): the 64-byte header, no part 1, part 2 kind, port and
// address. nullopt when it would exceed the 512 bytes a workstation takes.
std::optional<std::vector<uint8_t>> BuildAnnouncement(uint32_t kind, uint16_t port,
                                                      const std::u16string& address);

// The tools' line texts.
using tools::Dotted;
using tools::FccText;
using tools::Hex32;
using tools::Shown;

}  // namespace vorla::cfgsim
