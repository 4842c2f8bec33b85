// vorla-recsrv as a program: a scripted workstation built from the network library opens a
// session and a segment, sends real VP8 frames enciphered with a password and with digests, and
// closes everything; the IVF file must decode frame by frame and the index must count right.
#include <gtest/gtest.h>
#include <signal.h>
#include <vpx/vp8dx.h>
#include <vpx/vpx_decoder.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "common/byte_reader.h"
#include "compression/compressor.h"
#include "net/wssvrapi.h"
#include "platform/sockets.h"
#include "security/hc128.h"
#include "security/security_server.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vorla {
namespace {

constexpr int kWidth = 64, kHeight = 48;
constexpr uint32_t kLoopback = 0x0100007F;

// The number after "name": in the first object of `json` that holds it after `from`.
int64_t Field(const std::string& json, const std::string& name, size_t from = 0) {
  const std::string key = "\"" + name + "\": ";
  const size_t at = json.find(key, from);
  if (at == std::string::npos) return -1;
  return std::stoll(json.substr(at + key.size()));
}

class RecsrvProgramTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SecurityServer::Instance().Initialize()); }

  // Starts the server on a free port with `extra` options; the port it listens on.
  uint16_t StartServer(std::vector<std::string> extra) {
    std::vector<std::string> argv = {test::BuiltProgram("vorla-recsrv"), "--port", "0",
                                     "--output", out_};
    argv.insert(argv.end(), extra.begin(), extra.end());
    server_ = std::make_unique<test::ChildProgram>(argv, std::map<std::string, std::optional<std::string>>{},
                                                   dir_.path());
    const std::string marker = "listening on 127.0.0.1:";
    for (int i = 0; i < 200; ++i) {
      const std::string out = server_->Stdout();
      const size_t at = out.find(marker);
      if (at != std::string::npos) return static_cast<uint16_t>(std::stoi(out.substr(at + marker.size())));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ADD_FAILURE() << "the server did not start: " << server_->Stderr();
    return 0;
  }

  bool WaitForOutput(const std::string& text, int timeout_ms = 10000) {
    for (int waited = 0; waited < timeout_ms; waited += 50) {
      if (server_->Stdout().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  // Stops the server; its exit code.
  int StopServer() {
    server_->Signal(SIGTERM);
    const auto code = server_->Wait(15000);
    return code ? *code : -1;
  }

  // A workstation session: one segment, `frames` VP8 frames enciphered with `password`, one event
  // around them. Returns the frames' total bytes.
  uint64_t RecordSession(uint16_t port, const std::u16string& password, int frames) {
    WSSVRAPI api;
    EXPECT_EQ(api.Connect(u"127.0.0.1", port, u"WS-1", kLoopback), 0u);
    SessionRecord s;
    s.workstation_name = u"WS-1";
    s.workstation_address = kLoopback;
    s.user_name = u"alice \"a\"";
    s.seating_type = 1;
    s.start_time = 1700000000000;
    s.session_flags = kSessionFlagFramesEnciphered;
    EXPECT_EQ(api.NewSession(s, RuleList{}), 0u);
    EXPECT_FALSE(s.session_id.empty());
    SegmentRecord g;
    g.start_time = g.end_time = 1700000001000;
    g.frame_rate = 5;
    g.width = kWidth;
    g.height = kHeight;
    g.codec_fcc = kFccVp80;
    g.quality = 50;
    EXPECT_EQ(api.NewSegment(g), 0u);
    EXPECT_FALSE(g.segment_id.empty());

    EventRecord e;
    e.event_id = u"EVT_1";
    e.rule_reference = 7;
    e.start_time = 1700000001000;
    EXPECT_EQ(api.EventInfo(e, true), 0u);

    // The frame key as the workstation makes it: MD5 of the password's UTF-16LE code units.
    std::vector<uint8_t> units;
    for (char16_t c : password) {
      units.push_back(static_cast<uint8_t>(c));
      units.push_back(static_cast<uint8_t>(c >> 8));
    }
    PayloadBuffer key;
    EXPECT_TRUE(SecurityServer::Instance().DeriveKey(key, units.data(),
                                                     static_cast<uint32_t>(units.size())));
    CompressorParams p{kFccVp80, kWidth, kHeight, 3, 5, 0};
    EXPECT_EQ(CMP_Initiate(p), 0u);
    uint64_t bytes = 0;
    for (int i = 0; i < frames; ++i) {
      std::vector<uint8_t> image(kWidth * kHeight * 3);
      for (size_t k = 0; k < image.size(); ++k) image[k] = static_cast<uint8_t>(k * 7 + i * 40);
      PayloadBuffer data;
      uint32_t flags = 0;
      bool key_frame = i == 0;
      EXPECT_EQ(CMP_Compress(image.data(), static_cast<uint32_t>(image.size()), data, flags,
                             key_frame),
                0u);
      FrameHeader h;
      h.capture_time = 1700000001000 + 200 * i;
      h.codec_fcc = kFccVp80;
      h.quality = 50;
      h.data_length = data.size();
      h.width = kWidth;
      h.height = kHeight;
      h.frame_flags = kFrameFlagDigestValid | kFrameFlagEnciphered | (key_frame ? kFrameFlagKeyFrame : 0);
      PayloadBuffer digest;
      EXPECT_TRUE(SecurityServer::Instance().Hash(data.data(), data.size(), digest));
      std::copy_n(digest.data(), 8, h.digest.begin());
      PayloadBuffer enciphered = PayloadBuffer::Allocate(data.size());
      auto state = StreamCipherCreate(key.span());
      StreamCipherProcess(*state, data.data(), enciphered.data(), data.size());
      EXPECT_EQ(api.SegmentData(enciphered, h), 0u);
      bytes += data.size();
    }
    CMP_Release();
    e.end_time = 1700000002000;
    e.recorded_bytes = bytes;
    EXPECT_EQ(api.EventInfo(e, false), 0u);
    g.end_time = 1700000002000;
    api.CloseSegment(g);
    s.end_time = 1700000003000;
    api.CloseSession(s);
    api.Close();
    return bytes;
  }

  std::string IvfPath() const {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(out_))
      if (entry.path().extension() == ".ivf") return entry.path().string();
    return {};
  }

  test::ScopedTempDir dir_;
  std::string out_ = dir_.Sub("out");
  std::unique_ptr<test::ChildProgram> server_;
};

TEST_F(RecsrvProgramTest, RecordsEncipheredVp8FramesIntoAPlayableIvfFileAndAnIndex) {
  const uint16_t port = StartServer({"--password", "s3cret"});
  ASSERT_NE(port, 0);
  const int kFrames = 6;
  const uint64_t bytes = RecordSession(port, u"s3cret", kFrames);
  ASSERT_TRUE(WaitForOutput("closed\n")) << server_->Stdout();
  ASSERT_TRUE(WaitForOutput("workstation disconnects"));
  EXPECT_EQ(StopServer(), 0) << server_->Stderr();

  const std::string json = test::ReadFile(out_ + "/index.json");
  SCOPED_TRACE(json);
  EXPECT_NE(json.find("\"name\": \"WS-1\""), std::string::npos);
  EXPECT_NE(json.find("\"user\": \"alice \\\"a\\\"\""), std::string::npos);
  const size_t segment = json.find("\"segments\": [");
  ASSERT_NE(segment, std::string::npos);
  EXPECT_EQ(Field(json, "frames", segment), kFrames);
  EXPECT_EQ(Field(json, "frames_written", segment), kFrames);
  EXPECT_EQ(Field(json, "key_frames", segment), 1);
  EXPECT_EQ(Field(json, "bytes", segment), static_cast<int64_t>(bytes));
  EXPECT_EQ(Field(json, "digests_checked", segment), kFrames);
  EXPECT_EQ(Field(json, "digest_failures", segment), 0);
  EXPECT_EQ(Field(json, "undeciphered_frames", segment), 0);
  EXPECT_EQ(Field(json, "first_capture_time", segment), 1700000001000);
  EXPECT_EQ(Field(json, "last_capture_time", segment), 1700000001000 + 200 * (kFrames - 1));
  EXPECT_EQ(json.find("\"open\": true"), std::string::npos);
  const size_t event = json.find("\"events\": [");
  ASSERT_NE(event, std::string::npos);
  EXPECT_EQ(Field(json, "recorded_bytes", event), static_cast<int64_t>(bytes));
  EXPECT_EQ(Field(json, "end_time", event), 1700000002000);

  // The file, read as a player reads it.
  const std::string path = IvfPath();
  ASSERT_FALSE(path.empty());
  const std::string file = test::ReadFile(path);
  ByteReader r(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(file.data()), file.size()));
  uint32_t signature = 0, fourcc = 0, rate = 0, scale = 0, count = 0, unused = 0;
  uint16_t version = 1, header_size = 0, width = 0, height = 0;
  ASSERT_TRUE(r.U32(signature) && r.U16(version) && r.U16(header_size) && r.U32(fourcc) &&
              r.U16(width) && r.U16(height) && r.U32(rate) && r.U32(scale) && r.U32(count) &&
              r.U32(unused));
  EXPECT_EQ(signature, 0x46494B44u);  // "DKIF"
  EXPECT_EQ(version, 0);
  EXPECT_EQ(header_size, 32);
  EXPECT_EQ(fourcc, kFccVp80);
  EXPECT_EQ(width, kWidth);
  EXPECT_EQ(height, kHeight);
  EXPECT_EQ(count, static_cast<uint32_t>(kFrames));
  vpx_codec_ctx_t decoder;
  ASSERT_EQ(vpx_codec_dec_init(&decoder, vpx_codec_vp8_dx(), nullptr, 0), VPX_CODEC_OK);
  int decoded = 0;
  while (r.remaining() > 0) {
    SCOPED_TRACE(decoded);
    uint32_t size = 0;
    uint64_t pts = 0;
    ASSERT_TRUE(r.U32(size) && r.U64(pts));
    std::vector<uint8_t> frame(size);
    ASSERT_TRUE(r.Bytes(frame.data(), size));
    EXPECT_EQ(pts, 200u * decoded);
    ASSERT_EQ(vpx_codec_decode(&decoder, frame.data(), size, nullptr, 0), VPX_CODEC_OK);
    vpx_codec_iter_t iter = nullptr;
    vpx_image_t* img = vpx_codec_get_frame(&decoder, &iter);
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(static_cast<int>(img->d_w), kWidth);
    EXPECT_EQ(static_cast<int>(img->d_h), kHeight);
    ++decoded;
  }
  vpx_codec_destroy(&decoder);
  EXPECT_EQ(decoded, kFrames);
}

TEST_F(RecsrvProgramTest, AWrongPasswordShowsAsDigestFailures) {
  const uint16_t port = StartServer({"--password", "not-the-one"});
  ASSERT_NE(port, 0);
  RecordSession(port, u"s3cret", 4);
  ASSERT_TRUE(WaitForOutput("workstation disconnects")) << server_->Stdout();
  EXPECT_EQ(StopServer(), 0) << server_->Stderr();
  const std::string json = test::ReadFile(out_ + "/index.json");
  SCOPED_TRACE(json);
  const size_t segment = json.find("\"segments\": [");
  ASSERT_NE(segment, std::string::npos);
  EXPECT_EQ(Field(json, "frames", segment), 4);
  EXPECT_EQ(Field(json, "digests_checked", segment), 4);
  EXPECT_EQ(Field(json, "digest_failures", segment), 4);
  EXPECT_EQ(Field(json, "frames_written", segment), 0);
  EXPECT_NE(server_->Stdout().find("digest failure"), std::string::npos);
}

TEST_F(RecsrvProgramTest, FaultOptionsRefuseAndDrop) {
  {
    SCOPED_TRACE("refused sessions");
    const uint16_t port = StartServer({"--refuse-sessions", "0xC0000FAF"});
    ASSERT_NE(port, 0);
    WSSVRAPI api;
    ASSERT_EQ(api.Connect(u"127.0.0.1", port, u"WS-1", kLoopback), 0u);
    SessionRecord s;
    s.user_name = u"bob";
    EXPECT_EQ(api.NewSession(s, RuleList{}), 0xC0000FAFu);
    api.Close();
    EXPECT_EQ(StopServer(), 0);
  }
  {
    SCOPED_TRACE("refused segments, then the shutdown status when the server stops");
    const uint16_t port = StartServer({"--refuse-segments", "0xC0000FA9"});
    ASSERT_NE(port, 0);
    WSSVRAPI api;
    ASSERT_EQ(api.Connect(u"127.0.0.1", port, u"WS-1", kLoopback), 0u);
    SessionRecord s;
    s.user_name = u"bob";
    ASSERT_EQ(api.NewSession(s, RuleList{}), 0u);
    SegmentRecord g;
    EXPECT_EQ(api.NewSegment(g), 0xC0000FA9u);
    server_->Signal(SIGTERM);
    netw_message_t m;
    ASSERT_TRUE(api.Incoming()->PopWithin(m, 8000));
    ASSERT_EQ(m.header.type, nwmt_status);
    ByteReader r(m.part1.span());
    uint32_t kind = 0;
    ASSERT_TRUE(r.U32(kind));
    EXPECT_EQ(kind, kStatusKindShutdown);
    const auto code = server_->Wait(15000);
    EXPECT_EQ(code, 0);
  }
  {
    SCOPED_TRACE("link dropped after two frames");
    const uint16_t port = StartServer({"--drop-after-frames", "2"});
    ASSERT_NE(port, 0);
    WSSVRAPI api;
    ASSERT_EQ(api.Connect(u"127.0.0.1", port, u"WS-1", kLoopback), 0u);
    SessionRecord s;
    ASSERT_EQ(api.NewSession(s, RuleList{}), 0u);
    SegmentRecord g;
    g.codec_fcc = kFccVp80;
    ASSERT_EQ(api.NewSegment(g), 0u);
    const PayloadBuffer data = PayloadBuffer::CopyOf(std::vector<uint8_t>{1, 2, 3});
    FrameHeader h;
    h.data_length = 3;
    for (int i = 0; i < 2; ++i) EXPECT_EQ(api.SegmentData(data, h), 0u);
    netw_message_t m;
    ASSERT_TRUE(api.Incoming()->PopWithin(m, 8000));
    EXPECT_EQ(m.header.type, nwmt_connection_error);
    EXPECT_TRUE(WaitForOutput("dropping the link after 2 frames"));
    EXPECT_EQ(StopServer(), 0);
  }
}

TEST_F(RecsrvProgramTest, GarbageOnALinkEndsThatLinkOnly) {
  const uint16_t port = StartServer({});
  ASSERT_NE(port, 0);
  {
    auto raw = platform::TcpSocket::Create();
    ASSERT_TRUE(raw);
    ASSERT_EQ(raw->Connect(kLoopback, port), 0u);
    // A header with a type beyond the limit, then a few more bytes of noise.
    std::vector<uint8_t> garbage(80, 0xEE);
    ASSERT_EQ(raw->SendAll(garbage), 0u);
    EXPECT_TRUE(WaitForOutput("#1 127.0.0.1: link closed")) << server_->Stdout();
  }
  // The server still serves the next workstation.
  WSSVRAPI api;
  ASSERT_EQ(api.Connect(u"127.0.0.1", port, u"WS-2", kLoopback), 0u);
  SessionRecord s;
  EXPECT_EQ(api.NewSession(s, RuleList{}), 0u);
  api.Close();
  EXPECT_EQ(StopServer(), 0);
}

}  // namespace
}  // namespace vorla
