#include "config/workstation_settings.h"

#include "common/format_string.h"
#include "common/logging.h"
#include "common/status_codes.h"
#include "common/text.h"

namespace vorla {

bool WorkstationSettings::Deserialize(ByteReader& cursor, size_t& size) {
  // Into a copy, so that a record that ends early changes nothing.
  WorkstationSettings r = *this;
  const size_t start = cursor.position();
  cursor.U32(r.Version);
  cursor.Utf16z(r.SCServerIP);
  cursor.U16(r.RecordingPort);
  cursor.Utf16z(r.ConfigIP);
  cursor.U16(r.ConfigPort);
  cursor.U16(r.BroadcastPort);
  cursor.U16(r.BroadcastTakesPref);
  cursor.U32(r.SeatingType);
  cursor.U32(r.AssignedFCC);
  cursor.U16(r.Carried16);
  cursor.U32(r.ErrLogLevel);
  if (r.Version >= 2) cursor.Utf16z(r.CarriedText);
  if (r.Version >= 3) cursor.U32(r.Flags);
  if (r.Version >= 4) cursor.U32(r.Carried32A);
  if (r.Version >= 5) cursor.Utf16z(r.EncryptionPassword);
  if (r.Version >= 6) {
    cursor.Utf16z(r.BlankingText);
    cursor.Utf16z(r.LostText);
    cursor.Utf16z(r.GuidText);
    cursor.Utf16z(r.SecConfigIP);
    cursor.U32(r.HTTPPort);
    cursor.U32(r.Carried32B);
  }
  if (r.Version >= 7) cursor.Utf16z(r.HTTPSSLCert);
  if (cursor.failed()) return false;
  r.Version = kSettingsVersion;
  size = cursor.position() - start;
  *this = std::move(r);
  return true;
}

void WorkstationSettings::Serialize(ByteWriter& out) const {
  out.U32(Version);
  out.Utf16z(SCServerIP);
  out.U16(RecordingPort);
  out.Utf16z(ConfigIP);
  out.U16(ConfigPort);
  out.U16(BroadcastPort);
  out.U16(BroadcastTakesPref);
  out.U32(SeatingType);
  out.U32(AssignedFCC);
  out.U16(Carried16);
  out.U32(ErrLogLevel);
  if (Version >= 2) out.Utf16z(CarriedText);
  if (Version >= 3) out.U32(Flags);
  if (Version >= 4) out.U32(Carried32A);
  if (Version >= 5) out.Utf16z(EncryptionPassword);
  if (Version >= 6) {
    out.Utf16z(BlankingText);
    out.Utf16z(LostText);
    out.Utf16z(GuidText);
    out.Utf16z(SecConfigIP);
    out.U32(HTTPPort);
    out.U32(Carried32B);
  }
  if (Version >= 7) out.Utf16z(HTTPSSLCert);
}

void ReconcileIncoming(const WorkstationSettings& current, WorkstationSettings& incoming) {
  if (incoming.ConfigIP.empty()) {
    LogStatus(kStatusAuditMsg,
              u"New configuration data received from Configurator, but ConfigIP is zero. We'll "
              u"keep the current value.",
              EVENTLOG_WARNING_TYPE, 3);
    incoming.ConfigIP = current.ConfigIP;
  }
  if (AsciiUpper(current.ConfigIP) != AsciiUpper(incoming.ConfigIP)) {
    LogStatus(kStatusAuditMsg,
              FormatString(u"New configuration data received from Configurator. New ConfigIP [%s] "
                           u"is different from what we have now [%s]",
                           incoming.ConfigIP, current.ConfigIP),
              EVENTLOG_WARNING_TYPE, 3);
  }
  if (current.BroadcastTakesPref == 0) incoming.BroadcastTakesPref = 0;
  if (!current.SecConfigIP.empty()) incoming.SecConfigIP = current.SecConfigIP;
  if (incoming.HTTPPort == 0) incoming.HTTPPort = current.HTTPPort;
}

}  // namespace vorla
