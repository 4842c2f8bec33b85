// WorkstationController: runs the workstation. It owns the settings, the frame queues, the links
// to the Configurators and recording servers, the broadcast listener and the session, segment and
// event state, and does all of its work in RunLoop on the service thread.
//
// Threads. Worker threads reach it only through the frame queues, the links' incoming queues and
// events, with two exceptions: ExternalTrigger (and the other external requests) may be called
// from another thread, and the session notification sink runs on whatever thread the platform
// delivers notices on (it only sets an atomic flag).
//
// Serialisation of calls from other threads: the loop holds the rules lock (RulesEngineLock) and
// then the controller's own recursive lock for the work of every pass, and lets go of both while
// it waits. ExternalTrigger takes the same two locks in the same order, so an external request
// runs between two passes and sees one consistent state. A pass that blocks (a connect, the
// session configuration request) makes an external request wait for as long.
//
// The tray icon and the session notices stand in for the hidden window of the system's first
// platform: both are made by Initialize and ended by Shutdown. The icon's display connection is
// used on the loop's thread only (its events join the loop's wait list).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "capture/screen_image.h"
#include "common/host_identity.h"
#include "common/payload_buffer.h"
#include "common/status_codes.h"
#include "config/settings_store.h"
#include "controller/rules_batch.h"
#include "http/http_server_thread.h"
#include "net/broadcast_client.h"
#include "net/netw_message.h"
#include "net/server_records.h"
#include "net/socket_manager.h"
#include "net/thread_safe_queue.h"
#include "net/wssvrapi.h"
#include "platform/event.h"
#include "platform/instance_mutex.h"
#include "platform/session_notifications.h"
#include "platform/tray_icon.h"
#include "rules/rule_event.h"
#include "rules/rule_set.h"

namespace vorla {

// Recording state values (the status word carries them with further bits).
inline constexpr uint32_t kRecStateNoSession = 1;
inline constexpr uint32_t kRecStateIdle = 3;
inline constexpr uint32_t kRecStateRecording = 7;
inline constexpr uint32_t kRecStateStartFailed = 19;
inline constexpr uint32_t kRecStateCompressorFailed = 35;
inline constexpr uint32_t kRecStateDesktopLost = 67;
inline constexpr uint32_t kRecStateBitRecording = 0x4;
inline constexpr uint32_t kRecStateBitDesktopLost = 0x40;

// Extra bits of the status word.
inline constexpr uint32_t kStatusWordSession = 0x2;
inline constexpr uint32_t kStatusWordRecording = 0x4;
inline constexpr uint32_t kStatusWordPending = 0x10;
inline constexpr uint32_t kStatusWordBlanked = 0x200;
inline constexpr uint32_t kStatusWordRemote = 0x400;
inline constexpr uint32_t kStatusWordStandby = 0x1001;

class WorkstationController {
 public:
  enum class FrameMode { kRecording, kLive };

  WorkstationController();
  virtual ~WorkstationController();
  WorkstationController(const WorkstationController&) = delete;
  WorkstationController& operator=(const WorkstationController&) = delete;

  // 0 when the workstation runs; otherwise the failure, with whatever was started stopped again.
  Status Initialize();
  // Stops everything Initialize started; safe when nothing runs.
  void Shutdown();
  // Runs passes until *stop_flag is non-zero; returns 0. Service thread only.
  uint32_t RunLoop(const std::atomic<int32_t>* stop_flag);
  void UpdateWorkstationIdentity();

  // Configurator and server links.
  void ManageConnections();
  void ProcessPrimaryCfgMessages();
  void ProcessSecondaryCfgMessages();
  void SendRegistration(const std::shared_ptr<SocketManager>& link);
  void SendCapabilities(const std::shared_ptr<SocketManager>& link);
  Status RequestSessionConfig(const std::u16string& user);
  void CheckBroadcast();

  // Sessions, segments, frames and events.
  Status OpenSession(const std::u16string& user);
  void CloseSession();
  Status ProcessRules(bool force_down);
  Status StartRecording(CaptureFormat& format, uint32_t count,
                        const std::vector<int32_t>* durations);
  void StopRecording(uint32_t count);
  void ProcessFrameQueue(FrameQueue& queue, FrameMode mode, bool sending_enabled);
  void SendEventInfo(const RuleEvent& event, EventRecord* sent);
  // Any thread (see the top of this file). mode bit 0: start (clear: stop); bit 1 with bit 0:
  // start blanked. `event_id` names the event a stop ends.
  Status ExternalTrigger(uint32_t mode, EventRecord* sent, const std::u16string& event_id);
  void SendStatus(const std::shared_ptr<SocketManager>& link, bool standby);
  void NotifyStatusIfDue(bool force);

