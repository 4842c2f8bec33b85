// libFuzzer target: the controller's readers of Configurator messages over any bytes. The first
// byte is the flag byte of a configuration message (type 129) whose part 2 is the rest; the same
// bytes are a session configuration answer (type 130) twice: once behind the answer word, once
// with their first four bytes as part 1. Each reader ends in a result it documents and never reads
// past its parts; the rules a message carries have a written form that reads back to itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "controller/rules_batch.h"
#include "platform/event_log.h"

namespace {

using namespace vorla;

// Log records are not what is under test; keep them off the disk.
class NoLog final : public platform::EventLog {
 public:
  bool Write(const platform::EventLogRecord&) override { return true; }
};

// Each part in a buffer of its own exact size, so that a read past it is a read past an
// allocation.
netw_message_t Message(uint32_t type, std::span<const uint8_t> part1,
                       std::span<const uint8_t> part2) {
  return MakeNetwMessage(type, PayloadBuffer::CopyOf(part1), PayloadBuffer::CopyOf(part2));
}

void ReadConfig(std::span<const uint8_t> bytes) {
  const netw_message_t m = Message(nwmt_cfg_config, bytes.first(1), bytes.subspan(1));
  const ConfigMessage c = ReadConfigMessage(m);
  const uint8_t flags = bytes[0];
  if (c.settings && !(flags & 0x2)) std::abort();
  if (!c.rules) {
    if (!c.rule_bytes.empty()) std::abort();
    return;
  }
  if (!(flags & 0x4)) std::abort();
  // The rule bytes are the end of part 2, from where the rule set began.
  const std::span<const uint8_t> part2 = bytes.subspan(1);
  if (c.rule_bytes.size() > part2.size()) std::abort();
  const std::span<const uint8_t> tail = part2.last(c.rule_bytes.size());
  for (size_t i = 0; i < tail.size(); ++i)
    if (tail[i] != c.rule_bytes[i]) std::abort();
  // The rules that were read have a written form that reads back to itself, and compare equal
  // to it. (Not to the received bytes: the rule reader drops a second input of unknown type.)
  const int32_t count =
      c.rule_bytes.size() < 4
          ? 0
          : static_cast<int32_t>(c.rule_bytes[0] | c.rule_bytes[1] << 8 | c.rule_bytes[2] << 16 |
                                 static_cast<uint32_t>(c.rule_bytes[3]) << 24);
  if (c.rule_bytes.size() < 4 || (count <= 0 && !c.rules->empty())) std::abort();
  std::vector<uint8_t> written;
  if (!c.rules->Write(written)) std::abort();
  RuleSet again;
  size_t used = 0;
  if (!again.Read(written, &used) || used != written.size()) std::abort();
  std::vector<uint8_t> rewritten;
  if (!again.Write(rewritten) || rewritten != written) std::abort();
  if (RulesDiffer(c.rules->rules(), written)) std::abort();
  RulesDiffer(c.rules->rules(), c.rule_bytes);
}

void ReadSessionConfig(std::span<const uint8_t> bytes) {
  static const uint8_t kWord[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  RuleList rules;
  const Status behind_word =
      ReadSessionConfigAnswer(Message(nwmt_cfg_sessionconfig, kWord, bytes), rules);
  if (behind_word != 0 && !(behind_word == kStatusNoConfigurationDefined && bytes.empty()))
    std::abort();
  for (const auto& r : rules)
    if (!r) std::abort();
  if (bytes.size() < 4) return;
  const Status split = ReadSessionConfigAnswer(
      Message(nwmt_cfg_sessionconfig, bytes.first(4), bytes.subspan(4)), rules);
  if (split != 0 && split != kStatusNoConfigurationDefined && split != kStatusInternalError)
    std::abort();
}

void ReadAnnouncementOf(std::span<const uint8_t> bytes) {
  const auto a = ReadAnnouncement(Message(nwmt_cfg_announce, {}, bytes));
  if (a && bytes.size() != 6 + 2 * (a->address.size() + 1)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static NoLog no_log;
  platform::SetEventLogForTesting(&no_log);
  const std::span<const uint8_t> bytes(data, size);
  ReadSessionConfig(bytes);
  ReadAnnouncementOf(bytes);
  if (size != 0) ReadConfig(bytes);
  return 0;
}
