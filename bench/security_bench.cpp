// Cost of protecting one screen frame: HC-128 set-up (1,024 steps) with and without processing a
// 100 KB frame, and the MD5 frame digest.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "common/payload_buffer.h"
#include "security/hc128.h"
#include "security/security_server.h"

namespace {

constexpr size_t kFrameBytes = 100 * 1024;
const uint8_t kKey[16] = {0x3a, 0x91, 0x5c, 0x07, 0xe2, 0x48, 0xd6, 0x1f,
                          0x70, 0xab, 0x24, 0xc9, 0x8e, 0x53, 0x0d, 0xb6};

std::vector<uint8_t> Frame() {
  std::vector<uint8_t> f(kFrameBytes);
  for (size_t i = 0; i < f.size(); ++i) f[i] = static_cast<uint8_t>(i * 131 + 17);
  return f;
}

void BM_Hc128SetUp(benchmark::State& state) {
  for (auto _ : state) {
    auto cipher = vorla::StreamCipherCreate(kKey);
    benchmark::DoNotOptimize(cipher.get());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Hc128SetUp);

void BM_Hc128SetUpAndFrame(benchmark::State& state) {
  const std::vector<uint8_t> frame = Frame();
  std::vector<uint8_t> out(frame.size());
  for (auto _ : state) {
    auto cipher = vorla::StreamCipherCreate(kKey);
    vorla::StreamCipherProcess(*cipher, frame.data(), out.data(), frame.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(frame.size()));
}
BENCHMARK(BM_Hc128SetUpAndFrame);

void BM_Md5Frame(benchmark::State& state) {
  vorla::SecurityServer& server = vorla::SecurityServer::Instance();
  if (!server.Initialize()) {
    state.SkipWithError("SecurityServer did not initialise");
    return;
  }
  const std::vector<uint8_t> frame = Frame();
  for (auto _ : state) {
    vorla::PayloadBuffer digest;
    server.Hash(frame.data(), static_cast<uint32_t>(frame.size()), digest);
    benchmark::DoNotOptimize(digest.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(frame.size()));
}
BENCHMARK(BM_Md5Frame);

}  // namespace
