// The parts of the socket capability that are the same on every system.
#include <atomic>
#include <cstdlib>

#include "platform/sockets.h"

namespace vorla::platform {
namespace {
std::atomic<uint32_t> g_send_limit_override{0};
}  // namespace

uint32_t SendTimeLimitMs() {
  if (const uint32_t o = g_send_limit_override.load()) return o;
  static const uint32_t limit = [] {
    const char* v = std::getenv("VORLA_SEND_LIMIT_MS");
    if (v == nullptr || *v == '\0') return 30000u;
    char* end = nullptr;
    const unsigned long n = std::strtoul(v, &end, 10);
    return (*end == '\0' && n > 0 && n <= 3600000) ? static_cast<uint32_t>(n) : 30000u;
  }();
  return limit;
}

void SetSendTimeLimitMsForTesting(uint32_t ms) { g_send_limit_override.store(ms); }

}  // namespace vorla::platform
