#include <atomic>

#include "platform/codecs.h"

namespace vorla::platform {
namespace {

// No installable compressors exist on this system.
class EmptyCodecRegistry final : public CodecRegistry {
 public:
  bool InfoByIndex(uint32_t, uint32_t, InstalledCodecInfo&) override { return false; }
  bool InfoByHandler(uint32_t, uint32_t, InstalledCodecInfo&) override { return false; }
  std::unique_ptr<CodecCompressor> Open(uint32_t, uint32_t, bool) override { return nullptr; }
};

std::atomic<CodecRegistry*> g_override{nullptr};

}  // namespace

CodecRegistry& GetCodecRegistry() {
  static EmptyCodecRegistry system_registry;
  CodecRegistry* r = g_override.load();
  return r != nullptr ? *r : system_registry;
}

void SetCodecRegistryForTesting(CodecRegistry* registry) { g_override.store(registry); }

}  // namespace vorla::platform
