// A codec registry for tests with scripted installed compressors, and a record of every call.
//
// A fake compressor's output for frame n is 8 bytes: the frame number (32-bit little-endian),
// then the first 4 bytes of the input frame. Not thread-safe: one test thread drives it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/codecs.h"

namespace vorla::platform {

struct FakeCodecScript {
  InstalledCodecInfo info;
  bool open_fails = false;
  bool open_throws = false;  // Open (for listing and for compressing) throws
  bool query_fails = false;
  uint32_t default_quality = 7500;
  int fail_frame = -1;   // Compress fails for this frame number
  int throw_frame = -1;  // Compress throws for this frame number
};

struct FakeCodecCall {
  std::string what;  // "open", "query", "default_quality", "begin", "end", "compress", "info"
  bool key_frame = false;
  uint32_t frame_number = 0;
  uint32_t quality = 0;
  std::vector<uint8_t> previous_head;  // the first 4 bytes of the previous frame given
};

class FakeCodecRegistry final : public CodecRegistry {
 public:
  void Install(FakeCodecScript script) { codecs_.push_back(std::move(script)); }
  const std::vector<FakeCodecCall>& calls() const { return calls_; }
  void ClearCalls() { calls_.clear(); }
  // Calls of one kind, in order.
  std::vector<FakeCodecCall> CallsOf(const std::string& what) const;
  int open_compressors() const { return open_; }

  bool InfoByIndex(uint32_t type, uint32_t index, InstalledCodecInfo& out) override;
  bool InfoByHandler(uint32_t type, uint32_t handler, InstalledCodecInfo& out) override;
  std::unique_ptr<CodecCompressor> Open(uint32_t type, uint32_t handler,
                                        bool query_only) override;

 private:
  friend class FakeCompressor;
  std::vector<FakeCodecScript> codecs_;
  std::vector<FakeCodecCall> calls_;
  int open_ = 0;
};

// Installs a registry for the lifetime of the object.
class ScopedCodecRegistryOverride {
 public:
  explicit ScopedCodecRegistryOverride(CodecRegistry& r) { SetCodecRegistryForTesting(&r); }
  ~ScopedCodecRegistryOverride() { SetCodecRegistryForTesting(nullptr); }
  ScopedCodecRegistryOverride(const ScopedCodecRegistryOverride&) = delete;
  ScopedCodecRegistryOverride& operator=(const ScopedCodecRegistryOverride&) = delete;
};

}  // namespace vorla::platform
