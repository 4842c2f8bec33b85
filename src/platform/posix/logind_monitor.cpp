#include "platform/posix/logind_monitor.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/threads.h"

namespace vorla::platform {
namespace {

constexpr const char* kLogin1 = "org.freedesktop.login1";
constexpr const char* kManagerPath = "/org/freedesktop/login1";
constexpr const char* kManagerInterface = "org.freedesktop.login1.Manager";
constexpr const char* kSessionInterface = "org.freedesktop.login1.Session";
constexpr const char* kSeatInterface = "org.freedesktop.login1.Seat";
constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";
constexpr const char* kBusName = "org.freedesktop.DBus";
constexpr uint64_t kCallTimeoutUs = 1000000;

// Owns one reference of a bus message.
struct MessageRef {
  sd_bus_message* m = nullptr;
  ~MessageRef() { sd_bus_message_unref(m); }
};
struct ErrorRef {
  sd_bus_error e = SD_BUS_ERROR_NULL;
  ~ErrorRef() { sd_bus_error_free(&e); }
};

}  // namespace

std::string DisplayWithoutScreen(const std::string& display) {
  const size_t colon = display.rfind(':');
  if (colon == std::string::npos) return display;
  const size_t dot = display.find('.', colon);
  return dot == std::string::npos ? display : display.substr(0, dot);
}

// What the monitor's thread keeps between signals; touched by that thread only.
struct LogindMonitor::State {
  LogindMonitor* self = nullptr;
  sd_bus* bus = nullptr;
  std::string owner;         // the unique name that owns org.freedesktop.login1; empty: none
  std::string session_id;    // the followed session; empty: none
  std::string session_path;
  bool session_ended = false;  // its end was reported
  bool refresh = true;         // find the owner and the session again
  bool reread_lock = false;    // read LockedHint again (invalidated)

  // A signal of the login manager: from the current owner, or from nobody we listen to.
  bool FromLogin1(sd_bus_message* m) const {
    const char* sender = sd_bus_message_get_sender(m);
    return !owner.empty() && sender != nullptr && owner == sender;
  }

  void FindOwner() {
    owner.clear();
    ErrorRef error;
    MessageRef reply;
    if (sd_bus_call_method(bus, kBusName, "/org/freedesktop/DBus", kBusName, "GetNameOwner",
                           &error.e, &reply.m, "s", kLogin1) < 0)
      return;
    const char* name = nullptr;
    if (sd_bus_message_read(reply.m, "s", &name) > 0 && name != nullptr) owner = name;
  }

  std::string SessionDisplay(const char* path) {
    ErrorRef error;
    char* value = nullptr;
    if (sd_bus_get_property_string(bus, owner.c_str(), path, kSessionInterface, "Display",
                                   &error.e, &value) < 0)
      return {};
    std::string display = value != nullptr ? value : "";
    std::free(value);
    return display;
  }

  // The session whose Display is ours, else the active session of seat0.
  void FindSession() {
    session_id.clear();
    session_path.clear();
    session_ended = false;
    if (owner.empty()) return;
    const std::string& wanted = self->display_;
    if (!wanted.empty()) {
      ErrorRef error;
      MessageRef reply;
      if (sd_bus_call_method(bus, owner.c_str(), kManagerPath, kManagerInterface, "ListSessions",
                             &error.e, &reply.m, "") >= 0 &&
          sd_bus_message_has_signature(reply.m, "a(susso)") > 0 &&
          sd_bus_message_enter_container(reply.m, 'a', "(susso)") > 0) {
        std::vector<std::pair<std::string, std::string>> sessions;
        const char *id = nullptr, *user = nullptr, *seat = nullptr, *path = nullptr;
        uint32_t uid = 0;
        while (sd_bus_message_read(reply.m, "(susso)", &id, &uid, &user, &seat, &path) > 0)
          sessions.emplace_back(id, path);
        for (const auto& [sid, spath] : sessions) {
          if (DisplayWithoutScreen(SessionDisplay(spath.c_str())) == wanted) {
            session_id = sid;
            session_path = spath;
            return;
          }
        }
      }
    }
    ErrorRef error;
    MessageRef reply;
    if (sd_bus_get_property(bus, owner.c_str(), "/org/freedesktop/login1/seat/seat0",
                            kSeatInterface, "ActiveSession", &error.e, &reply.m, "(so)") < 0)
      return;
    const char *id = nullptr, *path = nullptr;
    if (sd_bus_message_read(reply.m, "(so)", &id, &path) > 0 && id != nullptr && *id != 0) {
      session_id = id;
      session_path = path;
    }
  }

  void ReadLockedHint() {
    reread_lock = false;
    if (session_path.empty()) {
      self->locked_.store(-1);
      return;
    }
    ErrorRef error;
    int locked = 0;
    if (sd_bus_get_property_trivial(bus, owner.c_str(), session_path.c_str(), kSessionInterface,
                                    "LockedHint", &error.e, 'b', &locked) < 0) {
      self->locked_.store(-1);
      return;
    }
    self->locked_.store(locked ? 1 : 0);
  }

