// An event log in memory: every record written is kept, in order, for tests to inspect.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/event_log.h"

namespace vorla::platform {

class MemoryEventLog final : public EventLog {
 public:
  struct Record {
    std::u16string source;
    uint16_t type;
    uint32_t code;
    std::u16string text;
  };

  bool Write(const EventLogRecord& r) override {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.push_back({std::u16string(r.source), r.type, r.code, std::u16string(r.text)});
    return true;
  }
  std::vector<Record> records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
  }
  std::vector<Record> from(std::u16string_view source) const {
    std::vector<Record> out;
    for (auto& r : records())
      if (r.source == source) out.push_back(r);
    return out;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Record> records_;
};

// Installs an event log for the lifetime of the object.
class ScopedEventLogOverride {
 public:
  explicit ScopedEventLogOverride(EventLog& log) { SetEventLogForTesting(&log); }
  ~ScopedEventLogOverride() { SetEventLogForTesting(nullptr); }
};

}  // namespace vorla::platform
