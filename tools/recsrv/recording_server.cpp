#include "recording_server.h"

#include <arpa/inet.h>

#include <algorithm>
#include <filesystem>
#include <optional>

#include "common/byte_reader.h"
#include "common/text.h"
#include "ivf_writer.h"
#include "compression/compressor.h"
#include "net/server_records.h"
#include "platform/clock.h"
#include "server_messages.h"
#include "tool_connection.h"
#include "tool_text.h"
#include "webm_writer.h"

namespace vorla::recsrv {

using tools::Dotted;
using tools::Hex32;
using tools::Shown;

namespace {

constexpr uint32_t kFccMjpg = 0x47504A4D;  // "MJPG"

std::string FccName(uint32_t fcc) { return fcc == 0 ? "MJPG" : tools::FccText(fcc); }

bool IsJpeg(uint32_t fcc) { return fcc == 0 || fcc == kFccMjpg; }

uint64_t NowMs() { return static_cast<uint64_t>(platform::GetClock().WallMillis()); }

}  // namespace

// One workstation link and what is open on it.
class Connection final : public tools::ToolConnection {
 public:
  Connection(RecordingServer& server, uint32_t number, std::unique_ptr<platform::TcpSocket> s)
      : ToolConnection(
            number, std::move(s), [&server] { return server.stopping(); },
            [&server](const std::string& line) { server.Say(line); }),
        server_(server) {}

  // The server is stopping: tell the workstation (status kind 2), then end the link. Called on
  // another thread than the link's.
  void NotifyShutdown() {
    if (link().Send(BuildStatusMessage(kStatusKindShutdown, 0)) == 0)
      SayFromAnyThread("sent shutdown status");
    link().Drop();
  }

 private:
  void Handle(const netw_message_t& m) override;
  void AfterPass() override { server_.index().SaveIfDue(); }
  void AtEnd() override;
  void OnRegister(const netw_message_t& m);
  void OnStatus(const netw_message_t& m);
  void OnNewSession(const netw_message_t& m);
  void OnNewSegment(const netw_message_t& m);
  void OnCloseSegment(const netw_message_t& m);
  void OnCloseSession(const netw_message_t& m);
  void OnEvent(const netw_message_t& m);
  void OnFrame(const netw_message_t& m);
  void Answer(const netw_message_t& answer, const char* what);
  // Closes the open segment's file; `end_time` 0 leaves the index entry open (the workstation
  // never closed it).
  void FinishSegment(uint64_t end_time);
  void FinishSession(uint64_t end_time);
  // Adds the frame to the WebM file, or marks a gap when it is no picture (not deciphered,
  // failed digest). A failing write abandons the file (logged once); the IVF file goes on.
  void AddToWebm(const FrameResult& r, bool picture, uint64_t capture_time);
  // Finishes the WebM file and sets what the index says about it in `entry`.
  void FinishWebm(SegmentEntry& entry);

