#include "net/server_records.h"

#include <gtest/gtest.h>

#include <vector>

#include "net/wssvrapi.h"

namespace vorla {
namespace {

using Bytes = std::vector<uint8_t>;

template <class R>
Bytes Written(const R& r) {
  ByteWriter w;
  WriteRecord(w, r);
  EXPECT_EQ(w.size(), RecordSize(r));
  return w.Take();
}

template <class R>
R ReadBack(const Bytes& b) {
  ByteReader in(b);
  R r;
  r.presence = 99;
  EXPECT_TRUE(ReadRecord(in, r));
  EXPECT_EQ(in.remaining(), 0u);
  return r;
}

TEST(ServerRecordsTest, RegistrationRecordGolden) {
  RegistrationRecord r;
  r.workstation_name = u"WS1";
  r.workstation_address = 0x0100007F;
  const Bytes golden = {0x01, 0x00, 0x00, 0x00, 'W', 0, 'S', 0, '1', 0, 0, 0, 0x7F, 0, 0, 0x01};
  EXPECT_EQ(Written(r), golden);
  EXPECT_EQ(ReadBack<RegistrationRecord>(golden), r);
}

SessionRecord SampleSession() {
  SessionRecord s;
  s.session_id = u"S1";
  s.workstation_name = u"W";
  s.workstation_address = 0x04030201;
  s.server_text1 = u"a";
  s.user_name = u"U";
  s.seating_type = 2;
  s.start_time = 1700000000000;
  s.session_flags = kSessionFlagFramesEnciphered;
  s.server_texts = {u"x", u"yz"};
  return s;
}

TEST(ServerRecordsTest, SessionRecordGoldenWithTextsAndAList) {
  const Bytes golden = {0x01, 0x00, 0x00, 0x00,                          // presence
                        'S',  0,    '1',  0,    0,    0,                 // session id
                        'W',  0,    0,    0,                             // workstation name
                        0x01, 0x02, 0x03, 0x04,                          // address
                        'a',  0,    0,    0,                             // server text 1
                        0,    0,                                         // server text 2
                        0,    0,                                         // server text 3
                        'U',  0,    0,    0,                             // user
                        0x02, 0x00, 0x00, 0x00,                          // seating type
                        0x00, 0x68, 0xE5, 0xCF, 0x8B, 0x01, 0x00, 0x00,  // start 1700000000000
                        0,    0,    0,    0,    0,    0,    0,    0,     // end
                        0x40, 0x00, 0x00, 0x00,                          // flags
                        0x02, 0x00, 0x00, 0x00,                          // two texts
                        'x',  0,    0,    0,    'y',  0,    'z',  0,    0, 0};
  const SessionRecord s = SampleSession();
  EXPECT_EQ(Written(s), golden);
  EXPECT_EQ(golden.size(), 68u);
  EXPECT_EQ(ReadBack<SessionRecord>(golden), s);
}

TEST(ServerRecordsTest, SegmentRecordGolden) {
  SegmentRecord g;
  g.segment_id = u"G";
  g.start_time = 1000;
  g.end_time = 2000;
  g.frame_rate = 5;
  g.x = 1;
  g.y = -2;
  g.width = 640;
  g.height = 480;
  g.codec_fcc = 0x30385056;  // "VP80"
  g.quality = 60;
  g.segment_text2 = u"t";
  const Bytes golden = {
      0x01, 0,    0,    0,    'G', 0, 0,    0,    0xE8, 0x03, 0,   0,    0,   0,   0,    0,    0xD0,
      0x07, 0,    0,    0,    0,   0, 0,    0x05, 0,    0,    0,   0x01, 0,   0,   0,    0xFE, 0xFF,
      0xFF, 0xFF, 0x80, 0x02, 0,   0, 0xE0, 0x01, 0,    0,    'V', 'P',  '8', '0', 0x3C, 0,    0,
      0,    0,    0,    0,    0,   0, 0,    0,    0,    0,    0,   't',  0,   0,   0};
  EXPECT_EQ(Written(g), golden);
  EXPECT_EQ(golden.size(), 66u);
  EXPECT_EQ(ReadBack<SegmentRecord>(golden), g);
}

TEST(ServerRecordsTest, EventRecordGolden) {
  EventRecord e;
  e.event_id = u"E";
  e.rule_reference = 7;
  e.start_time = 1000;
  e.recorded_bytes = 0x0102;
  const Bytes golden = {0x01, 0, 0, 0, 'E', 0, 0, 0, 0x07, 0, 0, 0, 0xE8, 0x03, 0, 0,
                        0,    0, 0, 0, 0,   0, 0, 0, 0,    0, 0, 0, 0x02, 0x01, 0, 0,
                        0,    0, 0, 0, 0,   0, 0, 0, 0,    0, 0, 0, 0,    0,    0, 0};
  EXPECT_EQ(Written(e), golden);
  EXPECT_EQ(golden.size(), 48u);
  EXPECT_EQ(ReadBack<EventRecord>(golden), e);
}

TEST(ServerRecordsTest, FrameHeaderGoldenAndAlways80Bytes) {
  FrameHeader h;
  h.capture_time = 1000;
  h.codec_fcc = 0x30385056;
  h.quality = 60;
  h.frame_flags = kFrameFlagKeyFrame | kFrameFlagDigestValid;
  h.data_length = 200000;
  h.width = 1920;
  h.height = 1080;
  h.digest = {0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18};
  std::array<uint8_t, 80> golden = {0x01, 0,    0,    0,    0xE8, 0x03, 0,    0,   0,    0, 0, 0,
                                    'V',  'P',  '8',  '0',  0x3C, 0,    0,    0,   0x05, 0, 0, 0,
                                    0x40, 0x0D, 0x03, 0,    0,    0,    0,    0,   0,    0, 0, 0,
                                    0x80, 0x07, 0,    0,    0x38, 0x04, 0,    0,   0,    0, 0, 0,
                                    0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18};
  EXPECT_EQ(WriteFrameHeader(h), golden);
  FrameHeader back;
  ASSERT_TRUE(ReadFrameHeader(golden, back));
  EXPECT_EQ(back, h);
  const auto m = BuildSegmentDataMessage(PayloadBuffer::Allocate(5000000), h);
  EXPECT_EQ(m.header.length1, 80u);
  EXPECT_EQ(m.header.length2, 5000000u);
}

TEST(ServerRecordsTest, NewSessionMessageWithEmptyRuleBlock) {
  SessionRecord s;
  s.workstation_name = u"W";
  netw_message_t m;
  ASSERT_TRUE(BuildNewSessionMessage(s, {}, m));
  EXPECT_EQ(m.header.type, nwmt_ws_newsession);
  const Bytes part1(m.part1.span().begin(), m.part1.span().end());
  EXPECT_EQ(part1, (Bytes{50, 0, 0, 0, 4, 0, 0, 0}));
  const Bytes golden2 = {0x01, 0, 0, 0, 0, 0, 'W', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                         0,    0, 0, 0, 0, 0, 0,   0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                         0,    0, 0, 0, 0, 0, 0,   0, 0, 0, 0, 0, 0, 0, 0, 0,  // the record (50
                                                                               // bytes)
                         0,    0, 0, 0};                                       // rule count 0
  EXPECT_EQ(Bytes(m.part2.span().begin(), m.part2.span().end()), golden2);

  RuleList broken = {std::make_shared<TriggerRule>()};  // no first input: cannot be written
  EXPECT_FALSE(BuildNewSessionMessage(s, broken, m));
}

TEST(ServerRecordsTest, RecordsThatRunPastTheirPartFail) {
  const Bytes full = Written(SampleSession());
  for (size_t cut : {size_t{2}, size_t{5}, size_t{30}, full.size() - 1}) {
    SCOPED_TRACE(cut);
    ByteReader in(std::span<const uint8_t>(full).first(cut));
    SessionRecord r;
    r.user_name = u"kept";
    EXPECT_FALSE(ReadRecord(in, r));
    EXPECT_EQ(r.user_name, u"kept");
  }
  // A list count far beyond the bytes fails before anything is reserved.
  Bytes huge = Written(EventRecord{});
  huge[huge.size() - 4] = 0xFF;
  huge[huge.size() - 1] = 0x7F;
  ByteReader in(huge);
  EventRecord e;
  EXPECT_FALSE(ReadRecord(in, e));
  // Presence 0: absent, nothing more read.
  const Bytes absent = {0, 0, 0, 0};
  ByteReader a(absent);
  SegmentRecord g;
  g.frame_rate = 9;
  ASSERT_TRUE(ReadRecord(a, g));
  EXPECT_EQ(g.presence, 0u);
  EXPECT_EQ(g.frame_rate, 9u);  // nothing more was read

  netw_message_t answer = MakeNetwMessage(
      nwmt_ws_sessioninfo, {}, PayloadBuffer::CopyOf(std::span<const uint8_t>(full).first(40)));
  SessionRecord s;
  EXPECT_EQ(ReadSessionAnswer(answer, s), kStatusServerResponseTimeout);
}

}  // namespace
}  // namespace vorla
