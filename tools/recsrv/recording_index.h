// The recording server's index: what it has seen of workstations, sessions, segments and events,
// written as JSON (index.json) into the output folder. Entries grow per session, segment and
// event, never per frame, so a long session does not make the index grow.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace vorla::recsrv {

// `text` as a JSON string literal (quotes included). Only ASCII is written: every code unit
// outside printable ASCII becomes \uXXXX, so the output is valid whatever the peer sent (lone
// surrogates included).
std::string JsonString(std::u16string_view text);
std::string JsonString(std::string_view ascii_or_utf8);

struct WorkstationEntry {
  std::u16string name;
  uint32_t address = 0;  // as registered, network order
  std::string peer;      // the link's peer address, dotted
  uint32_t registrations = 0;
  uint32_t last_status_word = 0;
  uint32_t last_status_code = 0;
  uint32_t status_messages = 0;
};

struct SegmentEntry {
  std::string id;
  std::string file;  // relative to the output folder
  uint32_t codec_fcc = 0;
  int32_t x = 0, y = 0, width = 0, height = 0;
  uint32_t frame_rate = 0;
  uint32_t quality = 0;
  uint64_t start_time = 0;
  uint64_t end_time = 0;
  bool open = true;
  uint64_t frames = 0;          // frames received
  uint64_t frames_written = 0;  // frames appended to the file
  uint64_t key_frames = 0;
  uint64_t bytes = 0;  // frame bytes received
  uint64_t digests_checked = 0;
  uint64_t digest_failures = 0;
  uint64_t enciphered_frames = 0;
  uint64_t undeciphered_frames = 0;  // enciphered, and no password to decipher them
  uint64_t first_capture_time = 0;
  uint64_t last_capture_time = 0;
  // The segment as a WebM file (VP8 only), set once the file is finished; empty while the
  // segment records and when there is none, with `webm_note` saying why.
  std::string webm;  // relative to the output folder
  uint64_t webm_frames = 0;
  uint64_t webm_origin = 0;  // capture time of the file's time code 0
  std::string webm_note;
};

struct EventEntry {
  std::u16string id;
  uint32_t rule_reference = 0;
  uint64_t start_time = 0;
  uint64_t end_time = 0;
  uint64_t recorded_bytes = 0;
  bool open = true;
};

struct SessionEntry {
  std::string id;
  std::u16string workstation_name;
  uint32_t workstation_address = 0;
  std::u16string user_name;
  uint32_t seating_type = 0;
  uint32_t session_flags = 0;
  uint64_t start_time = 0;
  uint64_t end_time = 0;
  uint32_t rule_count = 0;
  bool open = true;
  std::vector<SegmentEntry> segments;
  std::vector<EventEntry> events;
};

struct IndexData {
  std::vector<WorkstationEntry> workstations;
  std::map<std::string, SessionEntry> sessions;  // by session id (ids sort in creation order)
  uint64_t stray_frames = 0;                     // frames outside any open segment
};

std::string IndexJson(const IndexData& data);

// The shared index: connection threads change it under its lock.
class RecordingIndex {
 public:
  explicit RecordingIndex(std::string output_folder) : folder_(std::move(output_folder)) {}

  template <class F>
  auto Update(F&& f) {
    std::lock_guard<std::mutex> lock(mutex_);
    changed_ = true;
    return f(data_);
  }
  // Writes index.json and the viewer page index.html (each through a temporary file, so a reader
  // never sees half of it).
  bool Save();
  // Saves when something changed and the last save is a second old or more. The connections
  // call it on every pass and after the changes a workstation can repeat without end
  // (registrations, events), so the file is about a second behind at most and a flood costs
  // one save a second, not one per message (each save writes the whole index).
  void SaveIfDue();
  const std::string& folder() const { return folder_; }

 private:
  std::mutex mutex_;
  std::mutex save_mutex_;
  bool changed_ = false;       // under mutex_
  uint64_t last_save_ms_ = 0;  // platform tick; under save_mutex_
  IndexData data_;
  std::string folder_;
};

}  // namespace vorla::recsrv
