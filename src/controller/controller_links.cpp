// The links to the Configurators and the recording servers, high availability, configuration
// messages, the session configuration request and broadcast announcements.
#include "capture/capture_interface.h"
#include "common/byte_reader.h"
#include "common/format_string.h"
#include "common/logging.h"
#include "compression/compressor.h"
#include "controller/workstation_controller.h"
#include "platform/clock.h"
#include "platform/host.h"

namespace vorla {
namespace {

// Reads part 1 of a link notice (code 1, error code) or a status message (kind, value).
bool TwoWords(const netw_message_t& m, uint32_t& a, uint32_t& b) {
  ByteReader r(m.part1.span());
  return r.U32(a) && r.U32(b);
}

}  // namespace

void WorkstationController::ManageConnections() {
  const int64_t now = TickSeconds();
  // 1. Recording servers.
  if (now >= next_server_connect_) {
    if (!settings_.SCServerIP.empty() && !primary_server_.IsConnected()) {
      UpdateWorkstationIdentity();
      const Status s = primary_server_.Connect(settings_.SCServerIP, settings_.RecordingPort,
                                               workstation_name_, workstation_address_);
      if (s != 0)
        LogStatus(s,
                  FormatString(u"WorkstationController: Failed to open server connection %s.",
                               settings_.SCServerIP),
                  EVENTLOG_INFORMATION_TYPE, 2);
    }
    if (!secondary_server_address_.empty() && (settings_.Flags & kFlagHighAvailability) &&
        !secondary_server_.IsConnected()) {
      UpdateWorkstationIdentity();
      secondary_server_.Connect(secondary_server_address_, settings_.RecordingPort,
                                workstation_name_, workstation_address_);
    }
    next_server_connect_ = now + 10;
  }
  // 2. The primary Configurator.
  if (primary_link_->connected()) {
    ProcessPrimaryCfgMessages();
  } else if (now >= next_primary_connect_) {
    const Status s =
        primary_link_->Connect(ResolveHostIPv4(settings_.ConfigIP), settings_.ConfigPort);
    if (s != 0) {
      LogStatus(s,
                FormatString(u"WorkstationController: Failed to open Cfg connection %s.",
                             settings_.ConfigIP),
                EVENTLOG_INFORMATION_TYPE, 2);
      next_primary_connect_ = now + 10;
    } else {
      CfgLinkUp(primary_link_,
                FormatString(u"WorkstationController: Cfg connection to PRIMARY %s is UP.",
                             settings_.ConfigIP));
    }
  }
  // 3. The secondary Configurator.
  if (!settings_.SecConfigIP.empty() && (settings_.Flags & kFlagHighAvailability)) {
    if (secondary_link_->connected()) {
      ProcessSecondaryCfgMessages();
    } else if (now >= next_secondary_connect_) {
      const Status s =
          secondary_link_->Connect(ResolveHostIPv4(settings_.SecConfigIP), settings_.ConfigPort);
      if (s != 0) {
        LogIfFailed(false, s, u"WorkstationController: Failed to open Secondary Cfg connection.", 2,
                    EVENTLOG_INFORMATION_TYPE);
        next_secondary_connect_ = now + 10;
      } else {
        CfgLinkUp(secondary_link_,
                  FormatString(u"WorkstationController: Cfg connection to SECONDARY %s is UP.",
                               settings_.SecConfigIP));
      }
    }
  }
  // 4. The recording-server link.
  while (current_server_->IsConnected()) {
    ThreadSafeQueue<netw_message_t>* incoming = current_server_->Incoming();
    netw_message_t m;
    if (incoming == nullptr || !incoming->TryPop(m)) break;
    uint32_t a = 0, b = 0;
    const bool words = TwoWords(m, a, b);
    bool lost = false;
    if (m.header.type == nwmt_connection_error && words && a == 1) {
      current_server_->Close();
      lost = true;
    } else if (m.header.type == nwmt_status && words && a == kStatusKindShutdown) {
      lost = true;
    }
    if (lost) {
      LogStatus(kStatusInternalError, u"Server Connection lost. Shutting down session.",
                EVENTLOG_INFORMATION_TYPE, 2);
      if (!session_user_.empty()) CloseSession();
      current_server_->Close();
      break;
    }
  }
  // 5.
  HighAvailability();
}

void WorkstationController::CfgLinkUp(const std::shared_ptr<SocketManager>& link,
                                      const std::u16string& text) {
  LogStatus(0, text, EVENTLOG_WARNING_TYPE, 2);
  SendRegistration(link);
  SendCapabilities(link);
  next_status_time_ = TickSeconds();
}

void WorkstationController::HighAvailability() {
  const bool primary_usable =
      primary_link_->connected() && (settings_.SCServerIP.empty() || primary_server_.IsConnected());
  const bool secondary_usable = secondary_link_->connected() && secondary_server_.IsConnected();
  bool swapped = false;
  if (primary_in_use_ && !primary_usable) {
    primary_in_use_ = false;
    CloseSession();
  }
  const bool recording = (recording_state_ & kRecStateBitRecording) || IsCaptureRunning();
  if (!primary_in_use_ && primary_usable && !recording) {
    if (secondary_in_use_) CloseSession();
    current_server_ = &primary_server_;
    primary_in_use_ = true;
    secondary_in_use_ = false;
    LogStatus(kStatusInternalError,
              FormatString(u"High Availability -> swap to primary %s", settings_.ConfigIP),
              EVENTLOG_WARNING_TYPE, 4);
    swapped = true;
  }
  if (secondary_usable && !primary_in_use_ && !secondary_in_use_) {
    secondary_in_use_ = true;
    current_server_ = &secondary_server_;
    LogStatus(kStatusInternalError,
              FormatString(u"High Availability -> swap to secondary %s", settings_.SecConfigIP),
              EVENTLOG_WARNING_TYPE, 4);
    swapped = true;
  }
  if (swapped) SendStatusToBoth();
}

void WorkstationController::DisconnectPrimary() {
  primary_link_->Disconnect();
  next_primary_connect_ = TickSeconds() + 10;
}

void WorkstationController::ProcessPrimaryCfgMessages() {
  RestartReasons reasons;
  netw_message_t m;
  while (primary_link_->connected() && primary_link_->incoming().TryPop(m)) {
    uint32_t a = 0, b = 0;
    const bool words = TwoWords(m, a, b);
    switch (m.header.type) {
      case nwmt_connection_error:
        if (words && a == 1) {
          uint32_t peer = 0;
          primary_link_->GetClientName(peer);
          LogStatus(kStatusInternalError,
                    FormatString(u"Cfg Receive Error [%d] from [%s, 0x%x]. Terminating "
                                 u"connection.",
                                 static_cast<int32_t>(b), settings_.ConfigIP, peer),
                    EVENTLOG_INFORMATION_TYPE, 2);
          DisconnectPrimary();
          return;
        }
        break;
      case nwmt_status:
        if (words && a == kStatusKindShutdown) {
          uint32_t peer = 0;
          primary_link_->GetClientName(peer);
          LogStatus(kStatusInternalError,
                    FormatString(u"Cfg Connection Closed by peer [%s, 0x%x]. Terminating "
                                 u"connection.",
                                 settings_.ConfigIP, peer),
                    EVENTLOG_INFORMATION_TYPE, 2);
          DisconnectPrimary();
          return;
        }
        break;
      case nwmt_cfg_capabilities: SendCapabilities(primary_link_); break;
      case nwmt_cfg_config: ApplyConfiguration(m, reasons); break;
      case nwmt_cfg_agentchanged:
        reasons.new_agent_config = true;
        reasons.restart = true;
        break;
      case nwmt_cfg_trigger:
      case nwmt_cfg_blank:
      case nwmt_cfg_live: OnExternalRequest(m); break;
      default: break;
    }
  }
  if (reasons.restart) {
    LogStatus(kStatusAuditMsg,
              FormatString(u"New configuration data received from Configurator. Restarting "
                           u"session [Reason: %s%s%s%s%s].",
                           reasons.new_server ? u"NewServer " : u"",
                           reasons.new_codec ? u"NewCodec " : u"",
                           reasons.encryption_change ? u"EncryptionChange " : u"",
                           reasons.seating_type ? u"SeatingType " : u"",
                           reasons.new_agent_config ? u"NewAgentConfig " : u""),
              EVENTLOG_INFORMATION_TYPE, 2);
    CloseSession();
  }
  if (reasons.new_server) {
    current_server_->Close();
    LogStatus(kStatusAuditMsg,
              FormatString(u"New configuration data received from Configurator: New server "
                           u"assigned: [%s]. Restarting session",
                           settings_.SCServerIP),
              EVENTLOG_INFORMATION_TYPE, 2);
  }
}

void WorkstationController::ApplyConfiguration(const netw_message_t& message,
                                               RestartReasons& reasons) {
  const ConfigMessage config = ReadConfigMessage(message);
  RestartReasons found;
  if (config.settings) {
    WorkstationSettings incoming = *config.settings;
    CompareSettings(settings_, incoming, found);
    ReconcileIncoming(settings_, incoming);
    static_cast<WorkstationSettings&>(settings_) = incoming;
    SaveSettings(settings_, workstation_name_, remote_);
    SetLogThreshold(static_cast<int32_t>(settings_.ErrLogLevel));
  }
  if (config.rules) {
    found.rules_changed = RulesDiffer(settings_.rules, config.rule_bytes);
    settings_.rules = config.rules->rules();
    if (found.rules_changed) SaveSettings(settings_, workstation_name_, remote_);
  }
  reasons.new_server |= found.new_server;
  reasons.new_codec |= found.new_codec;
  reasons.encryption_change |= found.encryption_change;
  reasons.seating_type |= found.seating_type;
  reasons.rules_changed |= found.rules_changed;
  if (!session_user_.empty() && (found.new_server || found.new_codec || found.encryption_change ||
                                 found.seating_type || found.rules_changed))
    reasons.restart = true;
}

void WorkstationController::ProcessSecondaryCfgMessages() {
  netw_message_t m;
  while (secondary_link_->connected() && secondary_link_->incoming().TryPop(m)) {
    uint32_t a = 0, b = 0;
    const bool words = TwoWords(m, a, b);
    switch (m.header.type) {
      case nwmt_connection_error:
      case nwmt_status:
        if (words && ((m.header.type == nwmt_connection_error && a == 1) ||
                      (m.header.type == nwmt_status && a == kStatusKindShutdown))) {
          secondary_link_->Disconnect();
          next_secondary_connect_ = TickSeconds() + 10;
          return;
        }
        break;
      case nwmt_cfg_capabilities:
        if (!primary_in_use_) SendCapabilities(secondary_link_);
        break;
      case nwmt_cfg_config: {
        // Only the recording server's address is taken from the secondary's settings.
        const ConfigMessage config = ReadConfigMessage(m);
        if (config.settings) secondary_server_address_ = config.settings->SCServerIP;
        break;
      }
      case nwmt_cfg_trigger:
      case nwmt_cfg_blank:
      case nwmt_cfg_live:
        if (!primary_in_use_) OnExternalRequest(m);
        break;
      default: break;
    }
  }
}

void WorkstationController::SendRegistration(const std::shared_ptr<SocketManager>& link) {
  UpdateWorkstationIdentity();
  RegistrationRecord r;
  r.presence = 1;
  r.workstation_name = workstation_name_;
  r.workstation_address = workstation_address_;
  link->Send(BuildRegisterMessage(r), true);
}

void WorkstationController::SendCapabilities(const std::shared_ptr<SocketManager>& link) {
  std::vector<int32_t> v;
  uint8_t major = 0, minor = 0;
  if (GetFileVersionNumbers(GetModuleFilePath(), v) && v.size() >= 2) {
    major = static_cast<uint8_t>(v[0] & 0xFF);
    minor = static_cast<uint8_t>(v[1] & 0xFF);
  }
  std::vector<CodecInfo> codecs;
  CMP_ListAvailableCodecs(codecs);
  const uint64_t memory = platform::GetHostSystem().ReadResourceUsage().physical_total;
  link->Send(BuildCapabilities(major, minor, remote_, memory, codecs), true);
}

Status WorkstationController::RequestSessionConfig(const std::u16string& user) {
  // 1.
  if (!remote_ && settings_.SeatingType == 2) {
    session_rules_ = settings_.rules;
    return 0;
  }
  // 2, 3.
  if (!primary_link_->connected()) return kStatusNoActiveConnection;
  primary_link_->Send(BuildSessionConfigRequest(user), true);
  // 4. Every wait is up to 5 s; the last may run past the 5 s mark. A wait that runs out its
  // whole time ends the request as well (so a clock that stands still cannot hold it for ever).
  const int64_t start = TickSeconds();
  Status result = kStatusTimeout;
  std::vector<netw_message_t> aside;
  ThreadSafeQueue<netw_message_t>& incoming = primary_link_->incoming();
  while (TickSeconds() - start < 5) {
    netw_message_t m;
    if (!incoming.PopWithin(m, 5000)) break;
    if (m.header.type != nwmt_cfg_sessionconfig) {
      aside.push_back(std::move(m));
      continue;
    }
    RuleList rules;
    result = ReadSessionConfigAnswer(m, rules);
    if (result == 0) session_rules_ = std::move(rules);
  }
  // 5. The messages set aside go back in their order, ahead of what came meanwhile (the queue
  // offers no push to the front, so the later arrivals are taken out and appended again).
  if (!aside.empty()) {
    netw_message_t m;
    while (incoming.TryPop(m)) aside.push_back(std::move(m));
    for (auto& a : aside) incoming.Push(std::move(a));
  }
  return result;
}

void WorkstationController::CheckBroadcast() {
  if (!broadcast_.is_open()) return;
  for (;;) {
    netw_message_t m;
    bool received = false;
    if (broadcast_.Receive(m, received) != 0 || !received) return;
    if (m.header.type != nwmt_cfg_announce) continue;
    const std::optional<Announcement> a = ReadAnnouncement(m);
    if (!a) continue;
    if (UpperAscii(a->address) == UpperAscii(settings_.ConfigIP) && a->port == settings_.ConfigPort)
      continue;
    if (settings_.BroadcastTakesPref == 0) continue;
    LogStatus(kStatusAuditMsg,
              FormatString(u"New Configurator assigned via broadcast:\n\nCurrent: %s on port "
                           u"%d\nNew: %s on port %d.",
                           settings_.ConfigIP, static_cast<int32_t>(settings_.ConfigPort),
                           a->address, static_cast<int32_t>(a->port)),
              EVENTLOG_INFORMATION_TYPE, 4);
    settings_.ConfigIP = UpperAscii(a->address);
    settings_.ConfigPort = a->port;
    SaveSettings(settings_, workstation_name_, remote_);
  }
}

}  // namespace vorla
