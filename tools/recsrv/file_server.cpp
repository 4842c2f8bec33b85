#include "file_server.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <span>
#include <vector>

#include "platform/sockets.h"

namespace vorla::recsrv {

namespace {

constexpr size_t kMaxHead = 16384;
constexpr uint32_t kIdleMs = 5000;
constexpr size_t kMaxWorkers = 32;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char a = text[i], b = prefix[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

bool ParseNumber(std::string_view text, uint64_t& out) {
  if (text.empty() || text.size() > 19) return false;
  out = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    out = out * 10 + static_cast<uint64_t>(c - '0');
  }
  return true;
}

bool SendText(platform::TcpSocket& s, const std::string& text) {
  return s.SendAll(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()),
                                            text.size())) == 0;
}

void SendStatus(platform::TcpSocket& s, int code, const char* reason, bool body) {
  const std::string text = std::string(reason) + "\n";
  std::string head = "HTTP/1.1 " + std::to_string(code) + " " + reason +
                     "\r\nContent-Type: text/plain\r\nContent-Length: " +
                     std::to_string(text.size()) + "\r\nConnection: close\r\n\r\n";
  SendText(s, body ? head + text : head);
}

// Reads the request head; empty when the peer closed, sent too much or stayed idle.
std::string ReadHead(platform::TcpSocket& s) {
  std::string head;
  uint8_t buffer[2048];
  while (head.find("\r\n\r\n") == std::string::npos) {
    if (head.size() > kMaxHead || s.WaitReadable(kIdleMs) != platform::SocketWait::kReady)
      return {};
    const int64_t n = s.Receive(buffer);
    if (n <= 0) return {};
    head.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
  }
  return head;
}

void Serve(const std::string& root, platform::TcpSocket& s) {
  const std::string head = ReadHead(s);
  if (head.empty()) return;
  const auto request = ParseHttpRequest(head);
  if (!request) return SendStatus(s, 400, "Bad Request", true);
  const bool body = request->method != "HEAD";
  if (request->method != "GET" && request->method != "HEAD")
    return SendStatus(s, 405, "Method Not Allowed", true);
  const std::string path = ResolveFilePath(root, request->path);
  if (path.empty()) return SendStatus(s, 404, "Not Found", body);
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return SendStatus(s, 404, "Not Found", body);
  std::error_code ec;
  const uint64_t size = std::filesystem::file_size(path, ec);
  bool partial = false;
  const auto range = ec ? std::nullopt : ParseByteRange(request->range, size, partial);
  if (!range && size > 0) {
    std::fclose(f);
    SendText(s, "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */" +
                    std::to_string(size) + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    return;
  }
  const ByteRange r = range.value_or(ByteRange{});
  const uint64_t first = r.first;
  const uint64_t length = range ? r.last - r.first + 1 : 0;
  std::string reply = partial ? "HTTP/1.1 206 Partial Content\r\n" : "HTTP/1.1 200 OK\r\n";
  reply += "Content-Type: " + ContentTypeFor(path) + "\r\nContent-Length: " +
           std::to_string(length) + "\r\nAccept-Ranges: bytes\r\nCache-Control: no-store\r\n";
  if (partial)
    reply += "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(r.last) +
             "/" + std::to_string(size) + "\r\n";
  reply += "Connection: close\r\n\r\n";
  bool ok = SendText(s, reply);
  if (ok && body && length > 0) ok = fseeko(f, static_cast<off_t>(first), SEEK_SET) == 0;
  std::vector<uint8_t> chunk(65536);
  for (uint64_t left = body ? length : 0; ok && left > 0;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(left, chunk.size()));
    const size_t got = std::fread(chunk.data(), 1, want, f);
    if (got == 0) break;
    ok = s.SendAll(std::span<const uint8_t>(chunk.data(), got)) == 0;
    left -= got;
  }
  std::fclose(f);
}

}  // namespace

