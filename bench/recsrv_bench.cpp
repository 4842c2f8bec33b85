// The recording server end to end on loopback: a workstation built from the network library sends
// 200 KB VP8 frames sealed over the link to an in-process RecordingServer, which checks, deciphers
// and appends them to an IVF file. A batch counts only once the server's index says every frame of
// it was written. The memory run compares the resident set after a short and a long stretch of
// the same segment; the server must not keep anything per frame.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "compression/compressor.h"
#include "net/wssvrapi.h"
#include "recording_server.h"
#include "security/hc128.h"
#include "security/security_server.h"
#include "security/security_server_v2.h"

namespace {

using namespace vorla;

constexpr uint32_t kFrameBytes = 200 * 1024;
constexpr uint32_t kLoopback = 0x0100007F;
const std::u16string kPassword = u"bench-password";

// Resident set of this process in bytes (client and server both live here).
uint64_t ResidentBytes() {
  std::FILE* f = std::fopen("/proc/self/statm", "r");
  if (!f) return 0;
  unsigned long long size = 0, resident = 0;
  const int n = std::fscanf(f, "%llu %llu", &size, &resident);
  std::fclose(f);
  return n == 2 ? resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE)) : 0;
}

// One recording server in a temporary folder and one workstation with an open session and
// segment; `enciphered` sends frames enciphered with the session password and with digests.
class Rig {
 public:
  explicit Rig(bool enciphered) : enciphered_(enciphered) {
    char pattern[] = "/tmp/vorla-recsrv-bench-XXXXXX";
    if (!mkdtemp(pattern)) return;
    folder_ = pattern;
    null_ = std::fopen("/dev/null", "w");
    if (!null_ || !SecurityServer::Instance().Initialize()) return;
    SecurityServer_v2::Instance();
    recsrv::ServerOptions o;
    o.port = 0;
    o.output = folder_ + "/out";
    if (enciphered_) o.password = kPassword;
    server_ = std::make_unique<recsrv::RecordingServer>(o, null_);
    std::string error;
    if (!server_->Start(error)) {
      error_ = error;
      return;
    }
    if (api_.Connect(u"127.0.0.1", server_->port(), u"WS-BENCH", kLoopback) != 0) return;
    SessionRecord s;
    s.workstation_name = u"WS-BENCH";
    s.workstation_address = kLoopback;
    s.user_name = u"bench";
    s.start_time = 1700000000000;
    s.session_flags = enciphered_ ? kSessionFlagFramesEnciphered : 0;
    if (api_.NewSession(s, RuleList{}) != 0) return;
    session_id_ = s.session_id;
    SegmentRecord g;
    g.start_time = g.end_time = 1700000000000;
    g.frame_rate = 100;
    g.width = 1920;
    g.height = 1080;
    g.codec_fcc = kFccVp80;
    g.quality = 50;
    if (api_.NewSegment(g) != 0) return;
    segment_ = g;

    // Random-looking frame bytes, enciphered once: every frame starts the key stream afresh, so
    // one enciphered copy is valid for all of them.
    std::vector<uint8_t> plain(kFrameBytes);
    std::mt19937 random(42);
    for (auto& b : plain) b = static_cast<uint8_t>(random());
    header_.codec_fcc = kFccVp80;
    header_.quality = 50;
    header_.data_length = kFrameBytes;
    header_.width = 1920;
    header_.height = 1080;
    if (enciphered_) {
      std::vector<uint8_t> units;
      for (char16_t c : kPassword) {
        units.push_back(static_cast<uint8_t>(c));
        units.push_back(static_cast<uint8_t>(c >> 8));
      }
      PayloadBuffer key, digest;
      if (!SecurityServer::Instance().DeriveKey(key, units.data(),
                                                static_cast<uint32_t>(units.size())) ||
          !SecurityServer::Instance().Hash(plain.data(), kFrameBytes, digest) || digest.size() < 8)
        return;
      std::copy_n(digest.data(), 8, header_.digest.begin());
      header_.frame_flags = kFrameFlagDigestValid | kFrameFlagEnciphered;
      frame_ = PayloadBuffer::Allocate(kFrameBytes);
      auto state = StreamCipherCreate(key.span());
      if (!state) return;
      StreamCipherProcess(*state, plain.data(), frame_.data(), kFrameBytes);
    } else {
      frame_ = PayloadBuffer::CopyOf(plain);
    }
    ready_ = true;
  }

