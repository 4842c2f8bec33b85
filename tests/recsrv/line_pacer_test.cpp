// The tools' pacing of repeated lines, on the fake clock: the limit per second, the flood line,
// the count of lines left out (at the end of the second, before an unpaced line, at the end).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "line_pacer.h"
#include "platform/fake/fake_clock.h"

namespace vorla::tools {
namespace {

TEST(LinePacerTest, PrintsTheLimitAndCountsTheRestOfEachSecond) {
  platform::FakeClock clock;
  platform::ScopedClockOverride use(clock);
  std::vector<std::string> lines;
  LinePacer pacer(
      "#1 x", [&](const std::string& l) { lines.push_back(l); }, 3);

  for (int i = 0; i < 5; ++i) pacer.Chatter("line " + std::to_string(i));
  pacer.Tick();  // the second is not over: nothing yet
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "#1 x: line 0", "#1 x: line 1", "#1 x: line 2",
                       "#1 x: flood: more than 3 lines a second; the rest of this second's are "
                       "counted, not printed"}));

  lines.clear();
  clock.AdvanceMs(1000);
  pacer.Tick();
  EXPECT_EQ(lines, (std::vector<std::string>{"#1 x: flood: 2 lines left out"}));

  // A new second starts afresh; an unpaced line comes after the count of what was left out.
  lines.clear();
  for (int i = 0; i < 4; ++i) pacer.Chatter("again");
  pacer.Say("link closed");
  pacer.Flush();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[4], "#1 x: flood: 1 lines left out");
  EXPECT_EQ(lines[5], "#1 x: link closed");
}

}  // namespace
}  // namespace vorla::tools
