// Recording sessions, segments, frames, events, status messages and the rules step.
#include <algorithm>

#include "capture/capture_interface.h"
#include "common/byte_writer.h"
#include "common/format_string.h"
#include "common/logging.h"
#include "controller/workstation_controller.h"
#include "platform/clock.h"
#include "rules/rules_engine.h"
#include "security/hc128.h"
#include "security/security_server.h"

namespace vorla {
namespace {

bool SameRect(const CaptureFormat& a, const CaptureFormat& b) {
  return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

void TakeRect(const CaptureRect& r, CaptureFormat& f) {
  f.x = r.x;
  f.y = r.y;
  f.width = static_cast<uint32_t>(r.width);
  f.height = static_cast<uint32_t>(r.height);
}

}  // namespace

Status WorkstationController::OpenSession(const std::u16string& user) {
  // 1, 2.
  if (!session_user_.empty()) CloseSession();
  if (!current_server_->IsConnected()) return kStatusInternalError;
  // 3.
  const Status config = RequestSessionConfig(user);
  if (config != 0) {
    LogStatus(config,
              FormatString(u"WorkstationController: Failed to retrieve session config for [%s]. "
                           u"Using WS defaults.",
                           user),
              EVENTLOG_WARNING_TYPE, 2);
    session_rules_ = settings_.rules;
  }
  // 4, 5.
  UpdateWorkstationIdentity();
  session_record_ = SessionRecord{};
  image_key_ = {};
  if (!settings_.EncryptionPassword.empty()) {
    ByteWriter units;
    for (char16_t c : settings_.EncryptionPassword) units.U16(static_cast<uint16_t>(c));
    PayloadBuffer key;
    if (SecurityServer::Instance().DeriveKey(key, units.bytes().data(),
                                             static_cast<uint32_t>(units.size())) &&
        key.size() == 16) {
      image_key_ = key;
      session_record_.session_flags |= kSessionFlagFramesEnciphered;
    } else {
      LogStatus(kStatusSecurityProviderError,
                u"Failed to generate encryption key for image encryption. Screen data will NOT "
                u"be encrypted.",
                EVENTLOG_ERROR_TYPE, 3);
    }
  }
  // 6.
  session_record_.user_name = user;
  session_record_.workstation_address = workstation_address_;
  session_record_.workstation_name = workstation_name_;
  session_record_.seating_type = settings_.SeatingType;
  session_record_.start_time = NowMs();
  // 7.
  const RuleList rules_copy = session_rules_;
  const Status result = current_server_->NewSession(session_record_, rules_copy);
  if (result != 0) {
    // 8.
    LogStatus(result, FormatString(u"Failed to create new session for user [%s]", user),
              EVENTLOG_ERROR_TYPE, 3);
    image_key_ = {};
  } else {
    // 9.
    const std::u16string& server =
        primary_in_use_ ? settings_.SCServerIP : secondary_server_address_;
    LogStatus(kStatusSessionStarted,
              FormatString(
                  u"Server = %s, SessionId = %s, User = %s, Encryption = %s", server,
                  session_record_.session_id, user,
                  (session_record_.session_flags & kSessionFlagFramesEnciphered) ? u"ON" : u"OFF"),
              EVENTLOG_AUDIT_SUCCESS, 2);
    StartRulesEngine(session_rules_);
    session_start_time_ = Now();
    session_user_ = user;
    recording_state_ = kRecStateIdle;
    last_status_ = 0;
    SetLiveView(0);
  }
  // 10.
  SendStatusToBoth();
  return result;
}

void WorkstationController::CloseSession() {
  // 1, 2.
  if (!(settings_.Flags & kFlagRulesDisabled)) ProcessRules(true);
  // Every request still held ends with the session (external ones, timed ones), so the capture
  // does not run on without a segment.
  StopRecording(recording_request_count_ > 1 ? static_cast<uint32_t>(recording_request_count_) : 1);
  // 3.
  if (!session_user_.empty())
    LogStatus(kStatusSessionTerminated,
              FormatString(u"SessionId = %s, User = %s", session_record_.session_id, session_user_),
              EVENTLOG_AUDIT_SUCCESS, 2);
  // 4.
  session_record_.end_time = NowMs();
  const SessionRecord copy = session_record_;
  current_server_->CloseSession(copy);
  // 5.
  image_key_ = {};
  session_record_ = SessionRecord{};
  session_user_.clear();
  recording_state_ = kRecStateNoSession;
  last_status_ = 0;
  external_trigger_count_ = 0;
  current_format_ = DefaultCaptureFormat();
  recording_request_count_ = 0;
  scheduled_stops_.clear();
  pending_record_count_ = 0;
  retry_attempts_ = 0;
  next_retry_time_ = 0;
  recording_start_tick_ = 0;
  blank_count_ = 0;
  // 6.
  SendStatusToBoth();
}

void WorkstationController::SendStatusToBoth() {
  SendStatus(primary_link_, !primary_in_use_ && !settings_.SecConfigIP.empty());
  SendStatus(secondary_link_, primary_in_use_);
  next_status_time_ = TickSeconds() + 20;
}

void WorkstationController::SetFailedStartState(Status status) {
  recording_state_ = status == kStatusDesktopLost            ? kRecStateDesktopLost
                     : status == kStatusCompressorInitFailed ? kRecStateCompressorFailed
                                                             : kRecStateStartFailed;
  last_status_ = status;
}

Status WorkstationController::ProcessRules(bool force_down) {
  ActionList actions;
  std::vector<RuleEvent> events;
  RunRules(actions, events, force_down);
  RulesBatch batch = MergeRuleActions(actions, blank_count_);
  if (batch.handled != 0) next_status_time_ = TickSeconds();
  Status status = 0;
  if (batch.record_count > 0) {
    batch.blank_changed = true;
    status = StartRecording(batch.request, batch.record_count, &batch.durations);
    // A start that closed the session (0xC0000FA9) leaves nothing to retry.
    if (status != 0 && !session_user_.empty()) {
      SetFailedStartState(status);
      pending_record_count_ += batch.record_count;
      next_retry_time_ = TickSeconds() + 10;
    }
  }
  for (const RuleEvent& e : events) SendEventInfo(e, nullptr);
  if (batch.stop_count > 0) StopRecording(batch.stop_count);
  if (batch.blank_changed) SetCaptureBlank(blank_count_ > 0);
  return status;
}

int32_t WorkstationController::CaptureOptions() const {
  int32_t options = 0;
  if (settings_.Flags & kFlagCaptureWhileDesktopLost) options |= kCaptureOptionCompressWhileLost;
  if (settings_.Flags & kFlagSixteenDisplays) options |= kCaptureOptionManyDisplays;
  return options;
}

void WorkstationController::CloseSegmentNow() {
  segment_record_.end_time = NowMs();
  current_server_->CloseSegment(segment_record_);
}

Status WorkstationController::StartRecording(CaptureFormat& f, uint32_t count,
                                             const std::vector<int32_t>* durations) {
  const int64_t tick = TickSeconds();
  // 1.
  const int32_t options = CaptureOptions();
  f.codec_fcc = settings_.AssignedFCC;
  bool durations_taken = false;
  auto start_capture = [&]() -> Status {
    return StartCapture(f, options, &recording_queue_, settings_.BlankingText, settings_.LostText,
                        &live_queue_, blank_count_ != 0, settings_.screen_list);
  };
  if (!IsCaptureRunning()) {
    // 2.
    f.max_queued_frames = 60;
    recording_queue_.Clear();
    if (const Status s = start_capture(); s != 0) return s;
    TakeRect(GetCaptureFrame(), f);
  } else {
    // 3.
    TakeRect(GetCaptureFrame(), f);
    if (SameRect(f, current_format_) && f.frame_rate == current_format_.frame_rate) {
      if (durations)
        for (int32_t d : *durations) scheduled_stops_.push_back(tick + d);
      durations_taken = true;
      RequestKeyFrame();
      if (recording_request_count_ != 0) {
        recording_request_count_ += static_cast<int32_t>(count);
        return 0;
      }
    } else {
      // 4. The capture must change: what is queued still goes out in the old segment.
      StopCapture();
      ProcessFrameQueue(recording_queue_, FrameMode::kRecording, true);
      recording_queue_.Clear();
      if (recording_request_count_ != 0) CloseSegmentNow();
      f.frame_rate = std::max(f.frame_rate, current_format_.frame_rate);
      f.x = std::min(f.x, current_format_.x);
      f.y = std::min(f.y, current_format_.y);
      f.width = std::max(f.width, current_format_.width);
      f.height = std::max(f.height, current_format_.height);
      f.quality = std::max(f.quality, current_format_.quality);
      f.max_queued_frames = 60;
      if (const Status s = start_capture(); s != 0) return s;
      TakeRect(GetCaptureFrame(), f);
    }
  }
  // 5.
  SegmentRecord segment;
  segment.start_time = NowMs();
  segment.end_time = segment.start_time;
  segment.frame_rate = f.frame_rate;
  segment.x = f.x;
  segment.y = f.y;
  segment.width = static_cast<int32_t>(f.width);
  segment.height = static_cast<int32_t>(f.height);
  segment.codec_fcc = GetCaptureFCC();
  segment.quality = GetCaptureQuality();
  const Status s = current_server_->NewSegment(segment);
  // 6.
  if (!LogIfFailed(s == 0, s,
                   u"WorkstationController: Failed to create new recording segment. "
                   u"Terminating recording.",
                   3, EVENTLOG_ERROR_TYPE)) {
    if (s == kStatusSessionError) {
      CloseSession();
    } else {
      StopCapture();
    }
    return s;
  }
  // 7. The requests that kept the old segment open still hold after a changed capture, so the
  // new ones join them instead of replacing them.
  recording_request_count_ += static_cast<int32_t>(count);
  current_format_ = f;
  if (recording_start_tick_ == 0) recording_start_tick_ = platform::GetClock().TickMs();
  if (durations && !durations_taken)
    for (int32_t d : *durations) scheduled_stops_.push_back(tick + d);
  recording_state_ = kRecStateRecording;
  last_status_ = 0;
  next_status_time_ = tick;
  segment_record_ = segment;
  return 0;
}

void WorkstationController::StopRecording(uint32_t count) {
  const int32_t n = static_cast<int32_t>(std::min<uint32_t>(count, 0x7FFFFFFF));
  if (recording_request_count_ != 0) {
    recording_request_count_ = recording_request_count_ < n ? 0 : recording_request_count_ - n;
    if (recording_request_count_ == 0) {
      if (live_view_on_ == 0) {
        StopCapture();
        ProcessFrameQueue(recording_queue_, FrameMode::kRecording, true);
        recording_queue_.Clear();
        live_queue_.Clear();
        recording_start_tick_ = 0;
      }
      CloseSegmentNow();
      recording_state_ = kRecStateIdle;
      last_status_ = 0;
      next_status_time_ = TickSeconds();
    }
  }
  if (pending_record_count_ >= count) {
    pending_record_count_ -= count;
    if (pending_record_count_ == 0) retry_attempts_ = 0;
  }
}

void WorkstationController::ProcessFrameQueue(FrameQueue& queue, FrameMode mode,
                                              bool sending_enabled) {
  if (queue.Size() == 0) return;
  int handled = 0;
  while (handled < 10) {
    screen_image frame;
    if (!queue.TryFront(frame)) break;
    const bool lost = (frame.flags & kFrameFlagDesktopLost) != 0;
    if (lost && !(recording_state_ & kRecStateBitDesktopLost)) {
      recording_state_ = kRecStateDesktopLost;
      last_status_ = kStatusDesktopLost;
      next_status_time_ = TickSeconds();
      LogStatus(kStatusDesktopLost, u"", EVENTLOG_AUDIT_SUCCESS, 3);
    }
    const bool has_data = frame.data_length != 0 && !frame.data.empty();
    if (has_data) {
      ++handled;
      if (!lost && (recording_state_ & kRecStateBitDesktopLost)) {
        LogStatus(kStatusAuditMsg, u"ScreenSaver/Lockout canceled.", EVENTLOG_INFORMATION_TYPE, 3);
        // Back to what the session does: a recording that runs on is state 7, not idle.
        recording_state_ = recording_request_count_ != 0 ? kRecStateRecording : kRecStateIdle;
      }
      last_status_ = 0;
      if (mode == FrameMode::kRecording && sending_enabled && current_server_->IsConnected()) {
        const uint32_t length =
            static_cast<uint32_t>(std::min<uint64_t>(frame.data_length, frame.data.size()));
        FrameHeader h;
        h.capture_time = static_cast<uint64_t>(frame.capture_time);
        h.codec_fcc = frame.codec_fcc;
        h.quality = frame.quality;
        h.data_length = length;
        h.x = frame.x;
        h.y = frame.y;
        h.width = frame.width;
        h.height = frame.height;
        if (frame.flags & kImageFlagKeyFrame) h.frame_flags |= kFrameFlagKeyFrame;
        PayloadBuffer digest;
        SecurityServer& provider = SecurityServer::Instance();
        if (provider.Hash(frame.data.data(), length, digest)) {
          std::copy_n(digest.data(), std::min<size_t>(8, digest.size()), h.digest.begin());
          h.frame_flags |= kFrameFlagDigestValid;
        }
        PayloadBuffer data = frame.data;
        if (!image_key_.empty()) {
          PayloadBuffer enciphered = PayloadBuffer::TryAllocate(length);
          std::lock_guard<std::recursive_mutex> g(provider.lock());
          auto state = StreamCipherCreate(image_key_.span());
          if (state && enciphered.size() == length) {
            StreamCipherProcess(*state, frame.data.data(), enciphered.data(), length);
            data = enciphered;
            h.frame_flags |= kFrameFlagEnciphered;
          }
        }
        if (!image_key_.empty() && (h.frame_flags & kFrameFlagEnciphered) == 0) {
          // A session with a frame key never sends a picture in the clear: a frame that cannot
          // be enciphered (no memory for the copy, no cipher) is dropped instead.
          LogStatus(kStatusResourceAllocationError,
                    u"WorkstationController: Frame could not be enciphered. Dropped.",
                    EVENTLOG_WARNING_TYPE, 2);
        } else if (current_server_->SegmentData(data, h) != 0) {
          NotifyStatusIfDue(false);
          return;
        } else {
          // Counted only once sent: a frame that stays queued for a retry is not counted twice.
          for (auto& [id, event] : active_events_) event.recorded_bytes += length;
        }
      } else if (mode == FrameMode::kLive && sending_enabled) {
        const std::shared_ptr<SocketManager>& link =
            primary_link_->connected() ? primary_link_ : secondary_link_;
        if (link->connected()) {
          PayloadBuffer description = PayloadBuffer::Allocate(kFrameDescriptionSize);
          if (description.size() == kFrameDescriptionSize) {
            WriteFrameDescription(frame, std::span<uint8_t, kFrameDescriptionSize>(
                                             description.data(), kFrameDescriptionSize));
            link->Send(MakeNetwMessage(nwmt_live_frame, description, frame.data), true);
          }
        }
      }
    }
    queue.DropFront();
    NotifyStatusIfDue(false);
  }
}

void WorkstationController::SendEventInfo(const RuleEvent& e, EventRecord* sent) {
  EventRecord r;
  r.presence = 1;
  r.event_id = e.event_id;
  r.rule_reference = static_cast<uint32_t>(e.rule_reference);
  r.start_time = static_cast<uint64_t>(e.start_time);
  r.end_time = static_cast<uint64_t>(e.end_time);
  r.recorded_bytes = 0;
  if (e.rising) {
    auto [it, inserted] = active_events_.try_emplace(e.event_id);
    if (inserted) it->second.start_time = NowMs();
    it->second = r;
    it->second.recorded_bytes = 0;
  } else if (auto it = active_events_.find(e.event_id); it != active_events_.end()) {
    r.recorded_bytes = it->second.recorded_bytes;
    active_events_.erase(it);
  }
  const uint32_t s = current_server_->EventInfo(r, e.rising);
  if (s != 0)
    LogStatus(s,
              FormatString(u"WorkstationController: Failed to send event info for eventID %s.",
                           e.event_id),
              EVENTLOG_ERROR_TYPE, 3);
  if (sent) *sent = r;
}

Status WorkstationController::ExternalTrigger(uint32_t mode, EventRecord* sent,
                                              const std::u16string& event_id) {
  Serialised hold(*this);
  // 1, 2.
  if (settings_.Flags & kFlagRulesDisabled) return kStatusRecordingConnectionNotAuthorised;
  if (session_user_.empty()) return kStatusNoActiveRecordingSession;
  ActionRecord action;
  int32_t rule_number = 0;
  if (!FindExtTriggerRecordAction(action, rule_number)) return kStatusNoRuleAction;
  const bool start = (mode & 0x1) != 0;
  const bool blank = start && (mode & 0x2) != 0;
  // 3. A stop withdraws one blank request at once; a start adds its own only once it is not
  // refused (a refused start must leave no blanking behind).
  if (!start && blank_count_ > 0) --blank_count_;
  // 4.
  CaptureFormat f;
  f.x = std::min(0, action.x);
  f.y = std::min(0, action.y);
  f.width = action.width;
  f.height = action.height;
  f.frame_rate = std::max(1u, action.images_per_second);
  f.max_queued_frames = 25;
  f.codec_fcc = 0;
  f.quality = action.quality;
  if (start) {
    // 5.
    if (!(settings_.Flags & kFlagParallelExternalStart) && external_trigger_count_ > 0)
      return kStatusAlreadyInRecordingState;
    if (blank) ++blank_count_;
    const Status s = StartRecording(f, 1, nullptr);
    if (s != 0) {
      if (blank && blank_count_ > 0) --blank_count_;
      if (!session_user_.empty()) SetFailedStartState(s);
      return s;
    }
    // A capture that was already running learns of the blank request now, not at its next start.
    SetCaptureBlank(blank_count_ > 0);
    RuleEvent e;
    e.event_id = NewEventId();
    e.rule_reference = rule_number;
    e.description = kDefaultExtTriggerName;
    e.start_time = static_cast<int64_t>(NowMs());
    e.end_time = 0;
    e.trigger_name = e.event_id;
    e.rising = true;
    ++external_trigger_count_;
    SendEventInfo(e, sent);
    return 0;
  }
  // 6.
  auto falling = [&](const EventRecord& r) {
    RuleEvent e;
    e.event_id = r.event_id;
    e.rule_reference = static_cast<int32_t>(r.rule_reference);
    e.start_time = static_cast<int64_t>(r.start_time);
    e.end_time = static_cast<int64_t>(NowMs());
    e.rising = false;
    SendEventInfo(e, sent);
  };
  if (auto it = active_events_.find(event_id); it != active_events_.end()) {
    falling(it->second);
  } else {
    std::vector<EventRecord> ending;
    for (const auto& [id, r] : active_events_)
      if (r.rule_reference == static_cast<uint32_t>(rule_number)) ending.push_back(r);
    for (const EventRecord& r : ending) falling(r);
  }
  SetCaptureBlank(blank_count_ > 0);
  StopRecording(1);
  if (external_trigger_count_ > 0) --external_trigger_count_;
  return 0;
}

uint32_t WorkstationController::StatusWord() const {
  uint32_t word = recording_state_;
  if (recording_request_count_ != 0) word |= kStatusWordRecording;
  if (pending_record_count_ != 0) word |= kStatusWordPending;
  if (blank_count_ != 0) word |= kStatusWordBlanked;
  if (remote_) word |= kStatusWordRemote;
  if (!session_user_.empty()) word |= kStatusWordSession;
  return word;
}

void WorkstationController::SendStatus(const std::shared_ptr<SocketManager>& link, bool standby) {
  const netw_message_t m =
      standby ? BuildStatusMessage(kStatusWordStandby, 0, nullptr)
              : BuildStatusMessage(StatusWord(), last_status_,
                                   session_user_.empty() ? nullptr : &session_record_);
  if (link && link->connected()) link->Send(m, true);
  if (!standby && current_server_->IsConnected() && current_server_->Forward(m) != 0)
    current_server_->Close();
}

void WorkstationController::NotifyStatusIfDue(bool force) {
  if (!force && TickSeconds() < next_status_time_) return;
  SendStatusToBoth();
}

}  // namespace vorla
