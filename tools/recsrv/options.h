// The recording server's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vorla::recsrv {

struct ServerOptions {
  std::string address = "127.0.0.1";
  uint16_t port = 4488;  // 0: any free port (the listening line tells which)
  std::string output = "recordings";
  std::u16string password;         // the sessions' EncryptionPassword, to decipher frames
  uint32_t refuse_sessions = 0;    // non-zero: refuse new sessions with this status
  uint32_t refuse_segments = 0;    // non-zero: refuse new segments with this status
  uint32_t answer_delay_ms = 0;    // wait this long before answering a new session or segment
  bool no_session_answer = false;  // never answer new sessions
  bool no_segment_answer = false;  // never answer new segments
  uint64_t drop_after_frames = 0;  // non-zero: drop a link after this many frames on it
  bool frame_lines = false;        // a line per frame as well
  bool fail_webm_writes = false;   // write the WebM files to /dev/full (a full disk, for tests)
  uint16_t http_port = 0;          // non-zero: serve the output folder on 127.0.0.1:http_port
  bool http = false;               // --http given (port 0 picks a free one)
  bool help = false;
};

// Parses argv[1..]; nullopt with `error` set on a bad command line.
std::optional<ServerOptions> ParseOptions(const std::vector<std::string>& args, std::string& error);
std::string HelpText();

}  // namespace vorla::recsrv
