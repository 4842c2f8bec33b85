// libFuzzer target: each recording-server record reader over any bytes either reads a record
// that writes back as exactly the bytes it consumed, or fails without reading past the bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "net/server_records.h"
#include "net/wssvrapi.h"

namespace {

using namespace vorla;

template <class R>
void RoundTrip(std::span<const uint8_t> bytes) {
  ByteReader in(bytes);
  R r;
  if (!ReadRecord(in, r)) return;
  if (r.presence == 0) return;  // absent: nothing more was read
  if (r.presence != 1) return;  // written back as 1, so not comparable byte for byte
  ByteWriter w;
  WriteRecord(w, r);
  if (w.size() != in.position() || w.size() != RecordSize(r)) std::abort();
  for (size_t i = 0; i < w.size(); ++i)
    if (w.bytes()[i] != bytes[i]) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  RoundTrip<RegistrationRecord>(bytes);
  RoundTrip<SessionRecord>(bytes);
  RoundTrip<SegmentRecord>(bytes);
  RoundTrip<EventRecord>(bytes);
  FrameHeader h;
  ReadFrameHeader(bytes, h);
  // The answers as WSSVRAPI reads them.
  const netw_message_t session =
      MakeNetwMessage(nwmt_ws_sessioninfo, {}, PayloadBuffer::CopyOf(bytes));
  SessionRecord s;
  ReadSessionAnswer(session, s);
  netw_message_t segment = session;
  segment.header.type = nwmt_ws_segmentinfo;
  SegmentRecord g;
  ReadSegmentAnswer(segment, 0, g);
  netw_message_t status = MakeNetwMessage(nwmt_status, PayloadBuffer::CopyOf(bytes));
  ReadSessionAnswer(status, s);
  return 0;
}
