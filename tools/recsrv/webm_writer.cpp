#include "webm_writer.h"

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace vorla::recsrv {

// The file is written as it comes: the EBML header; the segment (its size patched at the end);
// a seek head reserved in front of everything else and filled in at the end (players find the
// cues through it); the segment info (time codes in milliseconds; the duration patched at the
// end); one VP8 video track; the clusters, each held in memory until the next one starts (at a
// key frame, when its relative time codes would no longer fit 16 bits, or beyond 8 MiB); and the cues, one
// cue point per cluster that starts with a key frame.
namespace {

// Element ids, with their length marker bits, as they appear in the file.
constexpr uint32_t kEbml = 0x1A45DFA3, kEbmlVersion = 0x4286, kEbmlReadVersion = 0x42F7,
                   kEbmlMaxIdLength = 0x42F2, kEbmlMaxSizeLength = 0x42F3, kDocType = 0x4282,
                   kDocTypeVersion = 0x4287, kDocTypeReadVersion = 0x4285;
constexpr uint32_t kSegment = 0x18538067, kSeekHead = 0x114D9B74, kSeek = 0x4DBB,
                   kSeekId = 0x53AB, kSeekPosition = 0x53AC, kVoid = 0xEC;
constexpr uint32_t kInfo = 0x1549A966, kTimecodeScale = 0x2AD7B1, kDuration = 0x4489,
                   kMuxingApp = 0x4D80, kWritingApp = 0x5741;
constexpr uint32_t kTracks = 0x1654AE6B, kTrackEntry = 0xAE, kTrackNumber = 0xD7,
                   kTrackUid = 0x73C5, kTrackType = 0x83, kFlagLacing = 0x9C, kCodecId = 0x86,
                   kDefaultDuration = 0x23E383, kVideo = 0xE0, kPixelWidth = 0xB0,
                   kPixelHeight = 0xBA;
constexpr uint32_t kCluster = 0x1F43B675, kTimecode = 0xE7, kSimpleBlock = 0xA3;
constexpr uint32_t kCues = 0x1C53BB6B, kCuePoint = 0xBB, kCueTime = 0xB3,
                   kCueTrackPositions = 0xB7, kCueTrack = 0xF7, kCueClusterPosition = 0xF1;

constexpr uint64_t kNsPerMs = 1000000;
constexpr int64_t kMaxBlockOffsetMs = 32767;  // a block's time code is 16 bits, signed
constexpr size_t kClusterBytes = 8 << 20;      // what a cluster may hold in memory
// The seek head's room: three entries of at most 20 bytes each, in a fixed reservation that a
// void element fills up.
constexpr size_t kSeekHeadRoom = 96;

// Big-endian EBML bytes.
class Ebml {
 public:
  std::vector<uint8_t>& bytes() { return bytes_; }
  size_t size() const { return bytes_.size(); }

  void Id(uint32_t id) {
    int n = id > 0xFFFFFF ? 4 : id > 0xFFFF ? 3 : id > 0xFF ? 2 : 1;
    while (n-- > 0) bytes_.push_back(static_cast<uint8_t>(id >> (8 * n)));
  }
  // The shortest size field for `size` (all ones in a length is reserved for "unknown").
  void Size(uint64_t size) {
    int n = 1;
    while (n < 8 && size >= (uint64_t{1} << (7 * n)) - 1) ++n;
    SizeIn(size, n);
  }
  void SizeIn(uint64_t size, int n) {
    const uint64_t v = size | (uint64_t{1} << (7 * n));
    for (int i = n - 1; i >= 0; --i) bytes_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  void Uint(uint32_t id, uint64_t value) {
    int n = 1;
    while (n < 8 && (value >> (8 * n)) != 0) ++n;
    Id(id);
    Size(static_cast<uint64_t>(n));
    for (int i = n - 1; i >= 0; --i) bytes_.push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
  void Float(uint32_t id, double value) {
    Id(id);
    Size(8);
    Raw64(std::bit_cast<uint64_t>(value));
  }
  void String(uint32_t id, const std::string& text) {
    Id(id);
    Size(text.size());
    bytes_.insert(bytes_.end(), text.begin(), text.end());
  }
  void Binary(uint32_t id, const std::vector<uint8_t>& data) {
    Id(id);
    Size(data.size());
    bytes_.insert(bytes_.end(), data.begin(), data.end());
  }
  void Master(uint32_t id, Ebml& body) {
    Id(id);
    Size(body.size());
    bytes_.insert(bytes_.end(), body.bytes_.begin(), body.bytes_.end());
  }
  void Raw64(uint64_t v) {
    for (int i = 7; i >= 0; --i) bytes_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }

 private:
  std::vector<uint8_t> bytes_;
};

std::vector<uint8_t> IdBytes(uint32_t id) {
  Ebml e;
  e.Id(id);
  return e.bytes();
}

}  // namespace

struct WebmFile::Muxer {
  std::FILE* file = nullptr;
  std::string io_error;
  uint64_t segment_start = 0;  // file offset of the segment's first data byte
  uint64_t seek_head_at = 0;   // file offset of the seek head's reservation
  uint64_t info_at = 0;        // segment offsets of the info and the tracks
  uint64_t tracks_at = 0;
  uint64_t duration_at = 0;    // file offset of the duration's 8 bytes
  Ebml cluster;                // the cluster's body being gathered
  bool cluster_open = false;
  bool cluster_keyed = false;  // it starts with a key frame
  uint64_t cluster_time = 0;
  struct Cue {
    uint64_t time;
    uint64_t position;  // segment offset of its cluster
  };
  std::vector<Cue> cues;

  ~Muxer() {
    if (file != nullptr) std::fclose(file);
  }
  void Note(const char* what) {
    if (io_error.empty()) io_error = std::string(what) + ": " + std::strerror(errno ? errno : EIO);
  }
  bool Write(const std::vector<uint8_t>& bytes) {
    if (!io_error.empty()) return false;
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
      Note("write failed");
      return false;
    }
    return true;
  }
  uint64_t Offset() const { return static_cast<uint64_t>(ftello(file)); }
  bool WriteAt(uint64_t offset, const std::vector<uint8_t>& bytes) {
    if (!io_error.empty()) return false;
    if (fseeko(file, static_cast<off_t>(offset), SEEK_SET) != 0) {
      Note("seek failed");
      return false;
    }
    return Write(bytes) && fseeko(file, 0, SEEK_END) == 0;
  }
  // Writes the gathered cluster, if any, and remembers its cue.
  bool FlushCluster() {
    if (!cluster_open) return true;
    const uint64_t position = Offset() - segment_start;
    Ebml e;
    e.Master(kCluster, cluster);
    if (!Write(e.bytes())) return false;
    if (cluster_keyed) cues.push_back({cluster_time, position});
    cluster = Ebml();
    cluster_open = false;
    return true;
  }
};

bool IsVp8KeyFrame(std::span<const uint8_t> frame) {
  return !frame.empty() && (frame[0] & 1) == 0;
}

WebmFile::WebmFile() = default;

WebmFile::~WebmFile() { Close(); }

void WebmFile::Fail(const std::string& what) {
  failed_ = true;
  if (error_.empty()) {
    error_ = what;
    if (muxer_ && !muxer_->io_error.empty()) error_ += " (" + muxer_->io_error + ")";
  }
}

bool WebmFile::Open(const std::string& path, const WebmStreamInfo& info) {
  Close();
  info_ = info;
  failed_ = false;
  error_.clear();
  waiting_for_key_ = true;
  frames_ = key_frames_ = origin_ms_ = last_ms_ = 0;
  auto m = std::make_unique<Muxer>();
  m->file = std::fopen(path.c_str(), "wb");
  if (m->file == nullptr) {
    m->Note("cannot create the file");
    error_ = m->io_error;
    failed_ = true;
    return false;
  }
  muxer_ = std::move(m);
  Muxer& x = *muxer_;

  Ebml head, header;
  header.Uint(kEbmlVersion, 1);
  header.Uint(kEbmlReadVersion, 1);
  header.Uint(kEbmlMaxIdLength, 4);
  header.Uint(kEbmlMaxSizeLength, 8);
  header.String(kDocType, "webm");
  header.Uint(kDocTypeVersion, 2);
  header.Uint(kDocTypeReadVersion, 2);
  head.Master(kEbml, header);
  head.Id(kSegment);
  head.SizeIn(0, 8);  // patched by Close
  if (!x.Write(head.bytes())) {
    Fail("cannot write the WebM header");
    return false;
  }
  x.segment_start = x.Offset();

  x.seek_head_at = x.Offset();
  Ebml room;
  room.Id(kVoid);
  room.SizeIn(kSeekHeadRoom - 9, 8);
  room.bytes().resize(kSeekHeadRoom, 0);

  Ebml info_body, info_element;
  info_body.Uint(kTimecodeScale, kNsPerMs);
  const size_t duration_in_info = info_body.size();
  info_body.Float(kDuration, 0.0);  // patched by Close
  info_body.String(kMuxingApp, "vorla-recsrv");
  info_body.String(kWritingApp, "vorla-recsrv");
  info_element.Master(kInfo, info_body);
  x.info_at = kSeekHeadRoom;
  // The duration's value: after the info's id and size, the duration's id (2) and size (1).
  x.duration_at =
      x.segment_start + kSeekHeadRoom + (info_element.size() - info_body.size()) +
      duration_in_info + 3;

  Ebml video, entry, tracks;
  video.Uint(kPixelWidth, info.width);
  video.Uint(kPixelHeight, info.height);
  entry.Uint(kTrackNumber, 1);
  entry.Uint(kTrackUid, 1);
  entry.Uint(kTrackType, 1);  // video
  entry.Uint(kFlagLacing, 0);
  entry.String(kCodecId, "V_VP8");
  if (info.frame_rate > 0) entry.Uint(kDefaultDuration, 1000000000ull / info.frame_rate);
  entry.Master(kVideo, video);
  tracks.Master(kTrackEntry, entry);
  Ebml tracks_element;
  tracks_element.Master(kTracks, tracks);
  x.tracks_at = x.info_at + info_element.size();

  if (!x.Write(room.bytes()) || !x.Write(info_element.bytes()) ||
      !x.Write(tracks_element.bytes())) {
    Fail("cannot write the WebM headers");
    return false;
  }
  return true;
}

WebmFile::Append WebmFile::Add(std::span<const uint8_t> frame, uint64_t capture_ms) {
  if (!muxer_ || failed_) return Append::kFailed;
  const bool key = IsVp8KeyFrame(frame);
  if (waiting_for_key_ && !key) return Append::kSkipped;
  uint64_t t = 0;
  if (frames_ == 0) {
    origin_ms_ = capture_ms;
  } else {
    t = capture_ms > origin_ms_ ? capture_ms - origin_ms_ : 0;
    if (t <= last_ms_) t = last_ms_ + 1;
  }
  Muxer& x = *muxer_;
  if (x.cluster_open && (key || t - x.cluster_time > static_cast<uint64_t>(kMaxBlockOffsetMs) ||
                         x.cluster.size() > kClusterBytes)) {
    if (!x.FlushCluster()) {
      Fail("cannot write a cluster");
      return Append::kFailed;
    }
  }
  if (!x.cluster_open) {
    x.cluster_open = true;
    x.cluster_keyed = key;
    x.cluster_time = t;
    x.cluster.Uint(kTimecode, t);
  }
  const auto offset = static_cast<int16_t>(t - x.cluster_time);
  x.cluster.Id(kSimpleBlock);
  x.cluster.Size(4 + frame.size());
  std::vector<uint8_t>& b = x.cluster.bytes();
  b.push_back(0x81);  // track 1
  b.push_back(static_cast<uint8_t>(static_cast<uint16_t>(offset) >> 8));
  b.push_back(static_cast<uint8_t>(static_cast<uint16_t>(offset)));
  b.push_back(key ? 0x80 : 0x00);
  b.insert(b.end(), frame.begin(), frame.end());
  waiting_for_key_ = false;
  last_ms_ = t;
  ++frames_;
  if (key) ++key_frames_;
  return Append::kWritten;
}

bool WebmFile::Close() {
  if (!muxer_) return !failed_;
  Muxer& x = *muxer_;
  if (!failed_) {
    bool ok = x.FlushCluster();
    const uint64_t cues_at = x.Offset() - x.segment_start;
    Ebml cues;
    for (const Muxer::Cue& c : x.cues) {
      Ebml position, point;
      position.Uint(kCueTrack, 1);
      position.Uint(kCueClusterPosition, c.position);
      point.Uint(kCueTime, c.time);
      point.Master(kCueTrackPositions, position);
      cues.Master(kCuePoint, point);
    }
    Ebml cues_element;
    if (!x.cues.empty()) cues_element.Master(kCues, cues);
    ok = ok && x.Write(cues_element.bytes());
    const uint64_t end = x.Offset();

    // The last frame shows for one frame interval.
    double last = 1;
    if (info_.frame_rate > 0) {
      last = 1000.0 / info_.frame_rate;
    } else if (frames_ > 1) {
      last = static_cast<double>(last_ms_) / static_cast<double>(frames_ - 1);
    }
    Ebml duration;
    duration.Raw64(std::bit_cast<uint64_t>(frames_ ? static_cast<double>(last_ms_) + last : 0.0));
    Ebml segment_size;
    segment_size.SizeIn(end - x.segment_start, 8);

    Ebml seeks;
    auto seek = [&](uint32_t id, uint64_t at) {
      Ebml s;
      s.Binary(kSeekId, IdBytes(id));
      s.Uint(kSeekPosition, at);
      seeks.Master(kSeek, s);
    };
    seek(kInfo, x.info_at);
    seek(kTracks, x.tracks_at);
    if (!x.cues.empty()) seek(kCues, cues_at);
    Ebml seek_head;
    seek_head.Master(kSeekHead, seeks);
    // The rest of the reservation stays a void element (its id and size field take 9 bytes).
    const size_t rest = kSeekHeadRoom - seek_head.size() - 9;
    seek_head.Id(kVoid);
    seek_head.SizeIn(rest, 8);
    seek_head.bytes().resize(kSeekHeadRoom, 0);

    ok = ok && x.WriteAt(x.duration_at, duration.bytes()) &&
         x.WriteAt(x.segment_start - 8, segment_size.bytes()) &&
         x.WriteAt(x.seek_head_at, seek_head.bytes());
    if (!ok) Fail(x.io_error.empty() ? "cannot finish the WebM file" : "cannot write the WebM file");
  }
  if (std::fflush(x.file) != 0) x.Note("write failed");
  if (std::fclose(x.file) != 0) x.Note("close failed");
  x.file = nullptr;
  if (!x.io_error.empty()) Fail("cannot write the WebM file");
  muxer_.reset();
  return !failed_;
}

}  // namespace vorla::recsrv
