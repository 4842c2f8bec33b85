// Start-up, the loop, the periodic pass and shutdown of the controller. The links are in
// controller_links.cpp, sessions and frames in controller_sessions.cpp.
#include "controller/workstation_controller.h"

#include <cstdlib>
#include <tuple>

#include "capture/capture_interface.h"
#include "common/format_string.h"
#include "common/logging.h"
#include "controller/tray_icons.h"
#include "platform/clock.h"
#include "rules/rules_engine.h"
#include "security/security_server.h"

namespace vorla {
namespace {

WorkstationController* g_controller = nullptr;

constexpr uint32_t kLoopWaitMs = 2000;
constexpr uint32_t kTimerPeriodMs = 1000;

}  // namespace

WorkstationController* CurrentController() { return g_controller; }

WorkstationController::Serialised::Serialised(WorkstationController& c)
    : rules_(RulesEngineLock()), own_(c.own_lock_) {}

WorkstationController::WorkstationController()
    : offline_icon_(LoadTrayIcon(kIconOffline)),
      idle_icon_(LoadTrayIcon(kIconIdle)),
      recording_icon_(LoadTrayIcon(kIconRecording)) {
  const int64_t now = TickSeconds();
  next_primary_connect_ = now;
  next_secondary_connect_ = now;
  primary_link_ = std::make_shared<SocketManager>();
  secondary_link_ = std::make_shared<SocketManager>();
  current_server_ = &primary_server_;
  g_controller = this;
}

WorkstationController::~WorkstationController() {
  Shutdown();
  if (g_controller == this) g_controller = nullptr;
}

int64_t WorkstationController::Now() const { return platform::GetClock().WallSeconds(); }
uint64_t WorkstationController::NowMs() const { return static_cast<uint64_t>(Now()) * 1000; }
int64_t WorkstationController::TickSeconds() const {
  return static_cast<int64_t>(platform::GetClock().TickMs() / 1000);
}

void WorkstationController::UpdateWorkstationIdentity() {
  if (!remote_) {
    GetLocalComputerIdentity(workstation_name_, workstation_address_);
    return;
  }
  workstation_address_ = ResolveHostIPv4(remote_session_.client_address);
  workstation_name_ = remote_session_.client_name;
  if (workstation_name_.empty())
    workstation_name_ = FormatString(u"RD_%010u", remote_session_.client_hardware_id);
}

Status WorkstationController::Initialize() {
  // 1. The remote session.
  remote_session_ = RemoteSessionInfo{};
  remote_ = GetRemoteSessionInfo(remote_session_);

  // 2. The instance mutex.
  std::u16string mutex_name;
  bool may_claim = true;
  if (!remote_) {
    mutex_name = u"Global\\WorkstationOpenEvent";
  } else if (remote_session_.connect_state != 0) {
    may_claim = false;
  } else {
    mutex_name = u"Global\\WSTSOpenEvent_" +
                 (remote_session_.client_name.empty()
                      ? FormatString(u"RD_%010u", remote_session_.client_hardware_id)
                      : remote_session_.client_name);
  }
  if (may_claim) instance_mutex_ = platform::ClaimInstanceMutex(mutex_name);
  if (!instance_mutex_) {
    Shutdown();
    return kStatusAnotherInstanceRunning;
  }

  // 3. Identity and log tag.
  UpdateWorkstationIdentity();
  SetLogTag(workstation_name_);

  // 4. The hidden window's part on this platform: the session notices (each one only sets the
  // external shutdown request, which the next pass honours) and, in step 7, the tray icon.
  // Design note: every attempt registers anew; a failed attempt's Shutdown has ended the last
  // registration, so later attempts are not left without notices.
  session_notifications_ = platform::RegisterSessionNotifications(
      [this](platform::SessionNotice notice) { OnSessionNotice(notice); });

  // 5. The security provider.
  if (!LogIfFailed(SecurityServer::Instance().Initialize(), kStatusSecurityProviderError,
                   u"WorkstationController: Failed to init SecurityServer", 4,
                   EVENTLOG_ERROR_TYPE)) {
    Shutdown();
    return kStatusInternalError;
  }

  // 6. The settings.
  static_cast<WorkstationSettings&>(settings_) = WorkstationSettings{};
  settings_.SCServerIP = u"NotSet";
  settings_.ConfigIP = u"NotSet";
  settings_.RecordingPort = 4488;
  settings_.ConfigPort = 4489;
  if (!LoadSettings(settings_, workstation_name_, remote_)) {
    SaveSettings(settings_, workstation_name_, remote_);
    SetLogThreshold(static_cast<int32_t>(settings_.ErrLogLevel));
    LogStatus(kStatusNoConfigUsingDefault, u"", EVENTLOG_INFORMATION_TYPE,
              static_cast<int32_t>(settings_.ErrLogLevel));
  }
  SetLogThreshold(static_cast<int32_t>(settings_.ErrLogLevel));
  if (settings_.Flags & kFlagClearRecordingServer) settings_.SCServerIP.clear();

  // 7. The tray icon.
  tray_icon_enabled_ = (settings_.Flags & kFlagDesktopIcon) != 0;
  // Without the setting no display connection is opened for it at all.
  if (tray_icon_enabled_ && !tray_icon_) tray_icon_ = platform::CreateTrayIcon();

  // 8. The broadcast listener.
  Status result = broadcast_.Open(settings_.BroadcastPort);
  LogIfFailed(result == 0, result,
              FormatString(u"WorkstationController: Broadcast port %d could not be opened by "
                           u"client, may already be in use. Will ignore and continue anyway...",
                           static_cast<int32_t>(settings_.BroadcastPort)),
              2, EVENTLOG_INFORMATION_TYPE);

  // 9. The local HTTP interface: its RecordingControl requests arrive on its own thread, and
  // ExternalTrigger serialises them with the loop.
  const bool http_started = http_.StartHTTPServer(
      [this](uint32_t mode, TriggerEvent& event, const std::u16string& trigger_name) {
        EventRecord r;
        const Status s = ExternalTrigger(mode, &r, trigger_name);
        event.event_id = r.event_id;
        event.start_time_ms = r.start_time;
        event.end_time_ms = r.end_time;
        event.recorded_bytes = r.recorded_bytes;
        return s;
      },
      workstation_name_, settings_.HTTPPort, settings_.HTTPSSLCert,
      (settings_.Flags & kFlagHttpCrossOrigin) != 0);
  LogIfFailed(http_started, kStatusInternalError,
              u"ScreenServerService: Failed to init HTTP Server. Will ignore and continue "
              u"anyway...",
              3, EVENTLOG_WARNING_TYPE);

  // 10. The service timer.
  timer_running_ = service_timer_.valid() && service_timer_.Start(kTimerPeriodMs);
  if (timer_running_) {
    // 11.
    LogProgramVersion();
    return 0;
  }
  // 12. Without the timer the loop still makes a periodic pass on every 2 s time-out, so the
  // workstation runs on when the broadcast listener opened; otherwise start-up fails with the
  // listener's status.
  LogIfFailed(false, kStatusInternalError,
              u"WorkstationController: Could not start the service timer [timeSetEvent FAILED]", 4,
              EVENTLOG_ERROR_TYPE);
  if (result == 0) return 0;
  Shutdown();
  return result;
}

void WorkstationController::LogProgramVersion() {
  std::vector<int32_t> v;
  if (GetFileVersionNumbers(GetModuleFilePath(), v) && v.size() == 4)
    LogStatus(kStatusAuditMsg,
              FormatString(u"VorlaWorkstation version: %d.%d.%d.%d", v[0], v[1], v[2], v[3]),
              EVENTLOG_INFORMATION_TYPE, 4);
}

void WorkstationController::Shutdown() {
  // 1.
  http_.Stop(5);
  // 2. The timer and the settings.
  if (timer_running_) {
    service_timer_.Stop();
    timer_running_ = false;
    if (settings_.Flags & kFlagClearRecordingServer) settings_.SCServerIP.clear();
    SaveSettings(settings_, workstation_name_, remote_);
  }
  // 3.
  broadcast_.Close();
  // 4. Only a start-up that got past the mutex has a session or a server link to close.
  if (instance_mutex_) {
    CloseSession();
    // A capture kept for a live view must not outlive the queues it fills.
    StopCapture();
    SetLiveView(0);
    current_server_->Close();
    // 5. The closing notice (kind 2, value 0: what peers read as "the workstation shuts down").
    bool sent = false;
    for (const auto& link : {primary_link_, secondary_link_}) {
      if (link->connected()) {
        link->Send(BuildClosingNotice(), true);
        sent = true;
      }
    }
    if (sent) platform::GetClock().SleepMs(100);
  }
  primary_link_->Disconnect();
  secondary_link_->Disconnect();
  // 6. The tray icon.
  if (tray_icon_enabled_ && tray_icon_) {
    tray_icon_->Delete();
    icon_added_ = false;
  }
  // 7. The end of the hidden window's stand-in: the notices stop, and as at the destruction of
  // the window the icon goes and the external shutdown request is set (the next pass of a later
  // start clears it without effect).
  if (session_notifications_ || tray_icon_) {
    session_notifications_.reset();
    if (tray_icon_) {
      tray_icon_->Delete();
      icon_added_ = false;
      tray_icon_.reset();
    }
    external_shutdown_request_.store(true);
  }
  // 8.
  instance_mutex_.reset();
  // 9.
  initialized_ = false;
}

uint32_t WorkstationController::RunLoop(const std::atomic<int32_t>* stop_flag) {
  random_.seed(static_cast<uint32_t>(
      Now() + static_cast<int64_t>(reinterpret_cast<uintptr_t>(this) & 0xFFFFFFFF)));
  std::srand(static_cast<unsigned>(random_()));
  {
    Serialised hold(*this);
    const int64_t now = TickSeconds();
    next_primary_connect_ = now;
    next_server_connect_ = now;
    next_secondary_connect_ = now + 10;
    const Status s = Initialize();
    if (s != 0)
      LogIfFailed(false, s, u"Initial startup failed. We'll retry periodically.", 4,
                  EVENTLOG_WARNING_TYPE);
    else
      initialized_ = true;
  }
  int pass_counter = 5;
  while (stop_flag->load() == 0) {
    if (!initialized_) {
      Status s;
      {
        Serialised hold(*this);
        s = Initialize();
        if (s == 0) initialized_ = true;
      }
      if (s != 0) wake_event_.Wait(kLoopWaitMs);
      continue;
    }
    std::vector<platform::Waitable*> waits;
    waits.push_back(&wake_event_);
    waits.push_back(timer_running_ ? static_cast<platform::Waitable*>(&service_timer_)
                                   : &timer_event_);
    waits.push_back(&recording_queue_.event());
    waits.push_back(&live_queue_.event());
    if (primary_link_->connected()) waits.push_back(&primary_link_->incoming().event());
    if (secondary_link_->connected()) waits.push_back(&secondary_link_->incoming().event());
    // The tray icon's display connection: its traffic (redraws, the tip, a tray that comes back)
    // is handled at once and makes no pass.
    int tray_index = -1;
    if (platform::Waitable* tray = tray_icon_ ? tray_icon_->events() : nullptr) {
      tray_index = static_cast<int>(waits.size());
      waits.push_back(tray);
    }
    const int index = platform::WaitAny(waits, kLoopWaitMs);

    Serialised hold(*this);
    if (index >= 0 && index == tray_index) {
      if (tray_icon_) tray_icon_->ProcessEvents();
      continue;
    }
    if (index == 2 || index == 3) {
      ProcessFrameQueue(recording_queue_, FrameMode::kRecording, recording_request_count_ != 0);
      ProcessFrameQueue(live_queue_, FrameMode::kLive, live_view_on_ != 0);
      ++pass_counter;
    }
    if (index == 1 || index < 0 || index > 3 || pass_counter >= 5) {
      ManageConnections();
      PeriodicTasks();
      // The remote-session check.
      RemoteSessionInfo info;
      if (initialized_ && GetRemoteSessionInfo(info) && info.connect_state != 0) {
        LogStatus(kStatusServiceStopped, u"Remote session expired. Terminating runstate.",
                  EVENTLOG_INFORMATION_TYPE, 2);
        Shutdown();
      }
      pass_counter = 0;
    }
  }
  return 0;
}

void WorkstationController::PeriodicTasks() {
  // 1. The user.
  std::u16string user;
  Status s = 0;
  if (remote_) {
    user = remote_session_.user_name;
    if (user.empty()) s = kStatusTerminalServiceError;
  } else {
    s = GetLoggedOnUserName(user, (settings_.Flags & kFlagUserPrincipalName) != 0);
  }
  // 2. The hidden window's messages: the session notices arrive through their sink instead, and
  // the tray icon's display traffic is read here too.
  if (tray_icon_) tray_icon_->ProcessEvents();
  // 3.
  if (LogIfFailed(s == 0, s,
                  u"WorkstationController: Failed to get current logged on user. Windows "
                  u"version issue?",
                  3, EVENTLOG_ERROR_TYPE) &&
      user != session_user_) {
    if (!session_user_.empty()) CloseSession();
    if (!user.empty()) OpenSession(user);
  }
  // 4.
  if (!session_user_.empty()) SessionTasks();
  // 5.
  external_shutdown_request_.store(false);
  // 6. The tray icon: the seconds since the capture began (across segments).
  if (tray_icon_enabled_) {
    const uint64_t tick = platform::GetClock().TickMs();
    const uint32_t seconds =
        (recording_start_tick_ != 0 && tick >= recording_start_tick_)
            ? static_cast<uint32_t>((tick - recording_start_tick_) / 1000)
            : 0;
    const bool session_open = !session_user_.empty();
    UpdateTrayIcon(true, session_open,
                   session_open && (recording_state_ & kRecStateBitRecording) != 0, seconds);
  }
  // 7, 8.
  NotifyStatusIfDue(false);
  CheckBroadcast();
}

int32_t WorkstationController::DailyRestartSecond() {
  // 0 to 58: the restart waits for a second after the drawn one, and every minute has one after
  // 58 (a draw of 59 would never be passed, and the session would never restart).
  if (daily_restart_second_ < 0) daily_restart_second_ = std::rand() % 59;
  return daily_restart_second_;
}

void WorkstationController::SessionTasks() {
  const int64_t tick = TickSeconds();
  // 0. A capture that ended by itself because its display server went away, while requests held
  // it: what it took goes out, the segment ends, and the requests wait for a display as after a
  // failed start (the retry below, every 10 s).
  if (recording_request_count_ != 0 && CaptureConnectionLost()) {
    StopCapture();
    ProcessFrameQueue(recording_queue_, FrameMode::kRecording, true);
    recording_queue_.Clear();
    live_queue_.Clear();
    recording_start_tick_ = 0;
    CloseSegmentNow();
    pending_record_count_ += static_cast<uint32_t>(recording_request_count_);
    recording_request_count_ = 0;
    SetFailedStartState(kStatusDesktopLost);
    next_retry_time_ = tick + 10;
    next_status_time_ = tick;
  }
  // 1. Retry.
  if (pending_record_count_ != 0 && tick > next_retry_time_) {
    CaptureFormat f = current_format_;
    const Status s = StartRecording(f, pending_record_count_, nullptr);
    if (s == 0) {
      LogStatus(0, u"Recording re-started successfuly after previous Rec/Trigger failure",
                EVENTLOG_INFORMATION_TYPE, 2);
      pending_record_count_ = 0;
      retry_attempts_ = 0;
    } else {
      ++retry_attempts_;
      next_retry_time_ = tick + (retry_attempts_ > 10 ? 60 : 10);
    }
  }
  if (session_user_.empty()) return;  // the retry may have closed the session (0xC0000FA9)
  // 2. Scheduled stops.
  uint32_t due = 0;
  std::erase_if(scheduled_stops_, [&](int64_t t) {
    if (t >= tick) return false;
    ++due;
    return true;
  });
  for (uint32_t i = 0; i < due; ++i) StopRecording(1);
  // 3. Rules.
  if (!(settings_.Flags & kFlagRulesDisabled)) ProcessRules(false);
  if (session_user_.empty()) return;
  // 4. Daily restart: once the local date is past the session's first day. A wall clock set back
  // over midnight shows an earlier date, which is no reason to restart.
  auto& clock = platform::GetClock();
  const platform::CalendarTime local = clock.LocalTime(Now());
  const platform::CalendarTime start = clock.LocalTime(session_start_time_);
  if (std::tie(local.year, local.month, local.day) > std::tie(start.year, start.month, start.day)) {
    const bool external_running =
        (recording_state_ & kRecStateBitRecording) && external_trigger_count_ > 0;
    const bool restart = external_running ? local.hour >= 2 : local.second > DailyRestartSecond();
    if (restart) {
      CloseSession();
      LogProgramVersion();
    }
  }
  // 5. External shutdown request.
  if (external_shutdown_request_.load() && !session_user_.empty()) {
    LogStatus(kStatusAuditMsg, u"Session shutdown request due to external factors",
              EVENTLOG_INFORMATION_TYPE, 3);
    StopRecording(1);
    CloseSession();
  }
}

void WorkstationController::UpdateTrayIcon(bool show, bool session_open, bool recording,
                                           uint32_t seconds) {
  // 1. No stand-in of the hidden window, no icon.
  if (!tray_icon_) return;
  // 2.
  if (!show) {
    tray_icon_->Delete();
    icon_added_ = false;
    return;
  }
  // 3.
  const platform::TrayImage* icon = &offline_icon_;
  std::u16string tip = u"Screen recording offline";
  if (recording) {
    icon = &recording_icon_;
    tip = FormatString(u"Screen recording in progress: %d sec", static_cast<int32_t>(seconds));
  } else if (session_open) {
    icon = &idle_icon_;
    tip = u"Screen recording idle";
  }
  if (!icon->valid()) return;
  // 4. A failure is not reported: icon added keeps its value.
  if (icon_added_ ? tray_icon_->Modify(*icon, tip) : tray_icon_->Add(*icon, tip)) icon_added_ = true;
}

void WorkstationController::OnSessionNotice(platform::SessionNotice notice) {
  switch (notice) {
    case platform::SessionNotice::kSuspend:
      LogStatus(kStatusAuditMsg,
                FormatString(u"Windows Power notification: %d", static_cast<int32_t>(notice)),
                EVENTLOG_INFORMATION_TYPE, 3);
      RequestExternalShutdown();
      break;
    case platform::SessionNotice::kSessionEnd:
      LogStatus(kStatusAuditMsg,
                FormatString(u"Windows Session notification: %d", static_cast<int32_t>(notice)),
                EVENTLOG_INFORMATION_TYPE, 3);
      RequestExternalShutdown();
      break;
    case platform::SessionNotice::kUnavailable:
      LogStatus(kStatusAuditMsg,
                u"WorkstationController: No suspend, shutdown or session-end notices: the "
                u"login manager cannot be reached on the system bus. Will ignore and continue "
                u"anyway...",
                EVENTLOG_WARNING_TYPE, 3);
      break;
  }
}

void WorkstationController::SetLiveView(int32_t on) {
  live_view_on_ = on;
  SetCaptureLiveCopy(on != 0);
}

}  // namespace vorla
