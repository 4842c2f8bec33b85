// Pure pieces of the controller's rules step and of its Configurator messages: the merge of one
// pass's actions into one recording request, the restart reasons of new configuration, and the
// readers and builders of the Configurator message bodies. No sockets, no state: tested and
// fuzzed on bytes alone.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "capture/screen_image.h"
#include "compression/compressor.h"
#include "config/workstation_settings.h"
#include "net/netw_message.h"
#include "net/server_records.h"
#include "rules/action_base.h"
#include "rules/rule_set.h"

namespace vorla {

// The current capture format when nothing was started: 0, 0, 0, 0, 1, 25, 0, 60.
CaptureFormat DefaultCaptureFormat();

// One pass's actions, merged. The request starts at 0, 0, 0, 0, 1, 25, 0, 0; every record action
// lowers x and y (signed) and raises width, height, frame rate and quality (unsigned) to its own.
struct RulesBatch {
  CaptureFormat request;
  uint32_t record_count = 0;
  uint32_t stop_count = 0;
  std::vector<int32_t> durations;  // of the record actions with a duration other than -1
  bool blank_changed = false;
  uint32_t handled = 0;  // actions of a known kind
};
// Merges `actions` in order; blank and unblank actions change `blank_count` (never below 0) as
// they come.
RulesBatch MergeRuleActions(const ActionList& actions, int32_t& blank_count);

// The restart reasons of new configuration, in the order the log line names them.
struct RestartReasons {
  bool new_server = false;
  bool new_codec = false;
  bool encryption_change = false;
  bool seating_type = false;
  bool new_agent_config = false;
  bool rules_changed = false;
  bool restart = false;  // the session must restart
  // "NewServer NewCodec ..." in the log line's order, the rules not named.
  std::u16string Text() const;
};
// The reasons a new settings record gives against the current one (letter case of SCServerIP
// does not count; the password compares exactly).
void CompareSettings(const WorkstationSettings& current, const WorkstationSettings& incoming,
                     RestartReasons& reasons);

// A configuration message's part 2, read as far as its flags say. A part that fails to read
// ends the reading there: what came before it is kept, what failed is absent.
struct ConfigMessage {
  std::optional<WorkstationSettings> settings;
  std::optional<RuleSet> rules;
  std::vector<uint8_t> rule_bytes;  // the bytes the rule set was read from, to its end
};
ConfigMessage ReadConfigMessage(const netw_message_t& message);

// Whether the rules changed: the written form of `current` (its count and each rule) against
// the received bytes, over the shorter of the two. A current list that cannot be written counts
// as changed.
bool RulesDiffer(const RuleList& current, std::span<const uint8_t> received);

// A session configuration answer (type 130): 0 with `rules` set (empty when the rule set could
// not be read), 0xC0000FE3 for a malformed answer, 0xC0000FA0 for a refusal.
Status ReadSessionConfigAnswer(const netw_message_t& message, RuleList& rules);
netw_message_t BuildSessionConfigRequest(const std::u16string& user);

// The capability report (type 3).
netw_message_t BuildCapabilities(uint8_t major, uint8_t minor, bool remote, uint64_t memory,
                                 const std::vector<CodecInfo>& codecs);
// The workstation status (type 4): part 1 presence, word and code; part 2 the session record
// when `session` is given.
netw_message_t BuildStatusMessage(uint32_t word, uint32_t code, const SessionRecord* session);
// The closing notice (type 2): kind 2, value 0.
netw_message_t BuildClosingNotice();

// An announcement (type 240) of a Configurator: its address and port; nullopt unless part 2 is
// exactly 6 bytes plus the address string with its terminator.
struct Announcement {
  std::u16string address;
  uint16_t port = 0;
};
std::optional<Announcement> ReadAnnouncement(const netw_message_t& message);

// The trigger request record of an external trigger (type 193, part 2):
//   version u32 (0: nothing follows) | value u32 | text str | event record | data length u32 |
//   data | v2: trigger name str
struct TriggerRequestRecord {
  uint32_t version = 0;
  uint32_t value = 0;
  std::u16string text;
  EventRecord event;
  std::vector<uint8_t> data;
  std::u16string trigger_name;
};
// nullopt when the record ends early (the request then counts as having none).
std::optional<TriggerRequestRecord> ReadTriggerRequestRecord(std::span<const uint8_t> part2);
// The reply's part 2: the request's value, text and data around `event`, with the trigger name,
// as version 2.
PayloadBuffer WriteTriggerReply(const TriggerRequestRecord& request, const EventRecord& event);
// A blanking request (type 203, part 2): presence u32 (0: nothing follows) | blank u32 |
// text str | data length u32 | data. Whether to blank; nullopt when the record ends early.
std::optional<bool> ReadBlankRequest(std::span<const uint8_t> part2);

// Text helpers of the comparisons: a-z upper-cased, nothing else.
std::u16string UpperAscii(std::u16string_view s);

}  // namespace vorla
