// vorla-recsrv as a program: a scripted workstation built from the network library opens a
// session and a segment, sends real VP8 frames enciphered with a password and with digests, and
// closes everything; the IVF file must decode frame by frame and the index must count right.
#include <gtest/gtest.h>
#include <signal.h>
#include <vpx/vp8dx.h>
#include <vpx/vpx_decoder.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <regex>
#include <chrono>
#include <filesystem>
#include <thread>

#include "common/byte_reader.h"
#include "common/byte_writer.h"
#include "compression/compressor.h"
#include "net/wssvrapi.h"
#include "platform/sockets.h"
#include "security/hc128.h"
#include "security/security_server.h"
#include "support/child_process.h"
#include "support/ivf_decoder.h"
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
    std::vector<std::string> argv = {test::BuiltProgram("vorla-recsrv"), "--port", "0", "--output",
                                     out_};
    argv.insert(argv.end(), extra.begin(), extra.end());
    server_ = std::make_unique<test::ChildProgram>(
        argv, std::map<std::string, std::optional<std::string>>{}, dir_.path());
    const std::string marker = "listening on 127.0.0.1:";
    for (int i = 0; i < 200; ++i) {
      const std::string out = server_->Stdout();
      const size_t at = out.find(marker);
      if (at != std::string::npos)
        return static_cast<uint16_t>(std::stoi(out.substr(at + marker.size())));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ADD_FAILURE() << "the server did not start: " << server_->Stderr();
    return 0;
  }

  // Waits until `text` occurs `count` times in the server's output.
  bool WaitUntilCount(const std::string& text, size_t count, int timeout_ms = 10000) {
    for (int waited = 0; waited < timeout_ms; waited += 50) {
      const std::string out = server_->Stdout();
      size_t n = 0;
      for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++n;
      if (n >= count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
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
      EXPECT_EQ(
          CMP_Compress(image.data(), static_cast<uint32_t>(image.size()), data, flags, key_frame),
          0u);
      FrameHeader h;
      h.capture_time = 1700000001000 + 200 * i;
      h.codec_fcc = kFccVp80;
      h.quality = 50;
      h.data_length = data.size();
      h.width = kWidth;
      h.height = kHeight;
      h.frame_flags =
          kFrameFlagDigestValid | kFrameFlagEnciphered | (key_frame ? kFrameFlagKeyFrame : 0);
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
  ByteReader r(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(file.data()), file.size()));
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

// A raw link that reads the server's public key, then sends `bytes` unsealed.
std::unique_ptr<platform::TcpSocket> RawLink(uint16_t port) {
  auto raw = platform::TcpSocket::Create();
  if (!raw || raw->Connect(kLoopback, port) != 0) return nullptr;
  return raw;
}

std::vector<uint8_t> HeaderBytes(uint32_t type, uint32_t length1, uint32_t length2) {
  netw_header h;
  h.type = type;
  h.length1 = length1;
  h.length2 = length2;
  const auto b = NetwHeaderBytes(h);
  return {b.begin(), b.end()};
}

// A workstation that stops in the middle of a frame, or announces one beyond the limits: a line
// that says so for that link, and the next workstation is served.
TEST_F(RecsrvProgramTest, AFrameCutShortOrOversizedEndsThatLinkWithALineThatSaysWhat) {
  const uint16_t port = StartServer({});
  ASSERT_NE(port, 0);
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    bool close;  // close the socket after the bytes (else fall silent)
    std::string line;
  };
  // A frame header (80 bytes of frame header, 200,000 of frame) and the first 1,000 bytes.
  std::vector<uint8_t> cut = HeaderBytes(nwmt_ws_segmentdata, 80, 200000);
  cut.resize(cut.size() + 1000, 0x5A);
  const std::vector<Case> cases = {
      {"closed in the middle of a frame", cut, true,
       "#1 127.0.0.1: link closed: closed by the workstation in the middle of a message (1064 "
       "bytes of it came)"},
      {"silent in the middle of a frame", cut, false,
       "#2 127.0.0.1: link closed: the workstation stopped sending in the middle of a message "
       "(1064 bytes of it came)"},
      {"part 2 beyond the limit", HeaderBytes(nwmt_ws_segmentdata, 80, 0x7FFFFFFF), false,
       "#3 127.0.0.1: link closed: an oversized message refused"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto raw = RawLink(port);
    ASSERT_TRUE(raw);
    ASSERT_EQ(raw->SendAll(c.bytes), 0u);
    if (c.close) raw->Shutdown();
    EXPECT_TRUE(WaitForOutput(c.line)) << server_->Stdout();
  }
  WSSVRAPI api;
  ASSERT_EQ(api.Connect(u"127.0.0.1", port, u"WS-2", kLoopback), 0u);
  SessionRecord s;
  EXPECT_EQ(api.NewSession(s, RuleList{}), 0u);
  api.Close();
  EXPECT_EQ(StopServer(), 0) << server_->Stderr();
}

// Thousands of status messages as fast as the link takes them: the server keeps answering on
// that link and prints a bounded number of lines, with the rest counted in flood lines.
TEST_F(RecsrvProgramTest, AFloodOfStatusMessagesIsCountedNotPrintedAndTheLinkStaysServed) {
  const uint16_t port = StartServer({});
  ASSERT_NE(port, 0);
  WSSVRAPI api;
  ASSERT_EQ(api.Connect(u"127.0.0.1", port, u"WS-1", kLoopback), 0u);
  constexpr int kFlood = 3000;
  ByteWriter status;
  status.U32(1);
  status.U32(0x7);  // up, session, recording
  status.U32(0);
  const netw_message_t m = MakeNetwMessage(nwmt_ws_status, PayloadBuffer::CopyOf(status.bytes()));
  for (int i = 0; i < kFlood; ++i) ASSERT_EQ(api.Forward(m), 0u) << i;
  SessionRecord s;
  EXPECT_EQ(api.NewSession(s, RuleList{}), 0u);
  api.Close();
  ASSERT_TRUE(WaitForOutput("workstation disconnects"));
  EXPECT_EQ(StopServer(), 0) << server_->Stderr();

  const std::string out = server_->Stdout();
  EXPECT_NE(out.find("#1 127.0.0.1: flood: more than 200 lines a second"), std::string::npos)
      << out.substr(0, 2000);
  // Every status message is either printed or counted.
  int printed = 0;
  for (size_t at = out.find("workstation status 0x00000007"); at != std::string::npos;
       at = out.find("workstation status 0x00000007", at + 1))
    ++printed;
  int64_t left_out = 0;
  const std::string marker = "flood: ";
  for (size_t at = out.find(marker); at != std::string::npos; at = out.find(marker, at + 1)) {
    const std::string rest = out.substr(at + marker.size(), 40);
    if (std::isdigit(static_cast<unsigned char>(rest[0])) &&
        rest.find(" lines left out") != std::string::npos)
      left_out += std::stoll(rest);
  }
  EXPECT_LT(printed, kFlood);
  EXPECT_EQ(printed + left_out, kFlood) << "printed " << printed << ", left out " << left_out;
}

// The resident set of process `pid` in KB (VmRSS), or -1.
int64_t ResidentKb(pid_t pid) {
  const std::string status = test::ReadFile("/proc/" + std::to_string(pid) + "/status");
  const size_t at = status.find("VmRSS:");
  if (at == std::string::npos) return -1;
  return std::stoll(status.substr(at + 6));
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // their shadow and quarantine grow with what was allocated
#else
constexpr bool kSanitized = false;
#endif

// Memory must not grow with the length of a session: the resident set after ten thousand frames
// stays within a small margin of that after five hundred. A server that kept anything of a frame
// (its bytes: 75 MB; a few hundred bytes of bookkeeping: megabytes) would exceed it.
TEST_F(RecsrvProgramTest, ResidentMemoryDoesNotGrowWithTheFramesOfASession) {
  if (kSanitized) GTEST_SKIP() << "the resident set of a sanitized build grows by design";
  const uint16_t port = StartServer({});
  ASSERT_NE(port, 0);
  WSSVRAPI api;
  ASSERT_EQ(api.Connect(u"127.0.0.1", port, u"WS-1", kLoopback), 0u);
  SessionRecord s;
  s.user_name = u"long";
  ASSERT_EQ(api.NewSession(s, RuleList{}), 0u);
  PayloadBuffer data = PayloadBuffer::Allocate(8 * 1024);
  for (uint32_t i = 0; i < data.size(); ++i) data.data()[i] = static_cast<uint8_t>(i * 131);
  FrameHeader h;
  h.codec_fcc = kFccVp80;
  h.data_length = data.size();
  // Frames into one segment; the next new segment is answered only once the server has taken
  // every frame before it (one link, in order), and its line gives their count.
  auto segment_of = [&](int frames, int number) {
    SegmentRecord g;
    g.codec_fcc = kFccVp80;
    if (api.NewSegment(g) != 0) return false;
    for (int i = 0; i < frames; ++i) {
      h.capture_time = 1700000000000 + 10 * static_cast<uint64_t>(i);
      if (api.SegmentData(data, h) != 0) return false;
    }
    SegmentRecord next;
    next.codec_fcc = kFccVp80;
    return api.NewSegment(next) == 0 &&
           WaitForOutput("G000" + std::to_string(number) + " closed: " + std::to_string(frames) +
                         " frames");
  };
  ASSERT_TRUE(segment_of(500, 1)) << server_->Stdout();
  const int64_t short_run = ResidentKb(server_->pid());
  ASSERT_TRUE(segment_of(10000, 3)) << server_->Stdout();
  const int64_t long_run = ResidentKb(server_->pid());
  ASSERT_GT(short_run, 0);
  EXPECT_LT(long_run - short_run, 2048)
      << short_run << " KB after 500 frames, " << long_run << " KB after 10,500";
  api.Close();
  EXPECT_EQ(StopServer(), 0) << server_->Stderr();
}

}  // namespace
}  // namespace vorla

namespace vorla {
namespace {

// The text after "name": in the first object of `json` that holds it after `from`.
std::string TextField(const std::string& json, const std::string& name, size_t from = 0) {
  const std::string key = "\"" + name + "\": \"";
  const size_t at = json.find(key, from);
  if (at == std::string::npos) return "(missing)";
  return json.substr(at + key.size(), json.find('"', at + key.size()) - at - key.size());
}

// The WebM copy of a segment holds only pictures; whatever becomes of it, the IVF file and the
// index go on as before.
TEST_F(RecsrvProgramTest, TheWebmFileHoldsDecipheredFramesOnlyAndItsFailureSparesTheRest) {
  struct Case {
    const char* name;
    std::vector<std::string> options;
    bool webm;
    const char* note;      // part of the index's note when there is no file
    int64_t ivf_frames;    // frames_written
    const char* log_line;  // part of a line the server prints
  };
  const int kFrames = 5;
  const Case cases[] = {
      {"deciphered", {"--password", "s3cret"}, true, "", kFrames, "WebM file S"},
      {"no password", {}, false, "could not be deciphered", kFrames, "has no WebM file"},
      {"wrong password", {"--password", "other"}, false, "failed its digest", 0, "has no WebM file"},
      {"full disk", {"--password", "s3cret", "--fail-webm-writes"}, false,
       "No space left on device", kFrames,
       "cannot write the WebM file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(out_);
    const uint16_t port = StartServer(c.options);
    ASSERT_NE(port, 0);
    RecordSession(port, u"s3cret", kFrames);
    ASSERT_TRUE(WaitForOutput("workstation disconnects")) << server_->Stdout();
    EXPECT_EQ(StopServer(), 0) << server_->Stderr();
    EXPECT_NE(server_->Stdout().find(c.log_line), std::string::npos) << server_->Stdout();
    const std::string json = test::ReadFile(out_ + "/index.json");
    SCOPED_TRACE(json);
    const size_t segment = json.find("\"segments\": [");
    ASSERT_NE(segment, std::string::npos);
    EXPECT_EQ(Field(json, "frames_written", segment), c.ivf_frames);
    const std::string webm = TextField(json, "webm", segment);
    bool webm_on_disk = false;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(out_))
      webm_on_disk = webm_on_disk || entry.path().extension() == ".webm";
    EXPECT_EQ(webm_on_disk, c.webm) << "a file without pictures is not left behind";
    if (c.webm) {
      EXPECT_TRUE(std::filesystem::is_regular_file(out_ + "/" + webm)) << webm;
      EXPECT_EQ(Field(json, "webm_frames", segment), kFrames);
      EXPECT_EQ(Field(json, "webm_origin", segment), 1700000001000);
      EXPECT_EQ(TextField(json, "webm_note", segment), "");
    } else {
      EXPECT_EQ(webm, "");
      EXPECT_NE(TextField(json, "webm_note", segment).find(c.note), std::string::npos);
    }
    // The viewer page carries the same index.
    const std::string page = test::ReadFile(out_ + "/index.html");
    EXPECT_NE(page.find("\"webm_note\": \"" + TextField(json, "webm_note", segment) + "\""),
              std::string::npos);
    const auto ivf = test::ReadIvfFile(IvfPath());
    ASSERT_TRUE(ivf);
    EXPECT_EQ(static_cast<int64_t>(ivf->frames.size()), c.ivf_frames);
  }
}

}  // namespace
}  // namespace vorla

namespace vorla {
namespace {

std::string Capture(const std::string& command) { return test::CommandOutput(command); }

const char* kChromium =
    "timeout 60 chromium --headless --no-sandbox --disable-gpu --mute-audio --hide-scrollbars "
    "--virtual-time-budget=15000 ";

// The page's own check of its players, as headless Chromium leaves it: "ok", "failed" or
// "pending", then the check's report. Headless Chromium runs the page on virtual time, which on a
// busy machine can run out before a player has read its file: a check that is not "ok" is run
// again, up to `attempts` times.
std::pair<std::string, std::string> ViewerCheck(const std::string& url, int attempts = 5) {
  const std::regex check(R"re(id="viewer-check" data-state="(\w+)">([^<]*)<)re");
  std::pair<std::string, std::string> result;
  for (int i = 0; i < attempts && result.first != "ok"; ++i) {
    const std::string dom =
        Capture(std::string(kChromium) + "--dump-dom '" + url + "' 2>/dev/null");
    std::smatch m;
    if (!std::regex_search(dom, m, check))
      result = {"(no check in the page)", dom.substr(0, 2000)};
    else
      result = {m[1], m[2]};
  }
  return result;
}

// The share of a PNG's pixels that differ from its most common grey, and the number of greys.
std::pair<double, int> Contrast(const std::string& png) {
  const std::string grey = Capture("ffmpeg -v error -i '" + png +
                                   "' -f rawvideo -pix_fmt gray - 2>/dev/null");
  if (grey.empty()) return {0, 0};
  std::array<size_t, 256> counts{};
  for (unsigned char c : grey) ++counts[c];
  const size_t top = *std::max_element(counts.begin(), counts.end());
  const int shades = static_cast<int>(std::count_if(counts.begin(), counts.end(),
                                                    [](size_t n) { return n > 0; }));
  return {1.0 - static_cast<double>(top) / static_cast<double>(grey.size()), shades};
}

// The viewer page in a real browser: every player loads its WebM file (a duration above 0) and
// seeks to its event, opened from disk and through --http; a segment without a playable file
// shows as such; a damaged file makes the check fail; the screenshot is not blank.
TEST_F(RecsrvProgramTest, TheViewerPagePlaysEverySegmentInHeadlessChromium) {
  if (std::system("command -v chromium >/dev/null 2>&1 && command -v ffmpeg >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "no chromium or ffmpeg";
  const uint16_t port = StartServer({"--password", "s3cret", "--http", "0"});
  ASSERT_NE(port, 0);
  std::smatch m;
  const std::string out = server_->Stdout();
  ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(viewer at (http://127\.0\.0\.1:\d+/))")))
      << out;
  const std::string http_url = m[1];
  RecordSession(port, u"s3cret", 10);
  RecordSession(port, u"not the password", 3);  // every digest fails: no playable file
  ASSERT_TRUE(WaitUntilCount("workstation disconnects", 2)) << server_->Stdout();

  const auto served = ViewerCheck(http_url);
  EXPECT_EQ(served.first, "ok") << served.second;
  EXPECT_NE(served.second.find("\"videos\":1,\"failed\":0"), std::string::npos) << served.second;
  EXPECT_EQ(StopServer(), 0) << server_->Stderr();

  const std::string file_url = "file://" + out_ + "/index.html";
  const auto from_disk = ViewerCheck(file_url);
  EXPECT_EQ(from_disk.first, "ok") << from_disk.second;
  EXPECT_NE(from_disk.second.find("\"videos\":1,\"failed\":0"), std::string::npos)
      << from_disk.second;
  // The player sought to the event's start: the event begins at the segment's first frame.
  EXPECT_NE(from_disk.second.find("\"seeked\":0"), std::string::npos) << from_disk.second;
  const std::string dom =
      Capture(std::string(kChromium) + "--dump-dom '" + file_url + "' 2>/dev/null");
  EXPECT_NE(dom.find("No playable file"), std::string::npos);
  EXPECT_NE(dom.find("every frame failed its digest"), std::string::npos);

  const std::string shot = dir_.Sub("viewer.png");
  Capture(std::string(kChromium) + "--window-size=1280,900 --screenshot='" + shot + "' '" +
          file_url + "' >/dev/null 2>&1");
  const auto [share, shades] = Contrast(shot);
  EXPECT_GT(share, 0.05) << "a blank page";
  EXPECT_GT(shades, 16);
  if (const char* keep = std::getenv("VORLA_VIEWER_SCREENSHOT"))
    std::filesystem::copy_file(shot, keep, std::filesystem::copy_options::overwrite_existing);

  // A damaged file: the page's check reports it and the player gives way to a notice.
  std::string webm;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(out_))
    if (entry.path().extension() == ".webm") webm = entry.path().string();
  ASSERT_FALSE(webm.empty());
  std::filesystem::resize_file(webm, 64);
  const auto damaged = ViewerCheck(file_url, 1);
  EXPECT_EQ(damaged.first, "failed") << damaged.second;
}

}  // namespace
}  // namespace vorla