  void Refresh() {
    refresh = false;
    const bool had_owner = !owner.empty();
    FindOwner();
    if (owner.empty()) {
      session_id.clear();
      session_path.clear();
      self->locked_.store(-1);
      if (!had_owner) self->ReportUnavailable();
      return;
    }
    FindSession();
    ReadLockedHint();
  }

  void SessionEnded() {
    if (session_ended) return;
    session_ended = true;
    self->locked_.store(-1);
    self->Deliver(SessionNotice::kSessionEnd);
  }

  // ---- Signal handlers: each checks the sender and the argument types first.

  static int OnPrepare(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* s = static_cast<State*>(userdata);
    if (!s->FromLogin1(m) || sd_bus_message_has_signature(m, "b") <= 0) return 0;
    int starting = 0;
    if (sd_bus_message_read(m, "b", &starting) <= 0 || !starting) return 0;
    const bool sleep = sd_bus_message_is_signal(m, kManagerInterface, "PrepareForSleep") > 0;
    s->self->Deliver(sleep ? SessionNotice::kSuspend : SessionNotice::kSessionEnd);
    return 0;
  }

  static int OnSessionRemoved(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* s = static_cast<State*>(userdata);
    if (!s->FromLogin1(m) || sd_bus_message_has_signature(m, "so") <= 0) return 0;
    const char *id = nullptr, *path = nullptr;
    if (sd_bus_message_read(m, "so", &id, &path) <= 0 || id == nullptr) return 0;
    if (!s->session_id.empty() && s->session_id == id) {
      s->SessionEnded();
      s->session_id.clear();
      s->session_path.clear();
      s->refresh = true;  // a later session of the display is followed in turn
    }
    return 0;
  }

  static int OnSessionNew(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* s = static_cast<State*>(userdata);
    if (!s->FromLogin1(m) || sd_bus_message_has_signature(m, "so") <= 0) return 0;
    if (s->session_id.empty()) s->refresh = true;
    return 0;
  }

  // PropertiesChanged(s interface, a{sv} changed, as invalidated) of the followed session.
  static int OnPropertiesChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* s = static_cast<State*>(userdata);
    if (!s->FromLogin1(m) || s->session_path.empty()) return 0;
    const char* path = sd_bus_message_get_path(m);
    if (path == nullptr || s->session_path != path) return 0;
    if (sd_bus_message_has_signature(m, "sa{sv}as") <= 0) return 0;
    const char* interface = nullptr;
    if (sd_bus_message_read(m, "s", &interface) <= 0 || interface == nullptr ||
        std::strcmp(interface, kSessionInterface) != 0)
      return 0;
    int locked = -1;
    bool closing = false;
    if (sd_bus_message_enter_container(m, 'a', "{sv}") <= 0) return 0;
    while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
      const char* name = nullptr;
      if (sd_bus_message_read(m, "s", &name) <= 0 || name == nullptr) return 0;
      const char* contents = nullptr;
      char type = 0;
      if (sd_bus_message_peek_type(m, &type, &contents) <= 0 || contents == nullptr) return 0;
      if (std::strcmp(name, "LockedHint") == 0 && std::strcmp(contents, "b") == 0) {
        int value = 0;
        if (sd_bus_message_read(m, "v", "b", &value) <= 0) return 0;
        locked = value ? 1 : 0;
      } else if (std::strcmp(name, "State") == 0 && std::strcmp(contents, "s") == 0) {
        const char* state = nullptr;
        if (sd_bus_message_read(m, "v", "s", &state) <= 0) return 0;
        closing = state != nullptr && std::strcmp(state, "closing") == 0;
      } else if (sd_bus_message_skip(m, "v") < 0) {
        return 0;
      }
      if (sd_bus_message_exit_container(m) < 0) return 0;
    }
    if (sd_bus_message_exit_container(m) < 0) return 0;
    const char* invalidated = nullptr;
    bool reread = false;
    if (sd_bus_message_enter_container(m, 'a', "s") <= 0) return 0;
    while (sd_bus_message_read(m, "s", &invalidated) > 0)
      if (invalidated != nullptr && std::strcmp(invalidated, "LockedHint") == 0) reread = true;
    // Only a message read to its end counts.
    if (sd_bus_message_exit_container(m) < 0) return 0;
    if (locked >= 0) s->self->locked_.store(locked);
    if (reread) s->reread_lock = true;
    if (closing) s->SessionEnded();
    return 0;
  }

  // NameOwnerChanged(s name, s old, s new) of org.freedesktop.login1, from the bus itself.
  static int OnNameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* s = static_cast<State*>(userdata);
    const char* sender = sd_bus_message_get_sender(m);
    if (sender == nullptr || std::strcmp(sender, kBusName) != 0) return 0;
    if (sd_bus_message_has_signature(m, "sss") <= 0) return 0;
    const char *name = nullptr, *old_owner = nullptr, *new_owner = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &old_owner, &new_owner) <= 0 || name == nullptr ||
        std::strcmp(name, kLogin1) != 0)
      return 0;
    s->refresh = true;
    return 0;
  }
};

