#include "net/netw_message.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "net/thread_safe_queue.h"
#include "platform/fake/fake_clock.h"

namespace vorla {
namespace {

// Written out by hand from the wire table: offsets 0..63, little-endian.
const std::array<uint8_t, 64> kGoldenHeader = {
    0x50, 0x00, 0x00, 0x00,                          // type 80
    0x08, 0x00, 0x00, 0x00,                          // length1 8
    0x34, 0x12, 0x00, 0x00,                          // length2 0x1234
    0x00, 0x00, 0x00, 0x00,                          // reserved
    0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,  // time stamp
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // reserved
    0x06, 0x00,                                      // flags 2 | 4
    0x0B, 0x00,                                      // key index 11
    0xD4, 0xC3, 0xB2, 0xA1,                          // nonce word
    0,    0,    0,    0,    0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

TEST(NetwHeaderTest, WritesAndReadsTheWireLayout) {
  netw_header h;
  h.type = nwmt_ws_newsession;
  h.length1 = 8;
  h.length2 = 0x1234;
  h.time_stamp = 0x0102030405060708ull;
  h.flags = kNetwFlagFromWorkstation | kNetwFlagSealed;
  h.key_index = 11;
  h.nonce_word = 0xA1B2C3D4;
  EXPECT_EQ(NetwHeaderBytes(h), kGoldenHeader);
  const auto back = ReadNetwHeader(kGoldenHeader);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, h);
}

TEST(NetwHeaderTest, KeepsReservedBytesAndRefusesShortInput) {
  auto raw = kGoldenHeader;
  raw[13] = 0x77;
  raw[25] = 0x66;
  raw[63] = 0x55;
  const auto h = ReadNetwHeader(raw);
  ASSERT_TRUE(h.has_value());
  EXPECT_EQ(NetwHeaderBytes(*h), raw);  // a received header goes out unchanged
  EXPECT_FALSE(ReadNetwHeader(std::span<const uint8_t>(raw).first(63)).has_value());
}

TEST(NetwMessageTest, BuilderSetsOnlyTypeAndLengthsAndCopiesShareParts) {
  const auto m =
      MakeNetwMessage(nwmt_ws_eventinfo, PayloadBuffer::Allocate(1), PayloadBuffer::Allocate(44));
  netw_header expected;
  expected.type = nwmt_ws_eventinfo;
  expected.length1 = 1;
  expected.length2 = 44;
  EXPECT_EQ(m.header, expected);
  {
    const netw_message_t copy = m;  // NOLINT(performance-unnecessary-copy-initialization)
    EXPECT_EQ(copy.part1.data(), m.part1.data());
    EXPECT_EQ(m.part1.use_count(), 2);
    EXPECT_EQ(m.part2.use_count(), 2);
  }
  EXPECT_EQ(m.part1.use_count(), 1);
  EXPECT_EQ(netw_message_t{}.header, netw_header{});
}

using Queue = ThreadSafeQueue<netw_message_t>;

netw_message_t Numbered(uint32_t n) { return MakeNetwMessage(n, PayloadBuffer::Allocate(16)); }

TEST(ThreadSafeQueueTest, PushSharesPayloadAndPopHandsItOver) {
  Queue q;
  netw_message_t m = Numbered(5);
  q.Push(m);
  EXPECT_EQ(m.part1.use_count(), 2);  // the queued copy shares the bytes
  netw_message_t out;
  ASSERT_TRUE(q.Pop(out, 0));
  EXPECT_EQ(out.part1.data(), m.part1.data());
  EXPECT_EQ(m.part1.use_count(), 2);  // the queue's copy is gone, `out` holds it now
  EXPECT_EQ(q.Size(), 0u);
}

TEST(ThreadSafeQueueTest, ClearFreesPayloadsNoOneElseHolds) {
  Queue q;
  netw_message_t kept = Numbered(1);
  q.Push(kept);
  q.Push(Numbered(2));
  q.Push(Numbered(3));
  EXPECT_EQ(q.Size(), 3u);
  q.Clear();
  EXPECT_EQ(q.Size(), 0u);
  EXPECT_EQ(kept.part1.use_count(), 1);  // the queued copy let go
  netw_message_t out;
  EXPECT_FALSE(q.Pop(out, 0));
}

TEST(ThreadSafeQueueTest, PopOrderAndSingleSignalForTwoPushes) {
  Queue q;
  q.Push(Numbered(1));
  q.Push(Numbered(2));  // the event holds one signal for both
  netw_message_t a, b;
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(q.Pop(a, 1000));
  ASSERT_TRUE(q.Pop(b, 1000));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
  EXPECT_EQ(a.header.type, 1u);
  EXPECT_EQ(b.header.type, 2u);
}

TEST(ThreadSafeQueueTest, ZeroTimeoutOnEmptyQueueLeavesTheEvent) {
  Queue q;
  q.event().Set();
  netw_message_t out;
  EXPECT_FALSE(q.Pop(out, 0));
  EXPECT_TRUE(q.event().Wait(0));  // the signal is still there
  EXPECT_FALSE(q.TryPop(out));
}

TEST(ThreadSafeQueueTest, PopWaitsForAPushFromAnotherThread) {
  Queue q;
  std::thread producer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    q.Push(Numbered(9));
  });
  netw_message_t out;
  EXPECT_TRUE(q.Pop(out, platform::kWaitInfinite));
  EXPECT_EQ(out.header.type, 9u);
  producer.join();
}