  RecordingServer& server_;
  int workstation_ = -1;
  std::string session_id_;  // the session open on this link, empty when none
  PayloadBuffer frame_key_;
  std::vector<uint8_t> plain_scratch_;  // deciphered frames, reused from frame to frame
  std::optional<size_t> segment_;       // index into the session's segments
  IvfFile ivf_;
  WebmFile webm_;           // the VP8 segment's WebM copy, beside the IVF file
  std::string webm_file_;   // its name relative to the output folder
  std::string jpeg_folder_;
  uint64_t first_capture_ = 0;
  bool have_first_capture_ = false;
  uint64_t frames_on_link_ = 0;
};

void Connection::AtEnd() {
  FinishSegment(0);
  if (!session_id_.empty()) {
    Say("link ended with session " + session_id_ + " still open");
    session_id_.clear();
  }
  server_.index().Save();
}

void Connection::Handle(const netw_message_t& m) {
  switch (m.header.type) {
    case nwmt_ws_register: OnRegister(m); return;
    case nwmt_ws_status: OnStatus(m); return;
    case nwmt_ws_newsession: OnNewSession(m); return;
    case nwmt_ws_newsegment: OnNewSegment(m); return;
    case nwmt_ws_closesession: OnCloseSession(m); return;
    case nwmt_ws_closesegment: OnCloseSegment(m); return;
    case nwmt_ws_disconnect:
      Say("workstation disconnects");
      End();
      return;
    case nwmt_ws_eventinfo: OnEvent(m); return;
    case nwmt_ws_segmentdata: OnFrame(m); return;
    default:
      Chatter("message of unknown type " + std::to_string(m.header.type) + " ignored (" +
              std::to_string(m.part1.size()) + " + " + std::to_string(m.part2.size()) + " bytes)");
  }
}

void Connection::OnRegister(const netw_message_t& m) {
  RegistrationRecord r;
  if (!ReadRegistration(m, r) || r.presence == 0) {
    Chatter("malformed registration ignored");
    return;
  }
  const std::string peer = Dotted(link().peer_address());
  workstation_ = server_.index().Update([&](IndexData& d) {
    for (size_t i = 0; i < d.workstations.size(); ++i) {
      if (d.workstations[i].name == r.workstation_name &&
          d.workstations[i].address == r.workstation_address) {
        ++d.workstations[i].registrations;
        d.workstations[i].peer = peer;
        return static_cast<int>(i);
      }
    }
    WorkstationEntry w;
    w.name = r.workstation_name;
    w.address = r.workstation_address;
    w.peer = peer;
    w.registrations = 1;
    d.workstations.push_back(w);
    return static_cast<int>(d.workstations.size() - 1);
  });
  Chatter(DescribeRegistration(r));
  server_.index().SaveIfDue();
}

void Connection::OnStatus(const netw_message_t& m) {
  WsStatus s;
  if (!ReadWsStatus(m, s)) {
    Chatter("malformed workstation status ignored");
    return;
  }
  if (workstation_ >= 0) {
    server_.index().Update([&](IndexData& d) {
      auto& w = d.workstations[static_cast<size_t>(workstation_)];
      w.last_status_word = s.status_word;
      w.last_status_code = s.status_code;
      ++w.status_messages;
    });
  }
  Chatter(DescribeWsStatus(s));
}

void Connection::Answer(const netw_message_t& answer, const char* what) {
  const uint32_t r = link().Send(answer);
  if (r != 0) Say(std::string("could not send ") + what + " (error " + std::to_string(r) + ")");
}

void Connection::OnNewSession(const netw_message_t& m) {
  SessionRecord s;
  uint32_t rule_count = 0;
  if (!ReadNewSession(m, s, rule_count) || s.presence == 0) {
    Say("malformed new session; refused with " + Hex32(kStatusSessionMissingOrCorrupt));
    Answer(BuildStatusMessage(kStatusKindSessionRefused, kStatusSessionMissingOrCorrupt),
           "the refusal");
    return;
  }
  const ServerOptions& o = server_.options();
  Say("new session for user " + Shown(s.user_name) + " on " + Shown(s.workstation_name) + ", " +
      std::to_string(rule_count) + " rules, frames " +
      ((s.session_flags & kSessionFlagFramesEnciphered) ? "enciphered" : "plain"));
  if (o.answer_delay_ms) platform::GetClock().SleepMs(o.answer_delay_ms);
  if (o.no_session_answer) {
    Say("new session left unanswered (--no-answer)");
    return;
  }
  if (o.refuse_sessions != 0) {
    Say("new session refused with " + Hex32(o.refuse_sessions));
    Answer(BuildStatusMessage(kStatusKindSessionRefused, o.refuse_sessions), "the refusal");
    return;
  }
  if (!session_id_.empty()) {
    Say("session " + session_id_ + " was still open; closed by the new one");
    FinishSession(NowMs());
  }
  s.session_id = FromUtf8(server_.NewSessionId());
  session_id_ = ToUtf8(s.session_id);
  frame_key_ = (s.session_flags & kSessionFlagFramesEnciphered) ? FrameKeyFromPassword(o.password)
                                                                : PayloadBuffer();
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(server_.index().folder()) / session_id_,
                                      ec);
  server_.index().Update([&](IndexData& d) {
    SessionEntry e;
    e.id = session_id_;
    e.workstation_name = s.workstation_name;
    e.workstation_address = s.workstation_address;
    e.user_name = s.user_name;
    e.seating_type = s.seating_type;
    e.session_flags = s.session_flags;
    e.start_time = s.start_time;
    e.rule_count = rule_count;
    d.sessions[session_id_] = e;
  });
  Answer(BuildSessionInfoAnswer(s), "the session info");
  Say("session " + session_id_ + " opened" +
      ((s.session_flags & kSessionFlagFramesEnciphered) && frame_key_.empty()
           ? " (no password given: frames are stored enciphered)"
           : ""));
  server_.index().Save();
}

