// The records exchanged with the recording server, with their writers and bounds-checked readers
// (pure functions over bytes). Layout: little-endian fields back to back, strings as UTF-16LE
// plus a 16-bit zero, lists as a 32-bit count and the strings, a leading presence field that the
// workstation writes as 1.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/byte_reader.h"
#include "common/byte_writer.h"

namespace vorla {

struct RegistrationRecord {
  uint32_t presence = 1;
  std::u16string workstation_name;
  uint32_t workstation_address = 0;  // IPv4, network order

  bool operator==(const RegistrationRecord&) const = default;
};

struct SessionRecord {
  uint32_t presence = 1;
  std::u16string session_id;
  std::u16string workstation_name;
  uint32_t workstation_address = 0;
  std::u16string server_text1;
  std::u16string server_text2;
  std::u16string server_text3;
  std::u16string user_name;
  uint32_t seating_type = 0;
  uint64_t start_time = 0;  // milliseconds since 1970
  uint64_t end_time = 0;
  uint32_t session_flags = 0;  // 0x40: frames of this session are enciphered
  std::vector<std::u16string> server_texts;

  bool operator==(const SessionRecord&) const = default;
};
inline constexpr uint32_t kSessionFlagFramesEnciphered = 0x40;

struct SegmentRecord {
  uint32_t presence = 1;
  std::u16string segment_id;
  uint64_t start_time = 0;
  uint64_t end_time = 0;
  uint32_t frame_rate = 0;
  int32_t x = 0, y = 0, width = 0, height = 0;
  uint32_t codec_fcc = 0;
  uint32_t quality = 0;
  uint32_t reserved1 = 0;
  uint32_t reserved2 = 0;
  std::u16string segment_text1;
  std::u16string segment_text2;

  bool operator==(const SegmentRecord&) const = default;
};

struct EventRecord {
  uint32_t presence = 1;
  std::u16string event_id;
  uint32_t rule_reference = 0;
  uint64_t start_time = 0;
  uint64_t end_time = 0;
  uint64_t recorded_bytes = 0;
  uint32_t reserved1 = 0;
  uint32_t reserved2 = 0;
  std::vector<std::u16string> event_texts;

  bool operator==(const EventRecord&) const = default;
};

// The first part of a segment-data message: always 80 bytes.
struct FrameHeader {
  uint64_t capture_time = 0;  // milliseconds since 1970
  uint32_t codec_fcc = 0;
  uint32_t quality = 0;
  uint32_t frame_flags = 0;  // 1 key frame, 4 digest valid, 8 data enciphered
  uint32_t data_length = 0;
  int32_t x = 0, y = 0, width = 0, height = 0;
  std::array<uint8_t, 8> digest{};  // first 8 bytes of the MD5 of the frame before enciphering

  bool operator==(const FrameHeader&) const = default;
};
inline constexpr size_t kFrameHeaderSize = 80;
inline constexpr uint32_t kFrameFlagKeyFrame = 0x1;
inline constexpr uint32_t kFrameFlagDigestValid = 0x4;
inline constexpr uint32_t kFrameFlagEnciphered = 0x8;

// Fixed parts (strings and lists add their own sizes).
inline constexpr size_t kSessionRecordFixedSize = 36;
inline constexpr size_t kSegmentRecordFixedSize = 56;
inline constexpr size_t kEventRecordFixedSize = 44;

// Writers: the record exactly as laid out, presence written as 1.
void WriteRecord(ByteWriter& out, const RegistrationRecord& r);
void WriteRecord(ByteWriter& out, const SessionRecord& r);
void WriteRecord(ByteWriter& out, const SegmentRecord& r);
void WriteRecord(ByteWriter& out, const EventRecord& r);
std::array<uint8_t, kFrameHeaderSize> WriteFrameHeader(const FrameHeader& h);

// Exact written sizes.
size_t RecordSize(const RegistrationRecord& r);
size_t RecordSize(const SessionRecord& r);
size_t RecordSize(const SegmentRecord& r);
size_t RecordSize(const EventRecord& r);

// Readers: true when the record was read completely, or when its presence field is 0 (then only
// `presence` is set and nothing more is read). False, `r` untouched, when the record runs past
// the end of `in` (a string without its zero, a record shorter than its fixed part, a list
// longer than the bytes could hold).
bool ReadRecord(ByteReader& in, RegistrationRecord& r);
bool ReadRecord(ByteReader& in, SessionRecord& r);
bool ReadRecord(ByteReader& in, SegmentRecord& r);
bool ReadRecord(ByteReader& in, EventRecord& r);
bool ReadFrameHeader(std::span<const uint8_t> in, FrameHeader& h);

}  // namespace vorla
