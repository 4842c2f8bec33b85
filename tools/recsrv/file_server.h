// A small HTTP/1.1 file server for the viewer: serves the files of one folder on 127.0.0.1 to a
// browser on the same machine (GET and HEAD, single byte ranges so that players can seek, one
// request per connection). It does not list folders, follow "..", serve files outside the folder
// (symbolic links included) or take anything but loopback connections.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace vorla::platform {
class TcpListener;
}

namespace vorla::recsrv {

struct HttpRequestLine {
  std::string method;
  std::string path;        // decoded, without the query; starts with '/'
  std::string range;       // the Range header's value, empty when none
};

// Parses the head of a request (up to and including the blank line). nullopt when it is not a
// request line with an origin-form target, or the target does not decode (bad %XX, NUL).
std::optional<HttpRequestLine> ParseHttpRequest(std::string_view head);

// The first and last byte of a "bytes=" range of a file of `size` bytes. nullopt: not
// satisfiable (416); a header that is not one "bytes=" range is ignored: the whole file
// (0, size - 1). An empty file has no satisfiable range.
struct ByteRange {
  uint64_t first = 0;
  uint64_t last = 0;
};
std::optional<ByteRange> ParseByteRange(std::string_view header, uint64_t size, bool& partial);

// The file under `root` for a decoded request path ("/" is index.html); empty when the path
// leaves the folder or names no regular file inside it.
std::string ResolveFilePath(const std::string& root, const std::string& path);

std::string ContentTypeFor(const std::string& path);

class FileServer {
 public:
  explicit FileServer(std::string root);
  ~FileServer();
  FileServer(const FileServer&) = delete;
  FileServer& operator=(const FileServer&) = delete;

  // Listens on 127.0.0.1:port (0: a free port); false with `error` set.
  bool Start(uint16_t port, std::string& error);
  uint16_t port() const { return port_; }
  // Stops accepting and waits for the requests being served (each gives up after 5 s idle).
  void Stop();

 private:
  struct Worker {
    std::thread thread;
    std::atomic<bool> done{false};
  };
  void AcceptLoop();
  void Reap(bool all);

  std::string root_;
  std::unique_ptr<platform::TcpListener> listener_;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread accept_thread_;
  std::list<Worker> workers_;  // accept thread only (and Stop after it has ended)
};

}  // namespace vorla::recsrv
