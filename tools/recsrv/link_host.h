// The accepting side the reference tools share: a listener, an accept thread, and a thread per
// accepted link (at most kMaxLinks at once), joined as links end and all at Stop.
//
// `Link` is the tool's connection class, made as Link(owner, number, socket); it has `void Run()`
// (returns when the link ends) and `uint32_t number() const`. `Owner` prints lines with
// `Say(line)`. The owner tells its links to end (through its own stop flag) before it calls Stop.
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/sockets.h"
#include "tool_text.h"

namespace vorla::tools {

template <class Owner, class Link>
class LinkHost {
 public:
  // Links served at once; a thread each, so a flood of connections must not take the process
  // down: further connections are refused until some end.
  static constexpr size_t kMaxLinks = 256;

  explicit LinkHost(Owner& owner) : owner_(owner) {}
  ~LinkHost() { Stop(); }
  LinkHost(const LinkHost&) = delete;
  LinkHost& operator=(const LinkHost&) = delete;

  // Listens on the dotted IPv4 address and port (0 picks one); false with `error` set.
  bool Listen(const std::string& address, uint16_t port, std::string& error) {
    const std::optional<uint32_t> a = ParseIPv4(address);
    if (!a) {
      error = "not an IPv4 address: " + address;
      return false;
    }
    listener_ = platform::TcpListener::Listen(*a, port);
    if (!listener_) {
      error = "cannot listen on " + address + ":" + std::to_string(port) + " (error " +
              std::to_string(platform::LastSocketError()) + ")";
      return false;
    }
    accept_thread_ = std::thread([this] { AcceptLoop(); });
    return true;
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
        owner_.Say(tag + ": link refused: " + std::to_string(kMaxLinks) +
                   " links are open already");
        socket->Shutdown();
        continue;
      }
      auto link = std::make_shared<Link>(owner_, number, std::move(socket));
      auto done = std::make_shared<std::atomic<bool>>(false);
      try {
        workers_.push_back(Worker{link, std::thread([link, done] {
                                    link->Run();
                                    done->store(true);
                                  }),
                                  done});
      } catch (const std::system_error& e) {
        owner_.Say(tag + ": link refused: no thread for it (" + e.what() + ")");
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

  Owner& owner_;
  std::unique_ptr<platform::TcpListener> listener_;
  std::thread accept_thread_;
  std::atomic<bool> accepting_{true};
  std::mutex mutex_;
  std::list<Worker> workers_;
  uint32_t next_number_ = 1;  // the accept thread's own
};

}  // namespace vorla::tools
