// The WebM writer, read back with libwebm's parser (a reader independent of the muxer that wrote
// the file) and decoded with libvpx: frames, key frames, time codes, cues, duration; gaps skip to
// the next key frame; a writer that cannot write says so.
#include <gtest/gtest.h>
#include <webm/callback.h>
#include <webm/file_reader.h>
#include <webm/webm_parser.h>

#include <cstdio>
#include <filesystem>
#include <optional>

#include "compression/compressor.h"
#include "support/ivf_decoder.h"
#include "support/temp_dir.h"
#include "webm_writer.h"

namespace vorla::recsrv {
namespace {

constexpr int kWidth = 64, kHeight = 48;

// VP8 frames of a changing picture; key frames where `keys` says so.
std::vector<std::vector<uint8_t>> EncodeFrames(const std::vector<bool>& keys) {
  CompressorParams p{kFccVp80, kWidth, kHeight, 3, 5, 0};
  EXPECT_EQ(CMP_Initiate(p), 0u);
  std::vector<std::vector<uint8_t>> frames;
  for (size_t i = 0; i < keys.size(); ++i) {
    std::vector<uint8_t> image(kWidth * kHeight * 3);
    for (size_t k = 0; k < image.size(); ++k) image[k] = static_cast<uint8_t>(k * 5 + i * 33);
    PayloadBuffer data;
    uint32_t flags = 0;
    bool key = keys[i];
    EXPECT_EQ(CMP_Compress(image.data(), static_cast<uint32_t>(image.size()), data, flags, key),
              0u);
    frames.emplace_back(data.data(), data.data() + data.size());
    EXPECT_EQ(IsVp8KeyFrame(frames.back()), keys[i]) << i;
  }
  CMP_Release();
  return frames;
}

// What a player finds in the file.
struct Parsed : webm::Callback {
  std::string codec;
  uint64_t width = 0, height = 0;
  std::optional<double> duration;
  uint64_t timecode_scale = 0;
  std::vector<uint64_t> times;  // per frame, cluster time code + block time code
  std::vector<bool> keys;
  std::vector<std::vector<uint8_t>> frames;
  std::vector<uint64_t> cue_times;
  uint64_t cluster_time = 0;

  webm::Status OnInfo(const webm::ElementMetadata&, const webm::Info& info) override {
    timecode_scale = info.timecode_scale.value();
    if (info.duration.is_present()) duration = info.duration.value();
    return webm::Status(webm::Status::kOkCompleted);
  }
  webm::Status OnTrackEntry(const webm::ElementMetadata&, const webm::TrackEntry& t) override {
    codec = t.codec_id.value();
    width = t.video.value().pixel_width.value();
    height = t.video.value().pixel_height.value();
    return webm::Status(webm::Status::kOkCompleted);
  }
  webm::Status OnClusterBegin(const webm::ElementMetadata&, const webm::Cluster& c,
                              webm::Action* action) override {
    cluster_time = c.timecode.value();
    *action = webm::Action::kRead;
    return webm::Status(webm::Status::kOkCompleted);
  }
  webm::Status OnSimpleBlockBegin(const webm::ElementMetadata&, const webm::SimpleBlock& b,
                                  webm::Action* action) override {
    times.push_back(cluster_time + static_cast<uint64_t>(b.timecode));
    keys.push_back(b.is_key_frame);
    *action = webm::Action::kRead;
    return webm::Status(webm::Status::kOkCompleted);
  }
  webm::Status OnFrame(const webm::FrameMetadata&, webm::Reader* reader,
                       uint64_t* remaining) override {
    std::vector<uint8_t> bytes(*remaining);
    size_t at = 0;
    while (*remaining > 0) {
      uint64_t got = 0;
      const webm::Status s = reader->Read(static_cast<size_t>(*remaining), bytes.data() + at, &got);
      at += got;
      *remaining -= got;
      if (!s.completed_ok() && s.code != webm::Status::kOkPartial) return s;
    }
    frames.push_back(std::move(bytes));
    return webm::Status(webm::Status::kOkCompleted);
  }
  webm::Status OnCuePoint(const webm::ElementMetadata&, const webm::CuePoint& c) override {
    cue_times.push_back(c.time.value());
    return webm::Status(webm::Status::kOkCompleted);
  }
};

std::optional<Parsed> Parse(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return std::nullopt;
  webm::FileReader reader(f);  // closes the file
  webm::WebmParser parser;
  Parsed parsed;
  if (!parser.Feed(&parsed, &reader).completed_ok()) return std::nullopt;
  return parsed;
}

TEST(WebmFileTest, HoldsEveryFrameWithItsCaptureTimeKeyFramesCuesAndDuration) {
  test::ScopedTempDir dir;
  const std::string path = dir.Sub("segment.webm");
  const std::vector<bool> keys = {true, false, false, false, false, false,
                                  true, false, false, false, false, false};
  const auto frames = EncodeFrames(keys);
  // Irregular capture times; one repeats the time before it (it is moved on by 1 ms).
  const std::vector<uint64_t> capture = {5000, 5200, 5400, 5650, 5800, 5800,
                                         6000, 6210, 6400, 6600, 6800, 7000};
  const std::vector<uint64_t> expected = {0, 200, 400, 650, 800, 801,
                                          1000, 1210, 1400, 1600, 1800, 2000};
  WebmFile w;
  ASSERT_TRUE(w.Open(path, {kWidth, kHeight, 5})) << w.error();
  for (size_t i = 0; i < frames.size(); ++i)
    ASSERT_EQ(w.Add(frames[i], capture[i]), WebmFile::Append::kWritten) << i;
  EXPECT_TRUE(w.Close()) << w.error();
  EXPECT_EQ(w.frames_written(), frames.size());
  EXPECT_EQ(w.key_frames_written(), 2u);
  EXPECT_EQ(w.origin_ms(), 5000u);

  const auto p = Parse(path);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->codec, "V_VP8");
  EXPECT_EQ(p->width, static_cast<uint64_t>(kWidth));
  EXPECT_EQ(p->height, static_cast<uint64_t>(kHeight));
  EXPECT_EQ(p->timecode_scale, 1000000u);  // time codes in milliseconds
  EXPECT_EQ(p->times, expected);
  EXPECT_EQ(p->keys, keys);
  EXPECT_EQ(p->frames, frames) << "the frames' bytes as given";
  // One cue point per key frame, at its time: a player seeks to the key frame before a time.
  EXPECT_EQ(p->cue_times, (std::vector<uint64_t>{0, 1000}));
  ASSERT_TRUE(p->duration);
  EXPECT_DOUBLE_EQ(*p->duration, 2000.0 + 200.0) << "the last frame lasts one frame interval";

