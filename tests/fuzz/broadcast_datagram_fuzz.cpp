// libFuzzer target: ParseDatagram (net/broadcast_client.h) over any bytes, as a Configurator's
// UDP announcement arrives. Property, beyond "does not crash": the result is 0 or 10053 and
// nothing else; 10053 leaves the message untouched; 0 comes only for 1 to 512 bytes and gives a
// message whose parts have the header's lengths, whose header plus parts fit in the datagram,
// and whose 64 header bytes (reserved bytes included) and parts are exactly the datagram's
// leading bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "net/broadcast_client.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vorla;
  const std::span<const uint8_t> bytes(data, size);
  netw_message_t m;
  m.header.type = 0xFEEDu;  // a sentinel that a failed parse must keep
  const Status s = ParseDatagram(bytes, m);
  if (s == kBroadcastNothing) {
    if (m.header.type != 0xFEEDu || m.part1.size() != 0 || m.part2.size() != 0) std::abort();
    return 0;
  }
  if (s != 0) std::abort();
  if (size == 0 || size > kDatagramLimit) std::abort();
  const uint64_t total = kNetwHeaderSize + uint64_t{m.header.length1} + m.header.length2;
  if (total > size || m.part1.size() != m.header.length1 || m.part2.size() != m.header.length2)
    std::abort();
  const auto header = NetwHeaderBytes(m.header);
  for (size_t i = 0; i < kNetwHeaderSize; ++i)
    if (header[i] != data[i]) std::abort();
  const uint8_t* p = data + kNetwHeaderSize;
  for (size_t i = 0; i < m.part1.size(); ++i)
    if (m.part1.data()[i] != p[i]) std::abort();
  p += m.part1.size();
  for (size_t i = 0; i < m.part2.size(); ++i)
    if (m.part2.data()[i] != p[i]) std::abort();
  return 0;
}
