// The login manager (systemd-logind) as seen over the system bus, shared by the session notices
// and the input desktop. Private to posix/; no sd-bus types here.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/session_notifications.h"

namespace vorla::platform {

// One connection to the system bus ($DBUS_SYSTEM_BUS_ADDRESS when set), on a thread of its own
// that only waits on the bus and a stop descriptor: nothing of it ever blocks its users.
//
// It follows the login session that owns the display being recorded: the session whose Display
// is $DISPLAY (the screen number ignored), else the active session of seat0. Of that session it
// keeps LockedHint up to date from the PropertiesChanged signals (read once when the session is
// found), and it turns the manager's signals into notices: PrepareForSleep(true) is kSuspend;
// PrepareForShutdown(true), SessionRemoved of the followed session and its State turning
// "closing" are kSessionEnd. A signal is taken only from the current owner of the name
// org.freedesktop.login1 and only with the argument types of its definition; everything else is
// ignored.
//
// Design note: a bus that cannot be reached at the start is reported once (kUnavailable) and the
// thread ends; nothing tries again. A bus without the login manager is reported the same way, but
// the thread stays and takes the manager up when it starts later.
class LogindMonitor {
 public:
  // The process-wide monitor: made (and its thread started) by the first Acquire, stopped when
  // the last holder lets go.
  static std::shared_ptr<LogindMonitor> Acquire();

  ~LogindMonitor();  // stops and joins the thread (at most one bus call's time-out, 1 s)
  LogindMonitor(const LogindMonitor&) = delete;
  LogindMonitor& operator=(const LogindMonitor&) = delete;

  // The followed session's LockedHint: 1 locked, 0 not, -1 unknown (no bus, no login manager, no
  // session found yet). Any thread; one atomic load.
  int locked_hint() const { return locked_.load(std::memory_order_relaxed); }

  // Delivers the notices to `sink` from the monitor's thread (kUnavailable also from the calling
  // thread, when it is already known). RemoveSink returns once no call of that sink runs.
  uint64_t AddSink(SessionNoticeSink sink);
  void RemoveSink(uint64_t token);

 private:
  struct State;
  LogindMonitor();
  void Run();
  void Deliver(SessionNotice notice);
  void ReportUnavailable();

  std::atomic<int> locked_{-1};
  int stop_fd_ = -1;
  std::mutex sinks_lock_;
  std::map<uint64_t, SessionNoticeSink> sinks_;
  uint64_t next_token_ = 1;
  bool unavailable_ = false;  // guarded by sinks_lock_
  std::string display_;       // $DISPLAY at the start, without its screen number
  std::thread thread_;
};

// The display name without its screen number (":5.0" -> ":5").
std::string DisplayWithoutScreen(const std::string& display);

}  // namespace vorla::platform