  std::vector<test::DecodedFrame> decoded;
  std::string error;
  ASSERT_TRUE(test::DecodeVp8Frames(p->frames, decoded, &error)) << error;
  EXPECT_EQ(decoded.size(), frames.size());
}

TEST(WebmFileTest, InterFramesAfterAGapOrBeforeTheFirstKeyFrameAreLeftOut) {
  using A = WebmFile::Append;
  struct Step {
    bool key;
    bool gap_before;  // the frame before this one was no picture
    A result;
  };
  const std::vector<Step> steps = {
      {false, false, A::kSkipped},  // no key frame yet
      {true, false, A::kWritten},   {false, false, A::kWritten}, {false, true, A::kSkipped},
      {false, false, A::kSkipped},  {true, false, A::kWritten},  {false, false, A::kWritten},
      {true, true, A::kWritten},    // a key frame right after a gap decodes
  };
  // The encoder starts with a key frame: the leading inter frame is a copy of a later one.
  std::vector<bool> keys;
  for (size_t i = 1; i < steps.size(); ++i) keys.push_back(steps[i].key);
  auto frames = EncodeFrames(keys);
  frames.insert(frames.begin(), frames[1]);
  test::ScopedTempDir dir;
  const std::string path = dir.Sub("gaps.webm");
  WebmFile w;
  ASSERT_TRUE(w.Open(path, {kWidth, kHeight, 0}));
  size_t written = 0;
  for (size_t i = 0; i < steps.size(); ++i) {
    SCOPED_TRACE(i);
    if (steps[i].gap_before) w.Gap();
    EXPECT_EQ(w.Add(frames[i], 1000 + 100 * i), steps[i].result);
    if (steps[i].result == A::kWritten) ++written;
  }
  ASSERT_TRUE(w.Close());
  EXPECT_EQ(w.frames_written(), written);
  EXPECT_EQ(w.origin_ms(), 1100u) << "time code 0 is the first frame written";
  const auto p = Parse(path);
  ASSERT_TRUE(p);
  ASSERT_EQ(p->frames.size(), written);
  EXPECT_EQ(p->times, (std::vector<uint64_t>{0, 100, 400, 500, 600}));
  // Without a frame rate the last frame lasts the mean interval.
  ASSERT_TRUE(p->duration);
  EXPECT_DOUBLE_EQ(*p->duration, 600.0 + 150.0);
  std::vector<test::DecodedFrame> decoded;
  std::string error;
  EXPECT_TRUE(test::DecodeVp8Frames(p->frames, decoded, &error)) << error;
}

TEST(WebmFileTest, AWriterThatCannotWriteSaysSoAndStopsWriting) {
  const auto frames = EncodeFrames({true, false, false});
  {
    SCOPED_TRACE("the folder is gone");
    test::ScopedTempDir dir;
    WebmFile w;
    EXPECT_FALSE(w.Open(dir.Sub("removed/segment.webm"), {kWidth, kHeight, 5}));
    EXPECT_TRUE(w.failed());
    EXPECT_NE(w.error().find("No such file or directory"), std::string::npos) << w.error();
    EXPECT_EQ(w.Add(frames[0], 0), WebmFile::Append::kFailed);
    EXPECT_FALSE(w.Close());
  }
  {
    SCOPED_TRACE("the disk is full");
    WebmFile w;
    ASSERT_TRUE(w.Open("/dev/full", {kWidth, kHeight, 5}));
    // The stdio buffer takes the first writes; the failure shows by the time the file closes.
    std::vector<uint8_t> big(300000, 0x10);
    big[0] = 0x10;  // an inter frame tag, after the key frame
    WebmFile::Append last = w.Add(frames[0], 0);
    for (int i = 1; i < 4 && last != WebmFile::Append::kFailed; ++i)
      last = w.Add(big, static_cast<uint64_t>(i) * 200);
    EXPECT_FALSE(w.Close());
    EXPECT_TRUE(w.failed());
    EXPECT_NE(w.error().find("No space left on device"), std::string::npos) << w.error();
    EXPECT_EQ(w.Add(frames[1], 1000), WebmFile::Append::kFailed) << "closed for good";
  }
}

}  // namespace
}  // namespace vorla::recsrv
