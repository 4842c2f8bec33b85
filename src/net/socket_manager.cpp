#include "net/socket_manager.h"

#include <sodium.h>

#include <chrono>
#include <thread>

#include "common/format_string.h"
#include "common/host_identity.h"
#include "common/logging.h"
#include "platform/clock.h"
#include "security/security_server_v2.h"

namespace vorla {

// ---- SocketRecieveThread

SocketRecieveThread::SocketRecieveThread(platform::TcpSocket& socket,
                                         ThreadSafeQueue<netw_message_t>& queue,
                                         ConnectionKeys& keys,
                                         std::atomic<uint16_t>& peer_last_flags, PartCipher& cipher)
    : Thread(u"SocketRecieveThread", 0),
      io_(socket),
      receiver_(io_, queue, keys, peer_last_flags, cipher,
                [this] { return stop_requested_.load(); }) {
  stack_size_ = kStackSize;
}

bool SocketRecieveThread::Stop(int32_t seconds) {
  if (!started_) return true;
  return Thread::Stop(seconds);
}

bool SocketRecieveThread::Start() {
  started_ = true;
  return Thread::Start();
}

SocketRecieveThread::~SocketRecieveThread() {
  // The base marks the thread finished a moment before its last write to this object; wait for
  // that write so the object is not freed under it.
  for (int i = 0; i < 1000 && running_.load(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

uint32_t SocketRecieveThread::Run() {
  while (!stop_requested_.load()) receiver_.Step();
  return 0;
}

LinkIo::Wait SocketRecieveThread::SocketIo::WaitReadable(uint32_t timeout_ms) {
  switch (socket_.WaitReadable(timeout_ms)) {
    case platform::SocketWait::kReady: return Wait::kReady;
    case platform::SocketWait::kTimeout: return Wait::kTimeout;
    case platform::SocketWait::kError: break;
  }
  return Wait::kError;
}

int64_t SocketRecieveThread::SocketIo::Receive(std::span<uint8_t> into) {
  return socket_.Receive(into);
}

// ---- SocketManager

SocketManager::SocketManager(PartCipher& cipher)
    : send_buffer_(PayloadBuffer::Allocate(kSendBufferInitialSize)),
      cipher_(cipher),
      key_index_random_(std::random_device{}()) {
  SecurityServer_v2& v2 = SecurityServer_v2::Instance();
  if (v2.initialized()) CreateKeyPair(v2, keys_.own_public_key, keys_.own_secret_key);
}

SocketManager::~SocketManager() {
  Disconnect();
  if (receive_thread_) {
    // It did not stop within the first wait; it checks the stop request every second.
    if (receive_thread_->Stop(kStopSeconds)) {
      receive_thread_.reset();
      socket_.reset();
    }
  }
  if (!keys_.own_secret_key.empty())
    sodium_memzero(keys_.own_secret_key.data(), keys_.own_secret_key.size());
  sodium_memzero(keys_.box_key.bytes.data(), keys_.box_key.bytes.size());
}

uint32_t SocketManager::nonce_word() const {
  std::lock_guard<std::mutex> g(send_lock_);
  return nonce_word_;
}

Status SocketManager::Connect(uint32_t address, uint16_t port) {
  if (connected() || receive_thread_) Disconnect();
  // An old receive thread that still does not stop keeps the old socket and keys in use.
  if (receive_thread_) return kStatusNoActiveConnection;
  std::unique_ptr<platform::TcpSocket> s = platform::TcpSocket::Create();
  if (!s) {
    Disconnect();
    return kStatusNoActiveConnection;
  }
  auto fail = [&] {
    Disconnect();
    s.reset();
    return kStatusNoActiveConnection;
  };
  const uint32_t connect_error = s->Connect(address, port);
  if (connect_error != 0) {
    LogIfFailed(false, kStatusNoActiveConnection,
                FormatString(u"SocketManager: Connection attempt to host failed [IP=0x%x, "
                             u"port=%d]. SocketErr = %d",
                             address, port, connect_error),
                2, EVENTLOG_INFORMATION_TYPE);
    return fail();
  }
  if (s->WaitWritable(kWritableWaitMs) != platform::SocketWait::kReady) {
    LogStatus(kStatusNoActiveConnection,
              FormatString(u"SocketManager: Connection attempt to host failed [IP=0x%x, "
                           u"port=%d]. Socket not writeable.",
                           address, port),
              EVENTLOG_WARNING_TYPE, 2);
    return fail();
  }
  // A new link: nothing is known of the peer yet.
  peer_last_flags_.store(0);
  auto thread =
      std::make_unique<SocketRecieveThread>(*s, incoming_, keys_, peer_last_flags_, cipher_);
  thread->set_peer_address(address);
  thread->set_queue_byte_budget(incoming_byte_budget_);
  if (!thread->Start()) {
    LogStatus(kStatusInternalError,
              FormatString(u"SocketManager: Could not start socket rec thread. System info as "
                           u"follows:\n%s",
                           GetResourceReport()),
              EVENTLOG_ERROR_TYPE, 3);
    return fail();
  }
  {
    std::lock_guard<std::mutex> g(send_lock_);
    socket_ = std::move(s);
    // A fresh non-zero nonce word for this connection's sealed headers.
    uint32_t word = 0;
    while (word == 0) {
      if (SecurityServer_v2::Instance().initialized())
        randombytes_buf(&word, sizeof(word));
      else
        word = static_cast<uint32_t>(key_index_random_()) | 1u;
    }
    nonce_word_ = word;
  }
  receive_thread_ = std::move(thread);
  peer_address_.store(address);
  connected_.store(true, std::memory_order_release);
  SendOwnPublicKey();
  return 0;
}

void SocketManager::SendOwnPublicKey() {
  if (keys_.own_public_key.empty() || keys_.own_secret_key.empty()) return;
  SendFrame(MakeNetwMessage(nwmt_public_key, keys_.own_public_key), false, false);
}

void SocketManager::Disconnect() {
  if (receive_thread_) {
    if (receive_thread_->Stop(kStopSeconds)) {
      receive_thread_.reset();
    } else {
      LogIfFailed(false, kStatusInternalError, u"SocketManager: Could not stop Recieve Thread.", 3,
                  EVENTLOG_ERROR_TYPE);
    }
  }
  if (socket_) {
    // Ends a send blocked on a stalled peer, so the send lock is free to be taken below.
    socket_->Shutdown();
    std::lock_guard<std::mutex> g(send_lock_);
    connected_.store(false, std::memory_order_release);
    // A receive thread that did not stop still reads this handle: it is only shut down then
    // (reads end at once), and closed once the thread has gone, so it can never read a handle
    // number the system has given to something else.
    if (!receive_thread_) socket_.reset();
  }
  keys_.keys_established.store(false, std::memory_order_release);
  if (!receive_thread_) {
    keys_.peer_public_key = PayloadBuffer();
    sodium_memzero(keys_.box_key.bytes.data(), keys_.box_key.bytes.size());
  }
  incoming_.Clear();
  peer_address_.store(0);
  connected_.store(false, std::memory_order_release);
}

uint32_t SocketManager::Send(netw_message_t message, bool encrypt) {
  return SendFrame(std::move(message), encrypt, true);
}

uint32_t SocketManager::SendFrame(netw_message_t message, bool encrypt, bool may_seal) {
  if (!connected()) return kStatusNoActiveConnection;
  std::lock_guard<std::mutex> g(send_lock_);
  if (!socket_ || !socket_->is_open()) return kStatusNoActiveConnection;
  const bool peer_bit1 = (peer_last_flags_.load(std::memory_order_relaxed) & 0x2) != 0;
  FrameProtection p;
  p.time_stamp =
      NextSendTimeStamp(last_time_stamp_, static_cast<uint64_t>(platform::GetClock().WallMillis()));
  last_time_stamp_ = p.time_stamp;
  if (may_seal && keys_.keys_established.load(std::memory_order_acquire)) {
    p.box_key = &keys_.box_key;
    p.nonce_word = nonce_word_;
  } else if (encrypt) {
    p.encrypt = true;
    p.key_index = ChooseKeyIndex(peer_bit1, static_cast<uint32_t>(key_index_random_()));
    p.cipher = &cipher_;
  }
  size_t frame_length = 0;
  const uint32_t r = EncodeFrame(message, p, send_buffer_, frame_length);
  if (r != 0) return r;
  if (frame_length > kLinkFrameWarnLimit) {
    LogStatus(0,
              FormatString(u"Netw message of size %dkb exceeds max expected size of %dkb.",
                           static_cast<uint64_t>(frame_length / 1024), 65536),
              EVENTLOG_WARNING_TYPE, 3);
  }
  const uint32_t sent = socket_->SendAll(send_buffer_.span().first(frame_length));
  // A frame cut short leaves the peer no frame boundary to find again, and a peer that stopped
  // reading would hold every later send for the whole time limit: the link ends here. The receive
  // thread then reports it, and the owner disconnects and reconnects.
  if (sent != 0) socket_->Shutdown();
  return sent;
}

bool SocketManager::GetClientName(uint32_t& address) const {
  std::lock_guard<std::mutex> g(send_lock_);
  if (socket_) address = peer_address_.load();
  return true;
}

}  // namespace vorla