void Connection::OnNewSegment(const netw_message_t& m) {
  SegmentRecord g;
  if (!ReadNewSegment(m, g) || g.presence == 0) {
    Say("malformed new segment; refused with " + Hex32(kStatusSessionMissingOrCorrupt));
    Answer(BuildStatusMessage(kStatusKindSegmentRefused, kStatusSessionMissingOrCorrupt),
           "the refusal");
    return;
  }
  const ServerOptions& o = server_.options();
  Say("new segment " + FccName(g.codec_fcc) + " " + std::to_string(g.width) + "x" +
      std::to_string(g.height) + " at " + std::to_string(g.x) + "," + std::to_string(g.y) + ", " +
      std::to_string(g.frame_rate) + " fps, quality " + std::to_string(g.quality));
  if (o.answer_delay_ms) platform::GetClock().SleepMs(o.answer_delay_ms);
  if (o.no_segment_answer) {
    Say("new segment left unanswered (--no-answer)");
    return;
  }
  if (o.refuse_segments != 0) {
    Say("new segment refused with " + Hex32(o.refuse_segments));
    Answer(BuildStatusMessage(kStatusKindSegmentRefused, o.refuse_segments), "the refusal");
    return;
  }
  if (session_id_.empty()) {
    Say("new segment without a session; refused with " + Hex32(kStatusNoActiveRecordingSession));
    Answer(BuildStatusMessage(kStatusKindSegmentRefused, kStatusNoActiveRecordingSession),
           "the refusal");
    return;
  }
  if (segment_) {
    Say("the open segment was not closed; closed by the new one");
    FinishSegment(NowMs());
  }
  SegmentEntry e;
  e.codec_fcc = g.codec_fcc;
  e.x = g.x;
  e.y = g.y;
  e.width = g.width;
  e.height = g.height;
  e.frame_rate = g.frame_rate;
  e.quality = g.quality;
  e.start_time = g.start_time;
  const size_t n = server_.index().Update([&](IndexData& d) {
    auto& segs = d.sessions[session_id_].segments;
    char id[16];
    std::snprintf(id, sizeof id, "G%04zu", segs.size() + 1);
    e.id = session_id_ + "-" + id;
    e.file = session_id_ + "/" + e.id + (IsJpeg(g.codec_fcc) ? "" : ".ivf");
    segs.push_back(e);
    return segs.size() - 1;
  });
  const std::filesystem::path path = std::filesystem::path(server_.index().folder()) / e.file;
  bool opened = false;
  if (IsJpeg(g.codec_fcc)) {
    std::error_code ec;
    opened = std::filesystem::create_directories(path, ec) || std::filesystem::is_directory(path);
    jpeg_folder_ = path.string();
  } else {
    IvfStreamInfo info;
    info.fourcc = g.codec_fcc;
    info.width = static_cast<uint16_t>(std::clamp(g.width, 0, 65535));
    info.height = static_cast<uint16_t>(std::clamp(g.height, 0, 65535));
    opened = ivf_.Open(path.string(), info);
  }
  if (!opened) Say("cannot write " + path.string() + "; frames of this segment are not stored");
  std::string webm_note;
  if (g.codec_fcc == kFccVp80 && opened) {
    webm_file_ = session_id_ + "/" + e.id + ".webm";
    WebmStreamInfo info;
    info.width = static_cast<uint16_t>(std::clamp(g.width, 0, 65535));
    info.height = static_cast<uint16_t>(std::clamp(g.height, 0, 65535));
    info.frame_rate = g.frame_rate;
    const std::string webm_path = o.fail_webm_writes
                                      ? std::string("/dev/full")
                                      : (std::filesystem::path(server_.index().folder()) / webm_file_).string();
    if (webm_.Open(webm_path, info)) {
      webm_note = "recording: the file is finished when the segment closes";
    } else {
      webm_note = "not written: " + webm_.error();
      Say("cannot write the WebM file " + webm_file_ + " (" + webm_.error() +
          "); the IVF file and the index are kept");
      webm_file_.clear();
    }
  } else {
    webm_note = g.codec_fcc == kFccVp80 ? "not written: the segment file could not be created"
                                        : "no WebM file: " + FccName(g.codec_fcc) + " segment";
  }
  server_.index().Update(
      [&](IndexData& d) { d.sessions[session_id_].segments[n].webm_note = webm_note; });
  segment_ = n;
  have_first_capture_ = false;
  g.segment_id = FromUtf8(e.id);
  Answer(BuildSegmentInfoAnswer(g), "the segment info");
  Say("segment " + e.id + " opened, writing " + e.file);
}

