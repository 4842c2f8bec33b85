#include "options.h"

#include "common/text.h"
#include "tool_runtime.h"

namespace vorla::recsrv {

std::optional<ServerOptions> ParseOptions(const std::vector<std::string>& args,
                                          std::string& error) {
  ServerOptions o;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    tools::OptionValue value(args, i, error);
    uint64_t n = 0;
    std::string v;
    if (a == "--help" || a == "-h") {
      o.help = true;
    } else if (a == "--address") {
      if (!value.Text(o.address)) return std::nullopt;
    } else if (a == "--port") {
      if (!value.Number(65535, n)) return std::nullopt;
      o.port = static_cast<uint16_t>(n);
    } else if (a == "--output") {
      if (!value.Text(o.output)) return std::nullopt;
    } else if (a == "--password") {
      if (!value.Text(v)) return std::nullopt;
      o.password = FromUtf8(v);
    } else if (a == "--refuse-sessions") {
      if (!value.Number(0xFFFFFFFF, n)) return std::nullopt;
      o.refuse_sessions = static_cast<uint32_t>(n);
    } else if (a == "--refuse-segments") {
      if (!value.Number(0xFFFFFFFF, n)) return std::nullopt;
      o.refuse_segments = static_cast<uint32_t>(n);
    } else if (a == "--answer-delay") {
      if (!value.Number(600000, n)) return std::nullopt;
      o.answer_delay_ms = static_cast<uint32_t>(n);
    } else if (a == "--no-answer") {
      if (!value.Text(v)) return std::nullopt;
      if (v == "sessions") {
        o.no_session_answer = true;
      } else if (v == "segments") {
        o.no_segment_answer = true;
      } else if (v == "all") {
        o.no_session_answer = o.no_segment_answer = true;
      } else {
        error = "option --no-answer: expected sessions, segments or all, not " + v;
        return std::nullopt;
      }
    } else if (a == "--drop-after-frames") {
      if (!value.Number(UINT64_MAX, n)) return std::nullopt;
      o.drop_after_frames = n;
    } else if (a == "--frame-lines") {
      o.frame_lines = true;
    } else if (a == "--fail-webm-writes") {
      o.fail_webm_writes = true;
    } else if (a == "--http") {
      if (!value.Number(65535, n)) return std::nullopt;
      o.http = true;
      o.http_port = static_cast<uint16_t>(n);
    } else {
      error = "unknown option: " + a;
      return std::nullopt;
    }
  }
  return o;
}

std::string HelpText() {
  return R"(Usage: vorla-recsrv [options]

A recording server for Vorla workstations. It accepts any number of workstation links, performs
the key exchange, answers new sessions and segments, and writes every segment into the output
folder: VP8 (and other codecs) as an IVF file, JPEG frames as a numbered folder of .jpg files.
index.json in the output folder lists workstations, sessions, segments and events. One line is
printed per protocol event; lines a workstation can repeat without end are limited to 200 a
second per link (the rest are counted), and at most 256 links are served at once. SIGINT or
SIGTERM stops it: every link is told that the server shuts down (status kind 2) and the index is
written.

Options:
  --address A            IPv4 address to listen on (default 127.0.0.1; 0.0.0.0 for all).
  --port P               TCP port (default 4488; 0 picks a free port, shown in the first line).
  --output DIR           output folder, created when missing (default ./recordings).
  --password TEXT        the workstations' EncryptionPassword: enciphered frames are deciphered
                         with it. Without it they are stored as they came, digests unchecked.
                         A wrong password shows up as digest failures.
  --refuse-sessions S    answer every new session with a refusal (status kind 3) carrying
                         status S (decimal or 0x hexadecimal, e.g. 0xC0000FAF).
  --refuse-segments S    answer every new segment with a refusal (status kind 4) carrying S.
  --answer-delay MS      wait MS milliseconds before answering a new session or segment
                         (the workstation gives up after 8000).
  --no-answer WHAT       never answer new sessions, segments or all (WHAT).
  --drop-after-frames N  close a link abruptly after its N-th frame.
  --frame-lines          print a line for every frame too (off: one line per segment summary).
  --http PORT            serve the output folder over HTTP on 127.0.0.1:PORT (0 picks a free
                         port, shown in the line "viewer at http://127.0.0.1:PORT/"), for
                         browsers that do not play files opened from disk. GET and HEAD, byte
                         ranges, files of the output folder only.
  --fail-webm-writes     write the WebM files to /dev/full, as on a full disk (for tests).
  -h, --help             this text.

Digests: a frame whose header marks its digest as valid is checked (after deciphering); a frame
that fails is counted in the index as a digest failure and not written to the video file.

Viewer: every VP8 segment is also written as <session>/<segment>.webm (cues for seeking, time
codes from the capture times, time code 0 at the first frame written), finished when the segment
closes. It holds pictures only: a frame that could not be deciphered (no password) or failed its
digest is left out, and so is every frame after it up to the next key frame, so that all frames
in the file decode; a segment without any such picture gets no WebM file. A WebM file that cannot
be written is logged and dropped; the IVF file and the index go on. index.html, written with
every index.json, shows workstations, sessions, segments (a player each, or why there is none)
and each session's events on a timeline; clicking an event moves its segment's player there.
It needs no network and works opened from disk or through --http.
)";
}

}  // namespace vorla::recsrv
