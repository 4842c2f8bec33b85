// Pacing of the lines a peer can make without end by repeating a message (status, events,
// frames, anything ignored): at most `per_second` of them a second on one link, so that a flood
// cannot drown the output. The first line over the limit says so; the rest are counted and their
// number printed once the second is over, before the next unpaced line, or when the link ends.
// Used by the link's own thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/clock.h"

namespace vorla::tools {

class LinePacer {
 public:
  static constexpr uint32_t kDefaultPerSecond = 200;

  // `print` takes a whole line; `tag` (the link's name) starts every line.
  LinePacer(std::string tag, std::function<void(const std::string&)> print,
            uint32_t per_second = kDefaultPerSecond)
      : tag_(std::move(tag)), print_(std::move(print)), per_second_(per_second) {}

  // A line that is always printed (after the count of lines left out, if any).
  void Say(const std::string& text) {
    Flush();
    print_(tag_ + ": " + text);
  }

  // A paced line.
  void Chatter(const std::string& text) {
    const uint64_t now = platform::GetClock().TickMs();
    if (now - window_start_ >= 1000) {
      Flush();
      window_start_ = now;
      in_window_ = 0;
    }
    if (in_window_ >= per_second_) {
      if (left_out_++ == 0)
        print_(tag_ + ": flood: more than " + std::to_string(per_second_) +
               " lines a second; the rest of this second's are counted, not printed");
      return;
    }
    ++in_window_;
    print_(tag_ + ": " + text);
  }

  // Prints the count once the second of the lines left out is over; call it on every pass.
  void Tick() {
    if (left_out_ != 0 && platform::GetClock().TickMs() - window_start_ >= 1000) Flush();
  }

  // Prints the count of the lines left out, if any.
  void Flush() {
    if (left_out_ == 0) return;
    const uint64_t n = left_out_;
    left_out_ = 0;
    print_(tag_ + ": flood: " + std::to_string(n) + " lines left out");
  }

  const std::string& tag() const { return tag_; }

 private:
  std::string tag_;
  std::function<void(const std::string&)> print_;
  uint32_t per_second_;
  uint64_t window_start_ = 0;
  uint32_t in_window_ = 0;
  uint64_t left_out_ = 0;
};

}  // namespace vorla::tools