void Connection::AddToWebm(const FrameResult& r, bool picture, uint64_t capture_time) {
  if (!webm_.is_open() || webm_.failed()) return;
  if (!picture) {
    webm_.Gap();
    return;
  }
  if (webm_.Add(r.plain, capture_time) == WebmFile::Append::kFailed)
    Say("cannot write the WebM file " + webm_file_ + " (" + webm_.error() +
        "); it is abandoned, the IVF file and the index are kept");
}

void Connection::FinishWebm(SegmentEntry& g) {
  if (webm_file_.empty()) return;
  const bool ok = webm_.Close();
  const std::filesystem::path path = std::filesystem::path(server_.index().folder()) / webm_file_;
  std::error_code ec;
  if (ok && webm_.frames_written() > 0) {
    g.webm = webm_file_;
    g.webm_frames = webm_.frames_written();
    g.webm_origin = webm_.origin_ms();
    g.webm_note.clear();
  } else {
    // A file without pictures or cut short by a failed write is no use to a player.
    std::filesystem::remove(path, ec);
    if (!ok) {
      g.webm_note = "not written: " + webm_.error();
    } else if (g.undeciphered_frames > 0) {
      g.webm_note = "no pictures: the frames could not be deciphered (no password)";
    } else if (g.digest_failures > 0) {
      g.webm_note = "no pictures: every frame failed its digest";
    } else {
      g.webm_note = "no pictures: no key frame arrived";
    }
  }
  webm_file_.clear();
}

void Connection::FinishSegment(uint64_t end_time) {
  if (!segment_) return;
  if (ivf_.is_open() && !ivf_.Close()) Say("error writing the segment file");
  jpeg_folder_.clear();
  const size_t n = *segment_;
  segment_.reset();
  SegmentEntry e = server_.index().Update([&](IndexData& d) {
    auto& g = d.sessions[session_id_].segments[n];
    if (end_time != 0) {
      g.end_time = end_time;
      g.open = false;
    }
    return g;
  });
  // Outside the index's lock: finishing writes the cues.
  FinishWebm(e);
  server_.index().Update([&](IndexData& d) {
    auto& g = d.sessions[session_id_].segments[n];
    g.webm = e.webm;
    g.webm_frames = e.webm_frames;
    g.webm_origin = e.webm_origin;
    g.webm_note = e.webm_note;
  });
  // The closing line first: readers of the output take the segment's next line as its end.
  Say("segment " + e.id + (end_time ? " closed: " : " left open: ") + std::to_string(e.frames) +
      " frames (" + std::to_string(e.key_frames) + " key), " + std::to_string(e.bytes) +
      " bytes, " + std::to_string(e.frames_written) + " written, " +
      std::to_string(e.digest_failures) + " digest failures");
  if (!e.webm.empty()) {
    Say("segment " + e.id + " WebM file " + e.webm + ": " + std::to_string(e.webm_frames) +
        " frames");
  } else if (e.codec_fcc == kFccVp80) {
    Say("segment " + e.id + " has no WebM file (" + e.webm_note + ")");
  }
  server_.index().Save();
}

void Connection::FinishSession(uint64_t end_time) {
  FinishSegment(end_time);
  server_.index().Update([&](IndexData& d) {
    auto& s = d.sessions[session_id_];
    s.end_time = end_time;
    s.open = false;
  });
  Say("session " + session_id_ + " closed");
  session_id_.clear();
  frame_key_ = PayloadBuffer();
  server_.index().Save();
}

