// What the recording server writes and sends, against bytes written by hand from the layouts:
// the IVF headers, the answers to new sessions and segments, the status messages; and the JSON
// escaping of peer texts and the command line.
#include <gtest/gtest.h>

#include <vector>

#include "ivf_writer.h"
#include "options.h"
#include "recording_index.h"
#include "server_messages.h"
#include "support/temp_dir.h"

namespace vorla::recsrv {
namespace {

std::vector<uint8_t> Bytes(std::span<const uint8_t> s) { return {s.begin(), s.end()}; }

TEST(IvfFormatTest, FileAndFrameHeadersHaveTheirByteLayout) {
  IvfStreamInfo info;
  info.fourcc = 0x30385056;  // "VP80"
  info.width = 640;
  info.height = 480;
  const std::vector<uint8_t> file_header = {
      'D',  'K',  'I',  'F',    // signature
      0x00, 0x00,               // version 0
      0x20, 0x00,               // header size 32
      'V',  'P',  '8',  '0',    // fourcc
      0x80, 0x02,               // width 640
      0xE0, 0x01,               // height 480
      0xE8, 0x03, 0x00, 0x00,   // rate 1000
      0x01, 0x00, 0x00, 0x00,   // scale 1: time stamps in milliseconds
      0x07, 0x01, 0x00, 0x00,   // 263 frames
      0x00, 0x00, 0x00, 0x00};  // unused
  EXPECT_EQ(Bytes(IvfFileHeaderBytes(info, 263)), file_header);

  const std::vector<uint8_t> frame_header = {0x34, 0x12, 0x00, 0x00,  // 0x1234 bytes
                                             0x05, 0x04, 0x03, 0x02, 0x01, 0x00, 0x00, 0x00};
  EXPECT_EQ(Bytes(IvfFrameHeaderBytes(0x1234, 0x0102030405ull)), frame_header);
}

TEST(IvfFormatTest, FileCarriesItsFramesAndTheFinalCount) {
  test::ScopedTempDir dir;
  const std::string path = dir.Sub("a.ivf");
  IvfFile f;
  IvfStreamInfo info;
  info.fourcc = 0x30385056;
  info.width = 2;
  info.height = 2;
  ASSERT_TRUE(f.Open(path, info));
  const std::vector<uint8_t> a = {1, 2, 3}, b = {4};
  ASSERT_TRUE(f.Append(a, 0));
  ASSERT_TRUE(f.Append(b, 40));
  ASSERT_TRUE(f.Close());
  const std::string s = test::ReadFile(path);
  const auto header = IvfFileHeaderBytes(info, 2);
  std::vector<uint8_t> expected(header.begin(), header.end());
  for (uint8_t x : {3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3}) expected.push_back(x);
  for (uint8_t x : {1, 0, 0, 0, 40, 0, 0, 0, 0, 0, 0, 0, 4}) expected.push_back(x);
  EXPECT_EQ(std::vector<uint8_t>(s.begin(), s.end()), expected);
}

TEST(ServerAnswerTest, SessionInfoCarriesTheRecordWithOurId) {
  SessionRecord s;
  s.session_id = u"S1";
  s.workstation_name = u"W";
  s.workstation_address = 0x0100007F;  // 127.0.0.1
  s.user_name = u"u";
  s.seating_type = 2;
  s.start_time = 1000;
  s.session_flags = 0x40;
  const netw_message_t m = BuildSessionInfoAnswer(s);
  const std::vector<uint8_t> record = {
      0x01, 0x00, 0x00, 0x00,                          // presence
      'S',  0,    '1',  0,    0,    0,                 // session id
      'W',  0,    0,    0,                             // workstation name
      0x7F, 0x00, 0x00, 0x01,                          // address
      0,    0,    0,    0,    0,    0,                 // three server texts
      'u',  0,    0,    0,                             // user name
      0x02, 0x00, 0x00, 0x00,                          // seating type
      0xE8, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // start time 1000
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // end time 0
      0x40, 0x00, 0x00, 0x00,                          // flags: frames enciphered
      0x00, 0x00, 0x00, 0x00};                         // no server texts
  EXPECT_EQ(m.header.type, 32u);
  EXPECT_EQ(m.header.length1, 4u);
  EXPECT_EQ(m.header.length2, record.size());
  EXPECT_EQ(Bytes(m.part1.span()), (std::vector<uint8_t>{56, 0, 0, 0}));
  EXPECT_EQ(Bytes(m.part2.span()), record);
}

TEST(ServerAnswerTest, SegmentInfoCarriesTheRecordWithOurId) {
  SegmentRecord g;
  g.segment_id = u"G";
  g.start_time = 2000;
  g.end_time = 2000;
  g.frame_rate = 5;
  g.width = 64;
  g.height = 48;
  g.codec_fcc = 0x30385056;
  g.quality = 50;
  const netw_message_t m = BuildSegmentInfoAnswer(g);
  const std::vector<uint8_t> record = {
      0x01, 0x00, 0x00, 0x00,                          // presence
      'G',  0,    0,    0,                             // segment id
      0xD0, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // start 2000
      0xD0, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // end 2000
      0x05, 0x00, 0x00, 0x00,                          // frame rate
      0,    0,    0,    0,    0,    0,    0,    0,     // x, y
      0x40, 0x00, 0x00, 0x00, 0x30, 0x00, 0x00, 0x00,  // width 64, height 48
      'V',  'P',  '8',  '0',                           // codec
      0x32, 0x00, 0x00, 0x00,                          // quality 50
      0,    0,    0,    0,    0,    0,    0,    0,     // reserved
      0,    0,    0,    0};                            // two empty texts
  EXPECT_EQ(m.header.type, 33u);
  EXPECT_EQ(m.header.length2, record.size());
  EXPECT_EQ(Bytes(m.part1.span()), (std::vector<uint8_t>{64, 0, 0, 0}));
  EXPECT_EQ(Bytes(m.part2.span()), record);
}

TEST(ServerAnswerTest, StatusMessagesCarryKindAndValue) {
  struct Case {
    uint32_t kind, value;
    std::vector<uint8_t> bytes;
  };
  const Case cases[] = {
      {3, 0xC0000FAF, {0x03, 0, 0, 0, 0xAF, 0x0F, 0x00, 0xC0}},  // session refused
      {4, 0xC0000FA9, {0x04, 0, 0, 0, 0xA9, 0x0F, 0x00, 0xC0}},  // segment refused
      {2, 0, {0x02, 0, 0, 0, 0, 0, 0, 0}},                       // shutting down
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    const netw_message_t m = BuildStatusMessage(c.kind, c.value);
    EXPECT_EQ(m.header.type, 2u);
    EXPECT_EQ(m.header.length1, 8u);
    EXPECT_EQ(m.header.length2, 0u);
    EXPECT_EQ(Bytes(m.part1.span()), c.bytes);
  }
}

TEST(ServerReadTest, NewSessionStaysWithinItsAnnouncedSizes) {
  // Part 1: record size 56, rule block 4; part 2: the record of the test above, then count 0.
  std::vector<uint8_t> record = Bytes(BuildSessionInfoAnswer(SessionRecord{}).part2.span());
  const uint32_t size = static_cast<uint32_t>(record.size());
  std::vector<uint8_t> part2 = record;
  for (uint8_t x : {2, 0, 0, 0}) part2.push_back(x);  // two rules announced
  netw_message_t m = MakeNetwMessage(
      80,
      PayloadBuffer::CopyOf(std::vector<uint8_t>{static_cast<uint8_t>(size), 0, 0, 0, 4, 0, 0, 0}),
      PayloadBuffer::CopyOf(part2));
  SessionRecord s;
  uint32_t rules = 0;
  ASSERT_TRUE(ReadNewSession(m, s, rules));
  EXPECT_EQ(rules, 2u);
  // A record size beyond part 2 is refused, not read past.
  m.part1 = PayloadBuffer::CopyOf(std::vector<uint8_t>{0xFF, 0, 0, 0, 4, 0, 0, 0});
  EXPECT_FALSE(ReadNewSession(m, s, rules));
  // A cut part 1.
  m.part1 = PayloadBuffer::CopyOf(std::vector<uint8_t>{56, 0});
  EXPECT_FALSE(ReadNewSession(m, s, rules));
}

TEST(JsonTest, PeerTextsAreEscapedToAsciiJson) {
  const struct {
    std::u16string in;
    std::string out;
  } cases[] = {
      {u"plain", "\"plain\""},
      {u"q\"b\\", "\"q\\\"b\\\\\""},
      {u"a\nb\t\x01", "\"a\\nb\\t\\u0001\""},
      {u"\u00e9\U0001F600", "\"\\u00E9\\uD83D\\uDE00\""},
      {std::u16string(1, char16_t(0xD800)), "\"\\uD800\""},  // a lone surrogate stays valid JSON
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.out);
    EXPECT_EQ(JsonString(c.in), c.out);
  }
}

TEST(OptionsTest, CommandLine) {
  std::string error;
  auto o = ParseOptions({"--port", "0", "--refuse-segments", "0xC0000FAF", "--no-answer",
                         "sessions", "--drop-after-frames", "3", "--password", "p\xC3\xA9"},
                        error);
  ASSERT_TRUE(o) << error;
  EXPECT_EQ(o->port, 0);
  EXPECT_EQ(o->refuse_segments, 0xC0000FAFu);
  EXPECT_TRUE(o->no_session_answer);
  EXPECT_FALSE(o->no_segment_answer);
  EXPECT_EQ(o->drop_after_frames, 3u);
  EXPECT_EQ(o->password, u"p\u00e9");
  EXPECT_EQ(o->address, "127.0.0.1");

  for (const std::vector<std::string>& bad : {std::vector<std::string>{"--port", "65536"},
                                              {"--port"},
                                              {"--port", "12x"},
                                              {"--no-answer", "some"},
                                              {"--frobnicate"},
                                              {"--refuse-sessions", "-1"}}) {
    SCOPED_TRACE(bad[0]);
    EXPECT_FALSE(ParseOptions(bad, error));
    EXPECT_FALSE(error.empty());
  }
  // Every option is explained by --help.
  const std::string help = HelpText();
  for (const char* name :
       {"--address", "--port", "--output", "--password", "--refuse-sessions", "--refuse-segments",
        "--answer-delay", "--no-answer", "--drop-after-frames", "--frame-lines", "--help"})
    EXPECT_NE(help.find(name), std::string::npos) << name;
}

}  // namespace
}  // namespace vorla::recsrv