TEST(ThreadSafeQueueTest, FiniteWaitEndsOnAWakeUpThatFindsNothing) {
  Queue q;
  std::thread thief([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    q.event().Set();  // a wake-up without an element: another consumer was faster
  });
  netw_message_t out;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(q.Pop(out, 5000));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2000));
  thief.join();
}

TEST(ThreadSafeQueueTest, PopWithinBudget) {
  Queue q;
  netw_message_t out;
  EXPECT_FALSE(q.PopWithin(out, platform::kWaitInfinite));  // refused at once

  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(q.PopWithin(out, 300));
  auto spent = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(spent, std::chrono::milliseconds(290));
  EXPECT_LT(spent, std::chrono::milliseconds(1500));

  // Stolen wake-ups do not end the budget early; an element arriving later is returned at once.
  std::thread producer([&] {
    for (int i = 0; i < 3; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      q.event().Set();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    q.Push(Numbered(7));
  });
  t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(q.PopWithin(out, 3000));
  spent = std::chrono::steady_clock::now() - t0;
  EXPECT_EQ(out.header.type, 7u);
  EXPECT_GE(spent, std::chrono::milliseconds(200));
  EXPECT_LT(spent, std::chrono::milliseconds(1500));
  producer.join();
}

TEST(ThreadSafeQueueTest, PopWithinEndsUnderAFakeClock) {
  // The budget must not depend on the process clock moving on its own.
  platform::FakeClock clock;
  platform::ScopedClockOverride use(clock);
  Queue q;
  netw_message_t out;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(q.PopWithin(out, 200));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500));
}

TEST(ThreadSafeQueueTest, ManyProducersAndConsumersLoseNothing) {
  Queue q;
  constexpr int kPerProducer = 2000;
  std::atomic<int> taken{0};
  std::vector<std::thread> threads;
  for (int p = 0; p < 3; ++p)
    threads.emplace_back([&] {
      for (int i = 0; i < kPerProducer; ++i) q.Push(Numbered(3));
    });
  for (int c = 0; c < 2; ++c)
    threads.emplace_back([&] {
      netw_message_t out;
      while (taken.load() < 3 * kPerProducer)
        if (q.Pop(out, 20)) taken.fetch_add(1);
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(taken.load(), 3 * kPerProducer);
  EXPECT_EQ(q.Size(), 0u);
}

TEST(ThreadSafeQueueTest, TryFrontAndDropFront) {
  ThreadSafeQueue<int> q;
  int v = 0;
  EXPECT_FALSE(q.TryFront(v));
  q.Push(4);
  q.Push(5);
  ASSERT_TRUE(q.TryFront(v));
  EXPECT_EQ(v, 4);
  EXPECT_EQ(q.Size(), 2u);
  q.DropFront();
  ASSERT_TRUE(q.TryPop(v));
  EXPECT_EQ(v, 5);
}

}  // namespace
}  // namespace vorla