void Connection::OnCloseSegment(const netw_message_t& m) {
  SegmentRecord g;
  if (!ReadClosedSegment(m, g)) {
    Chatter("malformed close segment ignored");
    return;
  }
  const std::string id = ToUtf8(g.segment_id);
  bool ours = false;
  if (segment_) {
    ours = server_.index().Update(
        [&](IndexData& d) { return d.sessions[session_id_].segments[*segment_].id == id; });
  }
  if (!ours) {
    Chatter("close of segment " + Shown(g.segment_id) + ", which is not open here; ignored");
    return;
  }
  FinishSegment(g.end_time != 0 ? g.end_time : NowMs());
}

void Connection::OnCloseSession(const netw_message_t& m) {
  SessionRecord s;
  if (!ReadClosedSession(m, s)) {
    Chatter("malformed close session ignored");
    return;
  }
  if (session_id_.empty() || ToUtf8(s.session_id) != session_id_) {
    Chatter("close of session " + Shown(s.session_id) + ", which is not open here; ignored");
    return;
  }
  FinishSession(s.end_time != 0 ? s.end_time : NowMs());
}

void Connection::OnEvent(const netw_message_t& m) {
  bool begins = false;
  EventRecord e;
  if (!ReadEventInfo(m, begins, e) || e.presence == 0) {
    Chatter("malformed event info ignored");
    return;
  }
  if (session_id_.empty()) {
    Chatter("event " + Shown(e.event_id) + " outside a session ignored");
    return;
  }
  server_.index().Update([&](IndexData& d) {
    auto& events = d.sessions[session_id_].events;
    EventEntry* entry = nullptr;
    for (auto& x : events)
      if (x.id == e.event_id && x.open) entry = &x;
    if (!entry) {
      events.push_back(EventEntry{});
      entry = &events.back();
      entry->id = e.event_id;
    }
    entry->rule_reference = e.rule_reference;
    entry->start_time = e.start_time;
    entry->end_time = e.end_time;
    entry->recorded_bytes = e.recorded_bytes;
    entry->open = begins;
  });
  Chatter(std::string("event ") + Shown(e.event_id) + (begins ? " begins" : " ends") + ", rule " +
          std::to_string(e.rule_reference) +
          (begins ? std::string() : ", " + std::to_string(e.recorded_bytes) + " bytes recorded"));
  server_.index().SaveIfDue();
}

void Connection::OnFrame(const netw_message_t& m) {
  FrameHeader h;
  if (m.part1.size() != kFrameHeaderSize || !ReadFrameHeader(m.part1.span(), h)) {
    Chatter("segment data with a frame header of " + std::to_string(m.part1.size()) +
            " bytes ignored");
    return;
  }
  ++frames_on_link_;
  if (!segment_) {
    server_.index().Update([&](IndexData& d) { ++d.stray_frames; });
    Chatter("frame outside an open segment ignored");
  } else {
    if (h.data_length != m.part2.size())
      Chatter("frame header says " + std::to_string(h.data_length) + " bytes, " +
              std::to_string(m.part2.size()) + " came");
    const FrameResult r = CheckFrame(h, m.part2.span(), frame_key_, plain_scratch_);
    const bool key = (h.frame_flags & kFrameFlagKeyFrame) != 0;
    const bool digest_failed = r.digest_checked && !r.digest_ok;
    // A frame that fails its digest would break the decoding of the stream; it is counted,
    // not stored.
    bool written = false;
    // The WebM file takes pictures only: what was neither deciphered nor sent plain, or failed its
    // digest, is a gap there (the IVF file keeps what came, as before).
    AddToWebm(r, !digest_failed && !m.part2.empty() && !(r.enciphered && !r.deciphered),
              h.capture_time);
    if (!digest_failed && !m.part2.empty()) {
      if (!have_first_capture_) {
        first_capture_ = h.capture_time;
        have_first_capture_ = true;
      }
      const uint64_t pts = h.capture_time >= first_capture_ ? h.capture_time - first_capture_ : 0;
      if (ivf_.is_open()) {
        written = ivf_.Append(r.plain, pts);
      } else if (!jpeg_folder_.empty()) {
        const uint64_t number = server_.index().Update([&](IndexData& d) {
          return d.sessions[session_id_].segments[*segment_].frames_written;
        }) + 1;
        char name[32];
        std::snprintf(name, sizeof name, "/frame_%06llu.jpg",
                      static_cast<unsigned long long>(number));
        if (std::FILE* f = std::fopen((jpeg_folder_ + name).c_str(), "wb")) {
          written = std::fwrite(r.plain.data(), 1, r.plain.size(), f) == r.plain.size();
          written = std::fclose(f) == 0 && written;
        }
      }
    }
    server_.index().Update([&](IndexData& d) {
      auto& g = d.sessions[session_id_].segments[*segment_];
      if (g.frames == 0) g.first_capture_time = h.capture_time;
      g.last_capture_time = h.capture_time;
      ++g.frames;
      if (key) ++g.key_frames;
      g.bytes += m.part2.size();
      if (r.digest_checked) ++g.digests_checked;
      if (digest_failed) ++g.digest_failures;
      if (r.enciphered) ++g.enciphered_frames;
      if (r.enciphered && !r.deciphered) ++g.undeciphered_frames;
      if (written) ++g.frames_written;
    });
    if (digest_failed) Chatter("frame at " + std::to_string(h.capture_time) + ": digest failure");
    if (server_.options().frame_lines)
      Chatter("frame " + std::to_string(m.part2.size()) + " bytes" + (key ? " key" : "") +
              (r.deciphered ? " deciphered" : "") +
              (r.digest_checked ? (r.digest_ok ? " digest ok" : " digest FAILED") : ""));
  }
  const uint64_t limit = server_.options().drop_after_frames;
  if (limit != 0 && frames_on_link_ >= limit) {
    Say("dropping the link after " + std::to_string(frames_on_link_) +
        " frames (--drop-after-frames)");
    link().Drop();
    End();
  }
}

