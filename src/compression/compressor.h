// The compressor front end: one process-wide engine chosen by a four-character code (FCC):
// 0 the built-in JPEG engine, "VP80" the VP8 encoder, anything else an installed codec from the
// platform's codec registry.
//
// CMP_Initiate, CMP_Compress and CMP_Release share unlocked state and are called only from the
// capture thread. CMP_ListAvailableCodecs touches none of it and may run on any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/payload_buffer.h"
#include "common/status_codes.h"

namespace vorla {

inline constexpr uint32_t kFccVp80 = 0x30385056;   // "VP80"
inline constexpr uint32_t kFccJpeg = 0;            // the built-in JPEG engine
inline constexpr uint32_t kFrameFlagKey = 0x10;
// The type code the two built-in entries of the codec list carry ("vidc" with the first letter
// in the highest byte).
inline constexpr uint32_t kBuiltInCodecType = 0x76696463;

struct CompressorParams {
  uint32_t fcc = 0;  // on return: an installed codec's own handler code
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t bytes_per_pixel = 3;
  uint32_t frame_rate = 0;
  uint32_t quality = 0;  // 0..100, 0 for the engine's default; on return the quality in use
};

struct CodecInfo {
  uint32_t handler_fcc = 0;
  uint32_t type_fcc = 0;
  std::u16string description;
  std::u16string driver;
  std::u16string name;
};

// Releases what was open, then opens the engine for `params`. 0, or 0xC0000FD2 (for "VP80" the
// VP8 engine's status); after a failure no engine is open.
Status CMP_Initiate(CompressorParams& params);
// Compresses one frame (width x height x 3 bytes, bottom-up) into `data` (a new buffer), with
// `flags` 0x10 for a key frame. `key_frame` in: the caller asks for a key frame; out (VP8): whether
// the frame is one. 0, or a status after a report.
// `unchanged`: the caller promises that `input` holds exactly the bytes of the previous call,
// which succeeded (an idle screen). The result is the same as without the promise; the engines
// reuse what they can: VP8 its colour conversion, the JPEG engine its previous image (shared,
// not copied). Installed codecs compress as usual.
Status CMP_Compress(const uint8_t* input, uint32_t size, PayloadBuffer& data, uint32_t& flags,
                    bool& key_frame, bool unchanged = false);
void CMP_Release();
// Appends the two built-in engines, then every installed video compressor.
void CMP_ListAvailableCodecs(std::vector<CodecInfo>& list);

// The parameters in use (FCC 0 and sizes 0 when no engine is open).
CompressorParams CMP_CurrentParams();
// "MJPG" for 0, "VP80" for the VP8 code, else the four bytes lowest first.
std::u16string FccText(uint32_t fcc);

}  // namespace vorla
