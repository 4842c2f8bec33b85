// Shared helpers of the capture tests: logging captured in memory, the fake desk.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "common/logging.h"
#include "platform/fake/memory_event_log.h"

namespace vorla::test {

class CaptureLogTest : public ::testing::Test {
 protected:
  CaptureLogTest() : log_override_(log_) { ResetLoggingForTesting(); }
  ~CaptureLogTest() override { ResetLoggingForTesting(); }

  // Whether any record of the log contains `text`.
  bool Logged(const std::u16string& text) const {
    for (const auto& r : log_.records()) {
      if (r.text.find(text) != std::u16string::npos) return true;
    }
    return false;
  }

  platform::MemoryEventLog log_;
  platform::ScopedEventLogOverride log_override_;
};

}  // namespace vorla::test
