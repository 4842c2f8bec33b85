#include "net/wssvrapi.h"

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <thread>

#include "net/net_test_util.h"
#include "platform/fake/fake_clock.h"
#include "security/security_server.h"
#include "support/test_peer.h"

namespace vorla {
namespace {

PayloadBuffer StatusPart(uint32_t kind, uint32_t value) {
  ByteWriter w;
  w.U32(kind);
  w.U32(value);
  return PayloadBuffer::CopyOf(w.bytes());
}

// Runs a scripted recording server on a thread: handshake, registration, then `script`.
class ServerScript {
 public:
  explicit ServerScript(std::function<void(test::TestPeer&)> script)
      : done_(std::async(std::launch::async, [this, script] {
          if (!peer_.Handshake()) return false;
          auto reg = peer_.Read();
          if (!reg || reg->header.type != nwmt_ws_register) return false;
          registration_ = *reg;
          script(peer_);
          return true;
        })) {}
  bool Finish() { return done_.get(); }
  uint16_t port() const { return peer_.port(); }
  netw_message_t registration_;

 private:
  test::TestPeer peer_;
  std::future<bool> done_;
};

class WSSVRAPITest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SecurityServer::Instance().Initialize()); }
  Status ConnectTo(ServerScript& s) {
    return api_.Connect(u"127.0.0.1", s.port(), u"WS-7", 0x0A00A8C0);
  }
  test::LogCapture log_;
  WSSVRAPI api_;
};

TEST_F(WSSVRAPITest, RegistersAndGetsANewSession) {
  netw_message_t request;
  ServerScript server([&](test::TestPeer& peer) {
    request = peer.Read().value_or(netw_message_t{});
    SessionRecord answer;
    answer.session_id = u"SID-1";
    answer.workstation_name = u"WS-7";
    answer.server_text1 = u"srv";
    answer.server_texts = {u"one"};
    ByteWriter w;
    WriteRecord(w, answer);
    peer.Send(MakeNetwMessage(nwmt_ws_sessioninfo, PayloadBuffer::Allocate(4),
                              PayloadBuffer::CopyOf(w.bytes())),
              true, kNetwFlagFromWorkstation);
    peer.Read();  // the close notice
  });
  ASSERT_EQ(ConnectTo(server), 0u);
  SessionRecord session;
  session.user_name = u"alice";
  EXPECT_EQ(api_.NewSession(session, {}), 0u);
  EXPECT_EQ(session.session_id, u"SID-1");
  EXPECT_EQ(session.server_texts, std::vector<std::u16string>{u"one"});
  api_.Close();
  EXPECT_FALSE(api_.IsConnected());
  ASSERT_TRUE(server.Finish());

  ByteReader reg(server.registration_.part1.span());
  RegistrationRecord r;
  ASSERT_TRUE(ReadRecord(reg, r));
  EXPECT_EQ(r.workstation_name, u"WS-7");
  EXPECT_EQ(r.workstation_address, 0x0A00A8C0u);
  EXPECT_EQ(request.header.type, nwmt_ws_newsession);
  ByteReader sizes(request.part1.span());
  uint32_t record_size = 0, rules_size = 0;
  ASSERT_TRUE(sizes.U32(record_size) && sizes.U32(rules_size));
  EXPECT_EQ(rules_size, 4u);
  EXPECT_EQ(request.header.length2, record_size + 4);
}

TEST_F(WSSVRAPITest, AnswersToANewSessionWait) {
  struct Case {
    const char* name;
    netw_message_t answer;
    Status want;
  };
  const Case cases[] = {
      {"kind 3 refusal", MakeNetwMessage(nwmt_status, StatusPart(3, 0xC0000FAF)), 0xC0000FAF},
      {"kind 4 is not an answer", MakeNetwMessage(nwmt_status, StatusPart(4, 0xC0000FAF)),
       kStatusServerResponseTimeout},
      {"absent record", MakeNetwMessage(nwmt_ws_sessioninfo, {}, PayloadBuffer::Allocate(4)),
       kStatusServerResponseTimeout},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ServerScript server([&](test::TestPeer& peer) {
      peer.Read();
      peer.Send(c.answer, true, kNetwFlagFromWorkstation);
    });
    ASSERT_EQ(ConnectTo(server), 0u);
    SessionRecord session;
    EXPECT_EQ(api_.NewSession(session, {}), c.want);
    EXPECT_EQ(api_.Incoming()->Size(), 0u);  // the answer was consumed
    ASSERT_TRUE(server.Finish());
    api_.Close();
  }
}