RecordingServer::RecordingServer(ServerOptions options, std::FILE* out)
    : options_(std::move(options)), out_(out), index_(options_.output) {
  const platform::CalendarTime t = platform::UtcCalendar(platform::GetClock().WallSeconds());
  char prefix[32];
  std::snprintf(prefix, sizeof prefix, "S%04d%02d%02dT%02d%02d%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  id_prefix_ = prefix;
}

RecordingServer::~RecordingServer() { Stop(); }

std::string RecordingServer::NewSessionId() {
  char n[16];
  std::snprintf(n, sizeof n, "-%04u", next_session_.fetch_add(1));
  return id_prefix_ + n;
}

void RecordingServer::Say(const std::string& line) {
  std::lock_guard<std::mutex> lock(say_mutex_);
  std::fprintf(out_, "%s\n", line.c_str());
  std::fflush(out_);
}

bool RecordingServer::Start(std::string& error) {
  std::error_code ec;
  std::filesystem::create_directories(options_.output, ec);
  if (!std::filesystem::is_directory(options_.output)) {
    error = "cannot create the output folder " + options_.output;
    return false;
  }
  if (!index_.Save()) {
    error = "cannot write " + options_.output + "/index.json";
    return false;
  }
  links_ = std::make_unique<tools::LinkHost<RecordingServer, Connection>>(*this);
  if (!links_->Listen(options_.address, options_.port, error)) {
    links_.reset();
    return false;
  }
  Say("vorla-recsrv: listening on " + options_.address + ":" + std::to_string(links_->port()) +
      ", output " + options_.output);
  if (options_.http) {
    files_ = std::make_unique<FileServer>(options_.output);
    if (!files_->Start(options_.http_port, error)) {
      files_.reset();
      links_->Stop();
      links_.reset();
      return false;
    }
    Say("vorla-recsrv: viewer at http://127.0.0.1:" + std::to_string(files_->port()) + "/");
  }
  return true;
}

uint16_t RecordingServer::port() const { return links_ ? links_->port() : 0; }

void RecordingServer::Stop() {
  if (!links_) return;
  // Tell every workstation first, while the links still run.
  for (auto& c : links_->Links()) c->NotifyShutdown();
  stopping_ = true;
  links_->Stop();
  links_.reset();
  if (files_) files_->Stop();
  files_.reset();
  index_.Save();
  Say("vorla-recsrv: stopped");
}

}  // namespace vorla::recsrv