std::optional<HttpRequestLine> ParseHttpRequest(std::string_view head) {
  const size_t line_end = head.find("\r\n");
  if (line_end == std::string_view::npos) return std::nullopt;
  const std::string_view line = head.substr(0, line_end);
  const size_t sp1 = line.find(' ');
  const size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
  if (sp1 == 0 || sp2 == std::string_view::npos || line.substr(sp2 + 1).rfind("HTTP/1.", 0) != 0)
    return std::nullopt;
  HttpRequestLine r;
  r.method = std::string(line.substr(0, sp1));
  std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  target = target.substr(0, target.find_first_of("?#"));
  if (target.empty() || target[0] != '/') return std::nullopt;
  for (size_t i = 0; i < target.size(); ++i) {
    char c = target[i];
    if (c == '%') {
      const int hi = i + 2 < target.size() ? HexDigit(target[i + 1]) : -1;
      const int lo = hi >= 0 ? HexDigit(target[i + 2]) : -1;
      if (lo < 0) return std::nullopt;
      c = static_cast<char>(hi * 16 + lo);
      i += 2;
    }
    if (c == '\0') return std::nullopt;
    r.path += c;
  }
  for (size_t at = line_end + 2; at < head.size();) {
    const size_t end = head.find("\r\n", at);
    if (end == std::string_view::npos || end == at) break;
    const std::string_view field = head.substr(at, end - at);
    if (StartsWithNoCase(field, "range:")) {
      std::string_view v = field.substr(6);
      while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
      r.range = std::string(v);
    }
    at = end + 2;
  }
  return r;
}

std::optional<ByteRange> ParseByteRange(std::string_view header, uint64_t size, bool& partial) {
  partial = false;
  if (size == 0) return std::nullopt;
  const ByteRange whole{0, size - 1};
  if (!StartsWithNoCase(header, "bytes=")) return whole;
  const std::string_view bounds = header.substr(6);
  const size_t dash = bounds.find('-');
  if (dash == std::string_view::npos || bounds.find(',') != std::string_view::npos) return whole;
  uint64_t a = 0, b = 0;
  const bool has_a = ParseNumber(bounds.substr(0, dash), a);
  const bool has_b = ParseNumber(bounds.substr(dash + 1), b);
  if ((!has_a && dash != 0) || (!has_b && dash + 1 != bounds.size())) return whole;
  ByteRange r;
  if (!has_a) {  // the last b bytes
    if (!has_b || b == 0) return std::nullopt;
    r.first = b >= size ? 0 : size - b;
    r.last = size - 1;
  } else {
    if (a >= size) return std::nullopt;
    if (has_b && b < a) return whole;
    r.first = a;
    r.last = has_b && b < size ? b : size - 1;
  }
  partial = true;
  return r;
}

std::string ResolveFilePath(const std::string& root, const std::string& path) {
  namespace fs = std::filesystem;
  std::string relative = path == "/" ? "index.html" : path.substr(1);
  for (const auto& part : fs::path(relative))
    if (part == "..") return {};
  std::error_code ec;
  const fs::path base = fs::canonical(root, ec);
  if (ec) return {};
  const fs::path file = fs::canonical(base / relative, ec);
  if (ec || !fs::is_regular_file(file, ec)) return {};
  // Inside the folder, also after resolving symbolic links.
  const auto [b, f] = std::mismatch(base.begin(), base.end(), file.begin(), file.end());
  if (b != base.end()) return {};
  return file.string();
}

std::string ContentTypeFor(const std::string& path) {
  const std::string ext = std::filesystem::path(path).extension().string();
  if (ext == ".html") return "text/html; charset=utf-8";
  if (ext == ".json") return "application/json";
  if (ext == ".webm") return "video/webm";
  if (ext == ".jpg") return "image/jpeg";
  if (ext == ".png") return "image/png";
  return "application/octet-stream";
}

FileServer::FileServer(std::string root) : root_(std::move(root)) {}

FileServer::~FileServer() { Stop(); }

bool FileServer::Start(uint16_t port, std::string& error) {
  listener_ = platform::TcpListener::Listen(platform::LoopbackAddress(), port);
  if (!listener_) {
    error = "cannot listen for HTTP on 127.0.0.1:" + std::to_string(port);
    return false;
  }
  port_ = listener_->port();
  accept_thread_ = std::thread([this] { AcceptLoop(); });
  return true;
}

void FileServer::AcceptLoop() {
  while (!stopping_) {
    Reap(false);
    auto socket = listener_->Accept(200);
    if (!socket) continue;
    // Loopback only: the listener is bound to 127.0.0.1, and this stays true if that changes.
    if (socket->PeerAddress() != platform::LoopbackAddress() || workers_.size() >= kMaxWorkers)
      continue;
    Worker& w = workers_.emplace_back();
    w.thread = std::thread([this, &w, s = std::move(socket)] {
      Serve(root_, *s);
      s->Close();
      w.done = true;
    });
  }
}

void FileServer::Reap(bool all) {
  for (auto it = workers_.begin(); it != workers_.end();) {
    if (all || it->done) {
      it->thread.join();
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
}

void FileServer::Stop() {
  if (!listener_) return;
  stopping_ = true;
  if (accept_thread_.joinable()) accept_thread_.join();
  Reap(true);
  listener_->Close();
  listener_.reset();
}

}  // namespace vorla::recsrv
