#include "recording_index.h"

#include <cstdio>
#include <filesystem>

#include "platform/clock.h"
#include "tool_text.h"
#include "viewer_page.h"

namespace vorla::recsrv {

namespace {

template <class Unit>
std::string Escape(std::basic_string_view<Unit> text) {
  std::string out = "\"";
  for (Unit u : text) {
    const uint32_t c = static_cast<std::make_unsigned_t<Unit>>(u);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c >= 0x20 && c < 0x7F) {
          out += static_cast<char>(c);
        } else {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04X", c);
          out += buf;
        }
    }
  }
  out += '"';
  return out;
}

std::string Num(uint64_t v) { return std::to_string(v); }
std::string Int(int64_t v) { return std::to_string(v); }
std::string Bool(bool v) { return v ? "true" : "false"; }

// The index names the built-in JPEG engine's code 0 "MJPG", as the rule texts do.
std::string Fcc(uint32_t fcc) { return fcc == 0 ? "MJPG" : tools::FccText(fcc); }

// Writes `folder`/`name` through a temporary file renamed over it.
bool ReplaceFile(const std::string& folder, const char* name, const std::string& text) {
  const std::filesystem::path final_path = std::filesystem::path(folder) / name;
  std::filesystem::path temp_path = final_path;
  temp_path += ".tmp";
  std::FILE* f = std::fopen(temp_path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = std::fclose(f) == 0 && ok;
  std::error_code ec;
  if (ok) std::filesystem::rename(temp_path, final_path, ec);
  return ok && !ec;
}

}  // namespace

std::string JsonString(std::u16string_view text) { return Escape(text); }
// Bytes at or above 0x80 are escaped one by one: our own texts are ASCII.
std::string JsonString(std::string_view text) { return Escape(text); }

std::string IndexJson(const IndexData& d) {
  std::string j = "{\n  \"workstations\": [";
  for (size_t i = 0; i < d.workstations.size(); ++i) {
    const auto& w = d.workstations[i];
    j += i ? ",\n    {" : "\n    {";
    j += "\"name\": " + JsonString(w.name) +
         ", \"address\": " + JsonString(tools::Dotted(w.address)) +
         ", \"peer\": " + JsonString(w.peer) + ", \"registrations\": " + Num(w.registrations) +
         ", \"status_messages\": " + Num(w.status_messages) +
         ", \"last_status_word\": " + Num(w.last_status_word) +
         ", \"last_status_code\": " + Num(w.last_status_code) + "}";
  }
  j += d.workstations.empty() ? "],\n" : "\n  ],\n";
  j += "  \"stray_frames\": " + Num(d.stray_frames) + ",\n  \"sessions\": [";
  bool first_session = true;
  for (const auto& [id, s] : d.sessions) {
    j += first_session ? "\n    {\n" : ",\n    {\n";
    first_session = false;
    j += "      \"id\": " + JsonString(s.id) + ",\n";
    j += "      \"workstation\": " + JsonString(s.workstation_name) +
         ", \"workstation_address\": " + JsonString(tools::Dotted(s.workstation_address)) + ",\n";
    j += "      \"user\": " + JsonString(s.user_name) +
         ", \"seating_type\": " + Num(s.seating_type) + ", \"flags\": " + Num(s.session_flags) +
         ", \"enciphered\": " + Bool((s.session_flags & 0x40) != 0) + ",\n";
    j += "      \"start_time\": " + Num(s.start_time) + ", \"end_time\": " + Num(s.end_time) +
         ", \"open\": " + Bool(s.open) + ", \"rules\": " + Num(s.rule_count) + ",\n";
    j += "      \"segments\": [";
    for (size_t i = 0; i < s.segments.size(); ++i) {
      const auto& g = s.segments[i];
      j += i ? ",\n        {" : "\n        {";
      j += "\"id\": " + JsonString(g.id) + ", \"file\": " + JsonString(g.file) +
           ", \"codec\": " + JsonString(Fcc(g.codec_fcc)) + ", \"rect\": [" + Int(g.x) + ", " +
           Int(g.y) + ", " + Int(g.width) + ", " + Int(g.height) + "]" +
           ", \"frame_rate\": " + Num(g.frame_rate) + ", \"quality\": " + Num(g.quality) +
           ", \"start_time\": " + Num(g.start_time) + ", \"end_time\": " + Num(g.end_time) +
           ", \"open\": " + Bool(g.open) + ", \"frames\": " + Num(g.frames) +
           ", \"frames_written\": " + Num(g.frames_written) +
           ", \"key_frames\": " + Num(g.key_frames) + ", \"bytes\": " + Num(g.bytes) +
           ", \"digests_checked\": " + Num(g.digests_checked) +
           ", \"digest_failures\": " + Num(g.digest_failures) +
           ", \"enciphered_frames\": " + Num(g.enciphered_frames) +
           ", \"undeciphered_frames\": " + Num(g.undeciphered_frames) +
           ", \"first_capture_time\": " + Num(g.first_capture_time) +
           ", \"last_capture_time\": " + Num(g.last_capture_time) +
           ", \"webm\": " + JsonString(g.webm) + ", \"webm_frames\": " + Num(g.webm_frames) +
           ", \"webm_origin\": " + Num(g.webm_origin) +
           ", \"webm_note\": " + JsonString(g.webm_note) + "}";
    }
    j += s.segments.empty() ? "],\n" : "\n      ],\n";
    j += "      \"events\": [";
    for (size_t i = 0; i < s.events.size(); ++i) {
      const auto& e = s.events[i];
      j += i ? ",\n        {" : "\n        {";
      j += "\"id\": " + JsonString(e.id) + ", \"rule\": " + Num(e.rule_reference) +
           ", \"start_time\": " + Num(e.start_time) + ", \"end_time\": " + Num(e.end_time) +
           ", \"recorded_bytes\": " + Num(e.recorded_bytes) + ", \"open\": " + Bool(e.open) + "}";
    }
    j += s.events.empty() ? "]\n    }" : "\n      ]\n    }";
  }
  j += d.sessions.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return j;
}

void RecordingIndex::SaveIfDue() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!changed_) return;
  }
  {
    std::lock_guard<std::mutex> lock(save_mutex_);
    if (platform::GetClock().TickMs() - last_save_ms_ < 1000) return;
  }
  Save();
}

bool RecordingIndex::Save() {
  std::string json;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    json = IndexJson(data_);
    changed_ = false;
  }
  // One writer at a time: connection threads save at session and segment boundaries.
  std::lock_guard<std::mutex> lock(save_mutex_);
  last_save_ms_ = platform::GetClock().TickMs();
  const bool json_ok = ReplaceFile(folder_, "index.json", json);
  return ReplaceFile(folder_, "index.html", ViewerPage(json)) && json_ok;
}

}  // namespace vorla::recsrv
