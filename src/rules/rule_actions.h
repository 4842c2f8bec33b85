// The four rule actions. What the controller does with each lives with the controller's rules
// step; here are only their fields, binary bodies and descriptions.
#pragma once

#include <cstdint>

#include "rules/action_base.h"

namespace vorla {

// Body: the nine 32-bit values below, in this order (36 bytes). x, y and the duration are
// signed; the rest unsigned, as the capture request compares them.
class ActionRecord final : public ActionBase {
 public:
  ActionRecord() : ActionBase(kActionTypeRecord) {}

  bool Write(ByteWriter* out, size_t& size) const override;
  bool Read(ByteReader& in) override;
  // "Record@%dips@%s" with images per second and the codec text (the FourCC's bytes, lowest
  // first, up to the first zero; "MJPG" for 0).
  std::u16string Describe() const override;

  int32_t x = 0;
  int32_t y = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t images_per_second = 1;
  uint32_t codec_fourcc = 0;
  uint32_t quality = 60;
  uint32_t carried_value = 25;    // read and written, not interpreted
  int32_t duration_seconds = -1;  // -1: no limit
};

// Releases one recording request. Empty body. "StopRecording".
class ActionStopRecord final : public ActionBase {
 public:
  ActionStopRecord() : ActionBase(kActionTypeStopRecord) {}
  bool Write(ByteWriter* out, size_t& size) const override;
  bool Read(ByteReader& in) override;
  std::u16string Describe() const override;
};

// Adds one blank request. Empty body. "Blank".
class ActionBlank final : public ActionBase {
 public:
  ActionBlank() : ActionBase(kActionTypeBlank) {}
  bool Write(ByteWriter* out, size_t& size) const override;
  bool Read(ByteReader& in) override;
  std::u16string Describe() const override;
};

// Withdraws one blank request. Empty body. "UnBlank".
class ActionUnBlank final : public ActionBase {
 public:
  ActionUnBlank() : ActionBase(kActionTypeUnBlank) {}
  bool Write(ByteWriter* out, size_t& size) const override;
  bool Read(ByteReader& in) override;
  std::u16string Describe() const override;
};

}  // namespace vorla
