// The instance mutex, the bounded send of a TCP link and the control signals of a direct run.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/instance_mutex.h"
#include "platform/service_control.h"
#include "platform/sockets.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vorla::platform {
namespace {

TEST(InstanceMutex, OneHolderPerNameUntilItLetsGo) {
  test::ScopedTempDir dir;
  test::ScopedEnv env("VORLA_RUNTIME_DIR", dir.Sub("run/deeper"));
  auto first = ClaimInstanceMutex(u"Global\\WorkstationOpenEvent");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(ClaimInstanceMutex(u"Global\\WorkstationOpenEvent"), nullptr);
  // Another name (another remote client) is independent.
  EXPECT_NE(ClaimInstanceMutex(u"Global\\WSTSOpenEvent_RD_0000000007"), nullptr);
  first.reset();
  EXPECT_NE(ClaimInstanceMutex(u"Global\\WorkstationOpenEvent"), nullptr);
}

TEST(InstanceMutex, AKilledHolderReleasesIt) {
  test::ScopedTempDir dir;
  test::ScopedEnv env("VORLA_RUNTIME_DIR", dir.path());
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto held = ClaimInstanceMutex(u"Global\\WorkstationOpenEvent");
    const char c = held ? '1' : '0';
    (void)!write(ready[1], &c, 1);
    pause();
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, '1');
  EXPECT_EQ(ClaimInstanceMutex(u"Global\\WorkstationOpenEvent"), nullptr);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_NE(ClaimInstanceMutex(u"Global\\WorkstationOpenEvent"), nullptr);
  close(ready[0]);
  close(ready[1]);
}

TEST(TcpSocketSend, APeerThatStopsReadingFailsTheSendAfterTheLimit) {
  SetSendTimeLimitMsForTesting(300);
  auto listener = TcpListener::Listen(LoopbackAddress(), 0);
  ASSERT_NE(listener, nullptr);
  auto socket = TcpSocket::Create();
  ASSERT_EQ(socket->Connect(LoopbackAddress(), listener->port()), 0u);
  auto far = listener->Accept(2000);  // accepted, never read
  ASSERT_NE(far, nullptr);
  const std::vector<uint8_t> bytes(64 * 1024 * 1024, 0x5A);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(socket->SendAll(bytes), kSocketErrorTimedOut);
  EXPECT_EQ(LastSocketError(), kSocketErrorTimedOut);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(300));
  EXPECT_LT(took, std::chrono::seconds(5));
  SetSendTimeLimitMsForTesting(0);
}

TEST(TcpSocketConnect, AddressZeroIsNoPeerEvenWithALocalListener) {
  // A name that does not resolve gives address 0; it must not reach a listener on this machine.
  auto listener = TcpListener::Listen(0, 0);
  ASSERT_NE(listener, nullptr);
  auto socket = TcpSocket::Create();
  EXPECT_EQ(socket->Connect(0, listener->port()), kSocketErrorAddressNotAvailable);
  EXPECT_EQ(listener->Accept(100), nullptr);
}

TEST(TcpSocketSend, ASlowButReadingPeerGetsEverything) {
  SetSendTimeLimitMsForTesting(200);
  auto listener = TcpListener::Listen(LoopbackAddress(), 0);
  ASSERT_NE(listener, nullptr);
  auto socket = TcpSocket::Create();
  ASSERT_EQ(socket->Connect(LoopbackAddress(), listener->port()), 0u);
  auto far = listener->Accept(2000);
  ASSERT_NE(far, nullptr);
  const size_t total = 16 * 1024 * 1024;
  std::atomic<size_t> received{0};
  // The reader pauses for less than the limit between reads, for longer than it in all.
  std::thread reader([&] {
    std::vector<uint8_t> chunk(1024 * 1024);
    while (received < total) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      const int64_t n = far->Receive(chunk);
      if (n <= 0) break;
      received += static_cast<size_t>(n);
    }
  });
  const std::vector<uint8_t> bytes(total, 0xA5);
  EXPECT_EQ(socket->SendAll(bytes), 0u);
  reader.join();
  EXPECT_EQ(received.load(), total);
  SetSendTimeLimitMsForTesting(0);
}

TEST(ControlSignals, SigtermAndSigintReachTheHandlerAsStopAndShutdown) {
  // In a child: the signals are blocked and taken over for the whole process while it runs.
  const int code = test::RunInChild([] {
    static std::atomic<uint32_t> seen[2];
    static std::atomic<int> count{0};
    const bool ran = RunWithControlSignals(
        [] {
          kill(getpid(), SIGTERM);
          while (count.load() < 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
          kill(getpid(), SIGINT);
          while (count.load() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        },
        [](uint32_t control) { seen[count.fetch_add(1)].store(control); });
    _exit(ran && seen[0] == kControlStop && seen[1] == kControlShutdown ? 0 : 1);
  });
  EXPECT_EQ(code, 0);
}

}  // namespace
}  // namespace vorla::platform
