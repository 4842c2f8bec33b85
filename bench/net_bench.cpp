// Cost of sending a 200 KB frame on a keyed link: sealing alone with the precomputed key, the
// two-key box for comparison, and Send through a real loopback link (seal + one socket write).
#include <benchmark/benchmark.h>
#include <sodium.h>

#include <atomic>
#include <thread>
#include <vector>

#include "net/link_codec.h"
#include "net/socket_manager.h"
#include "platform/sockets.h"
#include "security/security_server_v2.h"

namespace {

using namespace vorla;

constexpr uint32_t kFrame = 200 * 1024;

struct Keys {
  PayloadBuffer ws_pub, ws_sec, peer_pub, peer_sec;
  BoxKey box;
  Keys() {
    auto& v2 = SecurityServer_v2::Instance();
    CreateKeyPair(v2, ws_pub, ws_sec);
    CreateKeyPair(v2, peer_pub, peer_sec);
    PrecomputeBoxKey(peer_pub.span(), ws_sec.span(), box);
  }
};

void BM_EncodeSealedFrame(benchmark::State& state) {
  Keys k;
  const auto m = MakeNetwMessage(nwmt_ws_segmentdata, PayloadBuffer::Allocate(80),
                                 PayloadBuffer::Allocate(kFrame));
  PayloadBuffer buffer = PayloadBuffer::Allocate(kSendBufferInitialSize);
  FrameProtection p;
  p.box_key = &k.box;
  p.nonce_word = 7;
  size_t length = 0;
  for (auto _ : state) {
    ++p.time_stamp;
    if (EncodeFrame(m, p, buffer, length) != 0) state.SkipWithError("seal failed");
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (kFrame + 80));
}
BENCHMARK(BM_EncodeSealedFrame);

void BM_TwoKeyBoxFrame(benchmark::State& state) {
  Keys k;
  std::vector<uint8_t> plain(kFrame), sealed(kFrame + 16);
  uint8_t nonce[24] = {};
  for (auto _ : state) {
    ++nonce[4];
    if (crypto_box_easy(sealed.data(), plain.data(), plain.size(), nonce, k.peer_pub.data(),
                        k.ws_sec.data()) != 0)
      state.SkipWithError("box failed");
    benchmark::DoNotOptimize(sealed.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFrame);
}
BENCHMARK(BM_TwoKeyBoxFrame);

// Send on a keyed loopback link; a drain thread reads and discards on the far side.
void BM_SendSealedFrameLoopback(benchmark::State& state) {
  auto listener = platform::TcpListener::Listen(platform::LoopbackAddress(), 0);
  SocketManager manager;
  if (!listener || manager.Connect(platform::LoopbackAddress(), listener->port()) != 0) {
    state.SkipWithError("no loopback link");
    return;
  }
  auto far = listener->Accept(2000);
  PayloadBuffer peer_pub, peer_sec;
  CreateKeyPair(SecurityServer_v2::Instance(), peer_pub, peer_sec);
  // Give the workstation the far side's key, then drain everything it sends.
  std::vector<uint8_t> key_frame(64 + 32, 0);
  key_frame[0] = nwmt_public_key;
  key_frame[4] = 32;
  std::copy(peer_pub.data(), peer_pub.data() + 32, key_frame.begin() + 64);
  far->SendAll(key_frame);
  while (!manager.keys_established()) std::this_thread::yield();
  std::atomic<bool> stop{false};
  std::thread drain([&] {
    std::vector<uint8_t> sink(1 << 20);
    while (!stop.load())
      if (far->WaitReadable(50) == platform::SocketWait::kReady && far->Receive(sink) <= 0) break;
  });
  const auto m = MakeNetwMessage(nwmt_ws_segmentdata, PayloadBuffer::Allocate(80),
                                 PayloadBuffer::Allocate(kFrame));
  for (auto _ : state) {
    if (manager.Send(m, true) != 0) state.SkipWithError("send failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (kFrame + 80));
  stop = true;
  manager.Disconnect();
  drain.join();
}
BENCHMARK(BM_SendSealedFrameLoopback)->UseRealTime();

}  // namespace
