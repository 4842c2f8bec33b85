// The VP8 engine: one process-wide libvpx VP8 encoder, tuned for screen content in real time,
// fed with 24-bit composite frames (red first, rows bottom-up). Its messages call it "VP9".
//
// Single instance, no lock: only the capture thread calls it (through the compressor front end).
#pragma once

#include <cstdint>
#include <string>

#include "common/payload_buffer.h"
#include "common/status_codes.h"

namespace vorla {

// Makes the encoder for width x height (even numbers). 0, or 0xC0000FD2 after a report; on
// failure nothing stays allocated.
Status Vp8Init(uint32_t width, uint32_t height);
// Encodes width x height x 3 bytes. `key` in: force a key frame; out: whether the frame is one.
// On success `data` holds the one compressed frame (a new buffer). 0, or 0xC0000FD1.
// `unchanged`: the caller promises `input` holds the same bytes as at the previous call, whose
// colour conversion is then reused.
Status Vp8Encode(const uint8_t* input, PayloadBuffer& data, bool& key, bool unchanged = false);
// The detail of the last libvpx error; empty when there is none.
std::u16string Vp8ErrorText();
// Frees the encoder, its image and output buffer. Idempotent.
void Vp8Release();

// Test support: the time stamp (ms since the first frame) of the last frame encoded, and a reset
// of the first-frame time (which otherwise lives as long as the process).
int64_t Vp8LastTimeStampForTesting();
void Vp8ResetFirstFrameTimeForTesting();

}  // namespace vorla
