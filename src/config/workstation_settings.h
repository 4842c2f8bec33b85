// WorkstationSettings: the record that says how a workstation is wired into the system, its
// serialised form (as carried in Configurator messages) and the reconciliation of a record that
// arrives from the Configurator with the current one.
//
// Serialised form, little-endian, no gaps; strings are UTF-16LE followed by a 16-bit zero. A field
// marked "vN" is present only when the record's Version is N or higher:
//   Version u32 | SCServerIP str | RecordingPort u16 | ConfigIP str | ConfigPort u16 |
//   BroadcastPort u16 | BroadcastTakesPref u16 | SeatingType u32 | AssignedFCC u32 |
//   Carried16 u16 | ErrLogLevel u32 | v2: CarriedText str | v3: Flags u32 | v4: Carried32A u32 |
//   v5: EncryptionPassword str | v6: BlankingText str, LostText str, GuidText str,
//   SecConfigIP str, HTTPPort u32, Carried32B u32 | v7: HTTPSSLCert str
// Versions above 7 are read with the fields of version 7 (nothing after them is known).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/byte_reader.h"
#include "common/byte_writer.h"

namespace vorla {

// Flags bits.
inline constexpr uint32_t kFlagCaptureWhileDesktopLost = 0x0001;
inline constexpr uint32_t kFlagSixteenDisplays = 0x0008;
inline constexpr uint32_t kFlagClearRecordingServer = 0x0010;
inline constexpr uint32_t kFlagUserPrincipalName = 0x0020;
inline constexpr uint32_t kFlagDesktopIcon = 0x0040;
inline constexpr uint32_t kFlagHttpCrossOrigin = 0x0080;
inline constexpr uint32_t kFlagHighAvailability = 0x0100;
inline constexpr uint32_t kFlagParallelExternalStart = 0x0200;
inline constexpr uint32_t kFlagRulesDisabled = 0x1000;

inline constexpr uint32_t kSettingsVersion = 7;
inline constexpr uint32_t kFourCcVp80 = 0x30385056;  // "VP80"

struct WorkstationSettings {
  uint32_t Version = kSettingsVersion;
  std::u16string SCServerIP;
  uint16_t RecordingPort = 4488;
  std::u16string ConfigIP;
  uint16_t ConfigPort = 4489;
  uint16_t BroadcastPort = 4490;
  uint16_t BroadcastTakesPref = 1;
  uint32_t SeatingType = 2;
  uint32_t AssignedFCC = kFourCcVp80;
  uint16_t Carried16 = 0;
  uint32_t ErrLogLevel = 1;
  std::u16string CarriedText;
  uint32_t Flags = 0;
  uint32_t Carried32A = 0;
  std::u16string EncryptionPassword;
  std::u16string BlankingText;
  std::u16string LostText;
  std::u16string GuidText = u"{10000000-0000-0000-0000-000000000000}";
  std::u16string SecConfigIP;
  uint32_t HTTPPort = 4483;
  uint32_t Carried32B = 0;
  std::u16string HTTPSSLCert;

  bool operator==(const WorkstationSettings&) const = default;

  // Reads one record from the cursor, which ends up past it. Fields absent from an older record
  // keep the values this record had; afterwards Version is 7. Returns false, leaving this record
  // unchanged, when the record ends early (a number cut short, a string without its terminator);
  // the cursor is then failed. Never reads past the cursor's bytes and allocates no more than
  // they hold. `size` receives the bytes the record occupies.
  bool Deserialize(ByteReader& cursor, size_t& size);

  // Appends the record in the layout of its own Version (a record that was read is version 7;
  // set Version first to write an older layout for an older peer).
  void Serialize(ByteWriter& out) const;
};

// Applied to a record just received from the Configurator before it replaces the current one:
// keeps the current ConfigIP when the incoming one is empty (and reports that), reports a changed
// ConfigIP, keeps a local BroadcastTakesPref of 0, a local SecConfigIP and (for an incoming 0)
// the local HTTPPort.
void ReconcileIncoming(const WorkstationSettings& current, WorkstationSettings& incoming);

}  // namespace vorla
