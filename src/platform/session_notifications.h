// Notices of the operating system that end the recording session: the computer suspends, shuts
// down, or the user's session ends.
//
// The controller registers one sink at start-up and unregisters it at shutdown. A source may call
// the sink from any thread; the sink only records the notice (it sets a flag) and returns.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace vorla::platform {

enum class SessionNotice : uint32_t {
  kUnavailable = 0,  // no notice will ever come (the source cannot be reached); sent at most once
  kSuspend = 4,      // the power-notification value of a suspend
  kSessionEnd = 22,  // the session-notification value of the end of the session or of a shutdown
};

using SessionNoticeSink = std::function<void(SessionNotice)>;

class SessionNotifications {
 public:
  virtual ~SessionNotifications() = default;  // no sink call is running or starts afterwards
};

// Starts delivering notices to `sink`; nullptr when the system offers none. Never blocks: on
// Linux the notices come from the login manager (systemd-logind) over the system bus
// ($DBUS_SYSTEM_BUS_ADDRESS when set), read on a thread of their own: PrepareForSleep(true) is a
// suspend; PrepareForShutdown(true), and the removal or closing of the login session that owns
// the display being recorded, are the end of the session. Without a reachable bus or login
// manager the sink gets kUnavailable once and nothing else.
std::unique_ptr<SessionNotifications> RegisterSessionNotifications(SessionNoticeSink sink);

// Test support: later registrations are made by `factory` (nullptr: the system's again).
void SetSessionNotificationsForTesting(
    std::function<std::unique_ptr<SessionNotifications>(SessionNoticeSink)> factory);

}  // namespace vorla::platform
