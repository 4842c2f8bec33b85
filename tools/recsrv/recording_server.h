// The recording server: a listener, a thread per workstation link, and the handling of every
// message of the server message set (registration, sessions, segments, events, frames, status).
#pragma once

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "file_server.h"
#include "link_host.h"
#include "options.h"
#include "recording_index.h"

namespace vorla::recsrv {

class Connection;

class RecordingServer {
 public:
  // Lines go to `out` (flushed after each).
  RecordingServer(ServerOptions options, std::FILE* out);
  ~RecordingServer();
  RecordingServer(const RecordingServer&) = delete;
  RecordingServer& operator=(const RecordingServer&) = delete;

  // Creates the output folder and listens (and serves the folder over HTTP with --http); false
  // with `error` set when it cannot.
  bool Start(std::string& error);
  uint16_t port() const;
  // Tells every link that the server shuts down, closes them, writes the index.
  void Stop();

  // For the connections.
  void Say(const std::string& line);
  const ServerOptions& options() const { return options_; }
  RecordingIndex& index() { return index_; }
  bool stopping() const { return stopping_.load(); }
  std::string NewSessionId();

 private:
  ServerOptions options_;
  std::FILE* out_;
  RecordingIndex index_;
  std::unique_ptr<tools::LinkHost<RecordingServer, Connection>> links_;
  std::unique_ptr<FileServer> files_;  // with --http
  std::atomic<bool> stopping_{false};
  std::mutex say_mutex_;
  std::atomic<uint32_t> next_session_{1};
  std::string id_prefix_;
};

}  // namespace vorla::recsrv
