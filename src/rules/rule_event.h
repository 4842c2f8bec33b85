// The record of one rule edge: the rules engine hands one out for every rise and every fall of a
// rule, and external recording requests build the same record. The controller sends it to the
// recording server as event information.
#pragma once

#include <cstdint>
#include <string>

namespace vorla {

struct RuleEvent {
  // Identifier of the triggered period ("EVT_..."); the rise and the fall of one period share it.
  std::u16string event_id;
  // The rule's position in its rule set, counted from 0.
  int32_t rule_reference = 0;
  std::u16string description;
  // Milliseconds since 1970 (whole seconds times 1000). end_time is 0 on a rising edge.
  int64_t start_time = 0;
  int64_t end_time = 0;
  std::u16string trigger_name;
  bool rising = false;  // true for the up edge, false for the down edge

  bool operator==(const RuleEvent&) const = default;
};

}  // namespace vorla