TEST_F(WSSVRAPITest, SegmentAnswerWithPresenceZeroStillSucceeds) {
  platform::FakeClock clock(1700000123456);
  platform::ScopedClockOverride use(clock);
  netw_message_t request;
  ServerScript server([&](test::TestPeer& peer) {
    request = peer.Read().value_or(netw_message_t{});
    peer.Send(MakeNetwMessage(nwmt_ws_segmentinfo, {}, PayloadBuffer::Allocate(4)), true,
              kNetwFlagFromWorkstation);
  });
  ASSERT_EQ(ConnectTo(server), 0u);
  SegmentRecord segment;
  segment.segment_id = u"old";
  segment.frame_rate = 5;
  segment.start_time = 1;
  EXPECT_EQ(api_.NewSegment(segment), 0u);
  EXPECT_EQ(segment.segment_id, u"");
  EXPECT_EQ(segment.start_time, 1700000123000u);
  EXPECT_EQ(segment.end_time, 1700000123000u);
  EXPECT_EQ(segment.frame_rate, 0u);
  ASSERT_TRUE(server.Finish());
  EXPECT_EQ(request.header.type, nwmt_ws_newsegment);
  EXPECT_EQ(test::Word(request.part1, 0), request.header.length2);
  api_.Close();  // the receive thread must be gone before the fake clock is
}

TEST_F(WSSVRAPITest, SegmentRefusalAndFireAndForgetMessages) {
  std::vector<netw_message_t> seen;
  ServerScript server([&](test::TestPeer& peer) {
    seen.push_back(peer.Read().value_or(netw_message_t{}));
    peer.Send(MakeNetwMessage(nwmt_status, StatusPart(4, 0xC0000FB0)), true, 2);
    for (int i = 0; i < 4; ++i) seen.push_back(peer.Read().value_or(netw_message_t{}));
  });
  ASSERT_EQ(ConnectTo(server), 0u);
  SegmentRecord segment;
  EXPECT_EQ(api_.NewSegment(segment), 0xC0000FB0u);
  EventRecord event;
  event.event_id = u"EVT_1";
  EXPECT_EQ(api_.EventInfo(event, true), 0u);
  FrameHeader fh;
  fh.data_length = 3;
  EXPECT_EQ(api_.SegmentData(PayloadBuffer::CopyOf(std::vector<uint8_t>{1, 2, 3}), fh), 0u);
  api_.CloseSegment(segment);
  api_.CloseSession(SessionRecord{});
  ASSERT_TRUE(server.Finish());
  ASSERT_EQ(seen.size(), 5u);
  EXPECT_EQ(seen[1].header.type, nwmt_ws_eventinfo);
  EXPECT_EQ(seen[1].part1.data()[0], 1);
  EXPECT_EQ(seen[2].header.type, nwmt_ws_segmentdata);
  EXPECT_EQ(seen[2].header.length1, 80u);
  EXPECT_EQ(seen[2].part2.data()[2], 3);
  EXPECT_EQ(seen[3].header.type, nwmt_ws_closesegment);
  EXPECT_EQ(seen[4].header.type, nwmt_ws_closesession);
}

TEST_F(WSSVRAPITest, NotConnected) {
  api_.Close();  // never connected: nothing to send, nothing breaks
  SessionRecord s;
  SegmentRecord g;
  EXPECT_EQ(api_.NewSession(s, {}), kStatusNoActiveConnection);
  EXPECT_EQ(api_.NewSegment(g), kStatusNoActiveConnection);
  EXPECT_EQ(api_.EventInfo(EventRecord{}, false), kStatusNoActiveConnection);
  EXPECT_EQ(api_.SegmentData({}, FrameHeader{}), kStatusNoActiveConnection);
  EXPECT_EQ(api_.Forward(MakeNetwMessage(nwmt_ws_status)), kStatusNoActiveConnection);
  EXPECT_EQ(api_.Incoming(), nullptr);
}

}  // namespace
}  // namespace vorla