  ~Rig() {
    if (ready_) {
      api_.CloseSegment(segment_);
      api_.Close();
    }
    server_.reset();
    if (null_) std::fclose(null_);
    std::error_code ec;
    if (!folder_.empty()) std::filesystem::remove_all(folder_, ec);
  }

  bool ready() const { return ready_; }
  const std::string& error() const { return error_; }

  // Sends `count` frames; false when a send fails.
  bool Send(uint64_t count) {
    for (uint64_t i = 0; i < count; ++i) {
      FrameHeader h = header_;
      h.capture_time = 1700000000000 + 10 * sent_;
      if (sent_ == 0) h.frame_flags |= kFrameFlagKeyFrame;
      if (api_.SegmentData(frame_, h) != 0) return false;
      ++sent_;
    }
    return true;
  }

  // Frames the server has appended to the segment's file so far.
  uint64_t Written() {
    return server_->index().Update([](recsrv::IndexData& d) -> uint64_t {
      uint64_t n = 0;
      for (const auto& [id, s] : d.sessions)
        for (const auto& g : s.segments) n += g.frames_written;
      return n;
    });
  }

  // Waits until the server has written every frame sent; false after 60 s without it.
  bool WaitWritten() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (Written() < sent_) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
  }

 private:
  bool enciphered_;
  bool ready_ = false;
  std::string folder_;
  std::string error_;
  std::FILE* null_ = nullptr;
  std::unique_ptr<recsrv::RecordingServer> server_;
  WSSVRAPI api_;
  std::u16string session_id_;
  SegmentRecord segment_;
  FrameHeader header_;
  PayloadBuffer frame_;
  uint64_t sent_ = 0;
};

// Frames per second written by the server; one iteration is a batch of range(0) frames.
void BM_RecsrvFramesWritten(benchmark::State& state, bool enciphered) {
  Rig rig(enciphered);
  if (!rig.ready()) {
    state.SkipWithError(("no server or workstation: " + rig.error()).c_str());
    return;
  }
  const uint64_t batch = static_cast<uint64_t>(state.range(0));
  uint64_t frames = 0;
  for (auto _ : state) {
    if (!rig.Send(batch) || !rig.WaitWritten()) {
      state.SkipWithError("frames not sent or not written");
      return;
    }
    frames += batch;
  }
  state.counters["frames_per_s"] =
      benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
  state.SetBytesProcessed(static_cast<int64_t>(frames * kFrameBytes));
}
BENCHMARK_CAPTURE(BM_RecsrvFramesWritten, enciphered_with_digests, true)
    ->Arg(100)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_RecsrvFramesWritten, plain, false)
    ->Arg(100)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Resident set after 200 frames and after 2,000 frames of one segment.
void BM_RecsrvResidentGrowth(benchmark::State& state) {
  for (auto _ : state) {
    Rig rig(true);
    if (!rig.ready()) {
      state.SkipWithError(("no server or workstation: " + rig.error()).c_str());
      return;
    }
    if (!rig.Send(200) || !rig.WaitWritten()) {
      state.SkipWithError("frames not written");
      return;
    }
    const uint64_t short_run = ResidentBytes();
    if (!rig.Send(1800) || !rig.WaitWritten()) {
      state.SkipWithError("frames not written");
      return;
    }
    const uint64_t long_run = ResidentBytes();
    state.counters["rss_200_frames_KB"] = static_cast<double>(short_run / 1024);
    state.counters["rss_2000_frames_KB"] = static_cast<double>(long_run / 1024);
    state.counters["growth_KB"] =
        static_cast<double>(static_cast<int64_t>(long_run) - static_cast<int64_t>(short_run)) /
        1024.0;
  }
}
BENCHMARK(BM_RecsrvResidentGrowth)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
