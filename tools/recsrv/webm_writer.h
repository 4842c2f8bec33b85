// WebM files of VP8 segments, for browsers: one video track, clusters starting at key frames,
// cues (one cue point per key frame) so that players can seek, and a duration in the segment
// info. Written by our own EBML writer (webm_writer.cpp).
//
// What the file holds: pictures only. The caller passes the frames it could read (plain, or
// deciphered with a good digest) and reports every other frame of the stream as a gap. Since a
// VP8 inter frame cannot be decoded without the frames before it, the file skips everything after
// a gap up to the next key frame: every frame in the file decodes. A stream that never yields a
// key frame gives an unfinished file without frames (frames_written() == 0), for the caller to
// remove.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace vorla::recsrv {

struct WebmStreamInfo {
  uint16_t width = 0;
  uint16_t height = 0;
  // The nominal rate; the last frame lasts 1/frame_rate s (0: the mean frame interval).
  uint32_t frame_rate = 0;
};

// True when `frame` starts a VP8 key frame (bit 0 of the frame tag clear).
bool IsVp8KeyFrame(std::span<const uint8_t> frame);

class WebmFile {
 public:
  WebmFile();
  ~WebmFile();
  WebmFile(const WebmFile&) = delete;
  WebmFile& operator=(const WebmFile&) = delete;

  // Creates `path` and writes the headers. False (with error() set) when the file cannot be
  // created or the headers cannot be written; the object is then closed.
  bool Open(const std::string& path, const WebmStreamInfo& info);

  enum class Append { kWritten, kSkipped, kFailed };
  // Appends one VP8 frame captured at `capture_ms` (milliseconds on any clock; the first frame
  // written is time code 0 and the others follow their capture times, kept rising by at least
  // 1 ms). kSkipped: an inter frame before the first key frame or after a gap. kFailed: a write
  // failed (error() says why); every later call fails at once and the file is abandoned.
  Append Add(std::span<const uint8_t> frame, uint64_t capture_ms);
  // A frame of the stream is missing (not deciphered, failed its digest): inter frames are
  // skipped until the next key frame.
  void Gap() { waiting_for_key_ = true; }
  // Writes the cues and the duration and closes. True when every write succeeded.
  bool Close();

  bool is_open() const { return muxer_ != nullptr; }
  bool failed() const { return failed_; }
  const std::string& error() const { return error_; }
  uint64_t frames_written() const { return frames_; }
  uint64_t key_frames_written() const { return key_frames_; }
  // Capture time of time code 0 (the first frame written).
  uint64_t origin_ms() const { return origin_ms_; }

 private:
  struct Muxer;
  void Fail(const std::string& what);

  std::unique_ptr<Muxer> muxer_;
  WebmStreamInfo info_;
  bool failed_ = false;
  bool waiting_for_key_ = true;
  std::string error_;
  uint64_t frames_ = 0;
  uint64_t key_frames_ = 0;
  uint64_t origin_ms_ = 0;
  uint64_t last_ms_ = 0;  // time code of the last frame written
};

}  // namespace vorla::recsrv