  // The Configurator's external requests (types 193, 203, 205): executed, logged, and sent back
  // with the result on the reply link (the primary link when connected, else the secondary).
  void OnExternalTrigger(const netw_message_t& m);
  void OnExternalLive(const netw_message_t& m);
  void OnExternalBlank(const netw_message_t& m);

  // One periodic pass's tasks, after ManageConnections.
  void PeriodicTasks();

  // The lock pair that serialises calls from other threads with the loop (rules lock first).
  class Serialised {
   public:
    explicit Serialised(WorkstationController& c);

   private:
    std::unique_lock<std::recursive_mutex> rules_;
    std::unique_lock<std::recursive_mutex> own_;
  };

  // Views for tests and diagnostics (under Serialised when the loop runs).
  WorkstationConfig& settings() { return settings_; }
  FrameQueue& recording_queue() { return recording_queue_; }
  FrameQueue& live_queue() { return live_queue_; }
  const std::shared_ptr<SocketManager>& primary_link() const { return primary_link_; }
  const std::shared_ptr<SocketManager>& secondary_link() const { return secondary_link_; }
  WSSVRAPI& current_server() { return *current_server_; }
  bool primary_in_use() const { return primary_in_use_; }
  bool secondary_in_use() const { return secondary_in_use_; }
  bool initialized() const { return initialized_; }
  bool remote() const { return remote_; }
  const std::u16string& workstation_name() const { return workstation_name_; }
  const std::u16string& session_user() const { return session_user_; }
  const SessionRecord& session_record() const { return session_record_; }
  const SegmentRecord& segment_record() const { return segment_record_; }
  const RuleList& session_rules() const { return session_rules_; }
  const std::map<std::u16string, EventRecord>& active_events() const { return active_events_; }
  const CaptureFormat& current_capture_format() const { return current_format_; }
  // The times below named "stop", "retry" and "status" are on TickSeconds().
  const std::vector<int64_t>& scheduled_stops() const { return scheduled_stops_; }
  int32_t recording_request_count() const { return recording_request_count_; }
  uint32_t pending_record_count() const { return pending_record_count_; }
  uint32_t retry_attempts() const { return retry_attempts_; }
  int64_t next_retry_time() const { return next_retry_time_; }
  int32_t blank_count() const { return blank_count_; }
  int32_t external_trigger_count() const { return external_trigger_count_; }
  uint32_t recording_state() const { return recording_state_; }
  uint32_t last_status() const { return last_status_; }
  uint64_t recording_start_tick() const { return recording_start_tick_; }
  int64_t next_status_time() const { return next_status_time_; }
  int64_t session_start_time() const { return session_start_time_; }
  bool has_image_key() const { return !image_key_.empty(); }
  bool has_timer() const { return timer_running_; }
  bool broadcast_open() const { return broadcast_.is_open(); }
  const HTTPServerThread& http_interface() const { return http_; }
  int32_t live_view_on() const { return live_view_on_; }
  // The status word SendStatus would send now (not standby).
  uint32_t StatusWord() const;
  // The tick count in whole seconds. Every wait the controller measures (timed recording stops,
  // the start retry, the status period, the reconnect delays) runs on it, so a wall clock that is
  // set back or forward moves none of them. The daily restart names a time of day and follows
  // the wall clock.
  int64_t TickSeconds() const;
  // Sets the external shutdown request as a session notice does.
  void RequestExternalShutdown() { external_shutdown_request_.store(true); }
  bool external_shutdown_requested() const { return external_shutdown_request_.load(); }
  // A notice of the system (any thread): logged, and a suspend or the end of the session sets the
  // external shutdown request.
  void OnSessionNotice(platform::SessionNotice notice);
  // Shows, changes or (show false) removes the tray icon for the state given; nothing without the
  // tray icon object (made by Initialize when EnableDesktopIcon is set). A failed add is tried
  // again by the next call, a failed change is repeated as a change.
  void UpdateTrayIcon(bool show, bool session_open, bool recording, uint32_t seconds);
  bool tray_icon_enabled() const { return tray_icon_enabled_; }
  bool tray_icon_added() const { return icon_added_; }
  // The second of the minute after which the daily restart of an idle session happens (drawn at
  // first use).
  int32_t DailyRestartSecond();

