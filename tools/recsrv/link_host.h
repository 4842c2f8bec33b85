// The accepting side the reference tools share: a listener, an accept thread, and a thread per
// accepted link (at most kMaxLinks at once), joined as links end and all at Stop.
//
// `Link` is the tool's connection class, made by the factory from its number and socket; it has
// `void Run()` (returns when the link ends) and `uint32_t number() const`. The tool tells its
// links to end (through its own stop flag) before it calls Stop.
#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/sockets.h"
#include "tool_text.h"

namespace vorla::tools {

template <class Link>
class LinkHost {
 public:
  // Links served at once; a thread each, so a flood of connections must not take the process
  // down: further connections are refused until some end.
  static constexpr size_t kMaxLinks = 256;

  using Factory =
      std::function<std::shared_ptr<Link>(uint32_t number, std::unique_ptr<platform::TcpSocket>)>;
  using Say = std::function<void(const std::string&)>;

  LinkHost(Factory make, Say say) : make_(std::move(make)), say_(std::move(say)) {}
  ~LinkHost() { Stop(); }
  LinkHost(const LinkHost&) = delete;
  LinkHost& operator=(const LinkHost&) = delete;

  // Listens on address:port (network order; port 0 picks one); 0 or the socket error.
  uint32_t Listen(uint32_t address, uint16_t port) {
    listener_ = platform::TcpListener::Listen(address, port);
    if (!listener_) return platform::LastSocketError();
    accept_thread_ = std::thread([this] { AcceptLoop(); });
    return 0;
  }
  uint16_t port() const { return listener_ ? listener_->port() : 0; }

  // The links that still run: every one when `number` is 0, else that one (if it runs).
  std::vector<std::shared_ptr<Link>> Links(uint32_t number = 0) {
    std::vector<std::shared_ptr<Link>> out;
    std::lock_guard<std::mutex> lock(mutex_);
    for (Worker& w : workers_)
      if (!w.done->load() && (number == 0 || w.link->number() == number)) out.push_back(w.link);
    return out;
  }

  // Stops accepting and joins every link's thread (they must be ending).
  void Stop() {
    accepting_ = false;
    if (accept_thread_.joinable()) accept_thread_.join();
    Reap(true);
    listener_.reset();
  }

 private:
  struct Worker {
    std::shared_ptr<Link> link;
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  void AcceptLoop() {
    while (accepting_) {
      Reap(false);
      auto socket = listener_->Accept(200);
      if (!socket || !accepting_) continue;
      const uint32_t number = next_number_++;
      const std::string tag = "#" + std::to_string(number) + " " + Dotted(socket->PeerAddress());
      std::lock_guard<std::mutex> lock(mutex_);
      if (workers_.size() >= kMaxLinks) {
        say_(tag + ": link refused: " + std::to_string(kMaxLinks) + " links are open already");
        socket->Shutdown();
        continue;
      }
      auto link = make_(number, std::move(socket));
      auto done = std::make_shared<std::atomic<bool>>(false);
      try {
        workers_.push_back(Worker{link, std::thread([link, done] {
                                    link->Run();
                                    done->store(true);
                                  }),
                                  done});
      } catch (const std::system_error& e) {
        say_(tag + ": link refused: no thread for it (" + e.what() + ")");
      }
    }
  }

  void Reap(bool all) {
    std::list<Worker> finished;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto it = workers_.begin(); it != workers_.end();) {
        if (all || it->done->load()) {
          finished.splice(finished.end(), workers_, it++);
        } else {
          ++it;
        }
      }
    }
    for (Worker& w : finished)
      if (w.thread.joinable()) w.thread.join();
  }

  Factory make_;
  Say say_;
  std::unique_ptr<platform::TcpListener> listener_;
  std::thread accept_thread_;
  std::atomic<bool> accepting_{true};
  std::mutex mutex_;
  std::list<Worker> workers_;
  uint32_t next_number_ = 1;  // the accept thread's own
};

}  // namespace vorla::tools
