// Cost of a LogStatus call: one that writes a record to the file log, and one that the throttle
// drops (no file access at all). Console and debug output go to sinks that discard them.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "common/logging.h"
#include "platform/debug_output.h"

namespace {

struct QuietLogging {
  explicit QuietLogging() {
    dir = (std::filesystem::temp_directory_path() / "vorla-bench-XXXXXX").string();
    mkdtemp(dir.data());
    setenv("VORLA_LOG_DIR", dir.c_str(), 1);
    vorla::ResetLoggingForTesting();
    vorla::WindowsEventLogger::Instance().SetSourceName(u"VorlaWS");
    vorla::platform::SetConsoleSinkForTesting([](std::u16string_view) {});
    vorla::platform::SetDebugOutputSink([](std::u16string_view) {});
  }
  ~QuietLogging() {
    vorla::platform::SetConsoleSinkForTesting({});
    vorla::platform::SetDebugOutputSink({});
    vorla::ResetLoggingForTesting();
    std::filesystem::remove_all(dir);
  }
  std::string dir;
};

void BM_LogStatusWritesRecord(benchmark::State& state) {
  QuietLogging quiet;
  uint32_t code = 0xC0010000;
  for (auto _ : state) {
    // A fresh code each time, so the throttle always admits it.
    vorla::LogStatus(code++, u"SocketManager: connection to 127.0.0.1:4000 failed",
                     vorla::EVENTLOG_ERROR_TYPE, 3);
  }
}
BENCHMARK(BM_LogStatusWritesRecord);

void BM_LogStatusThrottled(benchmark::State& state) {
  QuietLogging quiet;
  for (int i = 0; i < 12; ++i)
    vorla::LogStatus(0xC0000FA1, u"warm-up", vorla::EVENTLOG_ERROR_TYPE, 3);
  for (auto _ : state) {
    vorla::LogStatus(0xC0000FA1, u"SocketManager: connection to 127.0.0.1:4000 failed",
                     vorla::EVENTLOG_ERROR_TYPE, 3);
  }
}
BENCHMARK(BM_LogStatusThrottled);

}  // namespace
