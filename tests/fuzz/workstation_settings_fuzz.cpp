// libFuzzer target: WorkstationSettings::Deserialize over any bytes (a Configurator message's
// settings part). Property, beyond "does not crash": a read either fails and changes nothing,
// or succeeds with a size no larger than the input, and the record then written back in the
// layout of the version it was read with (Serialize after restoring that Version) is exactly the
// bytes the read consumed; the record read back from those bytes equals the first one.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "common/byte_reader.h"
#include "common/byte_writer.h"
#include "config/workstation_settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using vorla::WorkstationSettings;
  const std::span<const uint8_t> bytes(data, size);

  // A record that is not the default, so that "changes nothing" is visible.
  WorkstationSettings sentinel;
  sentinel.SCServerIP = u"sentinel";
  sentinel.Flags = 0xDEADBEEF;
  WorkstationSettings r = sentinel;
  vorla::ByteReader in(bytes);
  size_t used = 12345;
  if (!r.Deserialize(in, used)) {
    if (!(r == sentinel) || !in.failed() || used != 12345) std::abort();
    return 0;
  }
  if (used > size || used != in.position() || r.Version != vorla::kSettingsVersion) std::abort();

  // The version the bytes carry (the first four bytes, little-endian).
  const uint32_t version = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                           static_cast<uint32_t>(data[2]) << 16 |
                           static_cast<uint32_t>(data[3]) << 24;
  WorkstationSettings as_read = r;
  as_read.Version = version;
  vorla::ByteWriter w;
  as_read.Serialize(w);
  if (w.bytes() != std::vector<uint8_t>(data, data + used)) std::abort();

  // The current layout reads back to the same record.
  vorla::ByteWriter w7;
  r.Serialize(w7);
  WorkstationSettings again;
  vorla::ByteReader in7(w7.bytes());
  size_t used7 = 0;
  if (!again.Deserialize(in7, used7) || used7 != w7.size() || !(again == r)) std::abort();
  return 0;
}
