// The process-wide host capabilities: each system's own (SystemHost, SystemSessionQueries) unless a
// test has installed others.
#include <atomic>

#include "platform/host.h"

namespace vorla::platform {
namespace {
std::atomic<HostSystem*> g_host_override{nullptr};
std::atomic<SessionQueries*> g_session_override{nullptr};
}  // namespace

HostSystem& GetHostSystem() {
  HostSystem* h = g_host_override.load(std::memory_order_acquire);
  return h ? *h : SystemHost();
}

void SetHostSystemForTesting(HostSystem* host) {
  g_host_override.store(host, std::memory_order_release);
}

SessionQueries& GetSessionQueries() {
  SessionQueries* q = g_session_override.load(std::memory_order_acquire);
  return q ? *q : SystemSessionQueries();
}

void SetSessionQueriesForTesting(SessionQueries* queries) {
  g_session_override.store(queries, std::memory_order_release);
}

}  // namespace vorla::platform