std::shared_ptr<LogindMonitor> LogindMonitor::Acquire() {
  static std::mutex lock;
  static std::weak_ptr<LogindMonitor> current;
  std::lock_guard<std::mutex> g(lock);
  std::shared_ptr<LogindMonitor> monitor = current.lock();
  if (!monitor) {
    monitor.reset(new LogindMonitor());
    current = monitor;
  }
  return monitor;
}

LogindMonitor::LogindMonitor() {
  const char* display = std::getenv("DISPLAY");
  display_ = DisplayWithoutScreen(display != nullptr ? display : "");
  stop_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (stop_fd_ < 0) {
    unavailable_ = true;
    return;
  }
  thread_ = std::thread([this] { Run(); });
}

LogindMonitor::~LogindMonitor() {
  if (stop_fd_ >= 0) {
    const uint64_t one = 1;
    while (write(stop_fd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }
  if (thread_.joinable()) thread_.join();
  if (stop_fd_ >= 0) close(stop_fd_);
}

uint64_t LogindMonitor::AddSink(SessionNoticeSink sink) {
  std::lock_guard<std::mutex> g(sinks_lock_);
  const uint64_t token = next_token_++;
  if (unavailable_) sink(SessionNotice::kUnavailable);
  sinks_.emplace(token, std::move(sink));
  return token;
}

void LogindMonitor::RemoveSink(uint64_t token) {
  std::lock_guard<std::mutex> g(sinks_lock_);
  sinks_.erase(token);
}

void LogindMonitor::Deliver(SessionNotice notice) {
  std::lock_guard<std::mutex> g(sinks_lock_);
  for (auto& [token, sink] : sinks_) sink(notice);
}

void LogindMonitor::ReportUnavailable() {
  std::lock_guard<std::mutex> g(sinks_lock_);
  if (unavailable_) return;
  unavailable_ = true;
  for (auto& [token, sink] : sinks_) sink(SessionNotice::kUnavailable);
}

void LogindMonitor::Run() {
  SetCurrentThreadName(u"LogindMonitor");
  State s;
  s.self = this;
  if (sd_bus_open_system(&s.bus) < 0 || s.bus == nullptr) {
    ReportUnavailable();
    return;
  }
  sd_bus_set_method_call_timeout(s.bus, kCallTimeoutUs);
  // The matches name the sender, so the bus routes only the manager's signals here; each handler
  // still checks the sender, because a signal sent to us directly bypasses the matches.
  bool ok = true;
  for (const char* member : {"PrepareForSleep", "PrepareForShutdown"})
    ok = ok && sd_bus_match_signal(s.bus, nullptr, kLogin1, kManagerPath, kManagerInterface, member,
                                   &State::OnPrepare, &s) >= 0;
  ok = ok && sd_bus_match_signal(s.bus, nullptr, kLogin1, kManagerPath, kManagerInterface,
                                 "SessionRemoved", &State::OnSessionRemoved, &s) >= 0;
  ok = ok && sd_bus_match_signal(s.bus, nullptr, kLogin1, kManagerPath, kManagerInterface,
                                 "SessionNew", &State::OnSessionNew, &s) >= 0;
  ok = ok && sd_bus_match_signal(s.bus, nullptr, kLogin1, nullptr, kPropertiesInterface,
                                 "PropertiesChanged", &State::OnPropertiesChanged, &s) >= 0;
  ok = ok && sd_bus_match_signal(s.bus, nullptr, kBusName, "/org/freedesktop/DBus", kBusName,
                                 "NameOwnerChanged", &State::OnNameOwnerChanged, &s) >= 0;
  if (!ok) {
    ReportUnavailable();
    sd_bus_flush_close_unref(s.bus);
    return;
  }
  for (;;) {
    if (s.refresh) s.Refresh();
    if (s.reread_lock) s.ReadLockedHint();
    const int r = sd_bus_process(s.bus, nullptr);
    if (r < 0) break;  // the bus went away: the notices end with it
    if (r > 0) continue;
    if (s.refresh || s.reread_lock) continue;
    int timeout_ms = -1;
    uint64_t until = 0;
    if (sd_bus_get_timeout(s.bus, &until) >= 0 && until != UINT64_MAX) {
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      const uint64_t now_us =
          static_cast<uint64_t>(now.tv_sec) * 1000000 + static_cast<uint64_t>(now.tv_nsec) / 1000;
      timeout_ms = until > now_us ? static_cast<int>((until - now_us + 999) / 1000) : 0;
    }
    pollfd fds[2] = {{sd_bus_get_fd(s.bus), static_cast<short>(sd_bus_get_events(s.bus)), 0},
                     {stop_fd_, POLLIN, 0}};
    const int n = poll(fds, 2, timeout_ms);
    if (n < 0 && errno != EINTR) break;
    if (fds[1].revents & POLLIN) break;
  }
  locked_.store(-1);
  sd_bus_flush_close_unref(s.bus);
}

}  // namespace vorla::platform