 private:
  // Applies one configuration message (type 129) from the primary Configurator; adds the
  // restart reasons it finds to `reasons`.
  void ApplyConfiguration(const netw_message_t& message, RestartReasons& reasons);
  void DisconnectPrimary();
  // A Configurator link that just came up: logged, registration, capabilities, status due now.
  void CfgLinkUp(const std::shared_ptr<SocketManager>& link, const std::u16string& text);
  void HighAvailability();
  void SendStatusToBoth();
  void SessionTasks();
  void LogProgramVersion();
  // The live-view seam: the capture's live copy follows the count.
  void SetLiveView(int32_t on);
  void OnExternalRequest(const netw_message_t& m);
  // The link replies go out on; nullptr when no Configurator link is connected.
  const std::shared_ptr<SocketManager>* ReplyLink() const;
  void SendReply(const netw_message_t& m, Status result);
  // The live-view and blanking requests' ending: the received line, the failure line when the
  // result is not 0, and the reply.
  void LogAndReply(const netw_message_t& m, Status result, std::u16string received,
                   const char16_t* failed);
  void SetFailedStartState(Status status);
  void CloseSegmentNow();
  // The capture's option bits from Flags: compress while the desktop is lost, many displays.
  int32_t CaptureOptions() const;
  int64_t Now() const;
  uint64_t NowMs() const;  // whole seconds times 1000, as the records carry them

  // Members in the order of the data model.
  FrameQueue recording_queue_;
  FrameQueue live_queue_;
  std::unique_ptr<platform::InstanceMutex> instance_mutex_;
  platform::PeriodicTimer service_timer_;
  bool timer_running_ = false;
  platform::Event timer_event_;  // stands in for the timer in the wait list when none runs
  platform::Event wake_event_;
  WorkstationConfig settings_;
  std::shared_ptr<SocketManager> primary_link_;
  std::shared_ptr<SocketManager> secondary_link_;
  bool primary_in_use_ = true;
  bool secondary_in_use_ = false;
  int64_t next_primary_connect_ = 0;
  int64_t next_secondary_connect_ = 0;
  int64_t next_server_connect_ = 0;
  bool initialized_ = false;
  std::atomic<bool> external_shutdown_request_{false};
  BroadcastClient broadcast_;
  bool remote_ = false;
  RemoteSessionInfo remote_session_;
  std::u16string workstation_name_;
  uint32_t workstation_address_ = 0;

  // Recording state and session data.
  int32_t recording_request_count_ = 0;
  std::vector<int64_t> scheduled_stops_;
  CaptureFormat current_format_ = DefaultCaptureFormat();
  uint32_t pending_record_count_ = 0;
  uint32_t retry_attempts_ = 0;
  int64_t next_retry_time_ = 0;
  uint64_t recording_start_tick_ = 0;
  int32_t blank_count_ = 0;
  std::u16string session_user_;
  SessionRecord session_record_;
  SegmentRecord segment_record_;
  int64_t session_start_time_ = 0;
  uint32_t recording_state_ = kRecStateNoSession;
  uint32_t last_status_ = 0;
  RuleList session_rules_;
  std::map<std::u16string, EventRecord> active_events_;
  int32_t external_trigger_count_ = 0;
  PayloadBuffer image_key_;
  int32_t live_view_on_ = 0;
  int64_t last_activity_time_ = 0;  // the last external blanking request

  int64_t next_status_time_ = 0;
  bool tray_icon_enabled_ = false;
  std::unique_ptr<platform::SessionNotifications> session_notifications_;
  std::unique_ptr<platform::TrayIcon> tray_icon_;
  bool icon_added_ = false;
  platform::TrayImage offline_icon_;
  platform::TrayImage idle_icon_;
  platform::TrayImage recording_icon_;
  WSSVRAPI primary_server_;
  WSSVRAPI secondary_server_;
  WSSVRAPI* current_server_ = &primary_server_;
  std::u16string secondary_server_address_;
  HTTPServerThread http_;

  std::minstd_rand random_;
  int32_t daily_restart_second_ = -1;
  std::recursive_mutex own_lock_;
};

// The process-wide controller (set at the end of construction, cleared by its destructor).
WorkstationController* CurrentController();

}  // namespace vorla
