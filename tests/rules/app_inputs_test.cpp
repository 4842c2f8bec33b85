// The window snapshot and the two application inputs, on the fake window system.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/fake/fake_windows.h"
#include "rules/trigger_input_app.h"

namespace vorla {
namespace {

using platform::FakeWindowSystem;
using platform::WindowHandle;
using State = platform::WindowPlacementState;

class AppInputTest : public ::testing::Test {
 protected:
  FakeWindowSystem windows_;
  platform::ScopedWindowSystemOverride use_{windows_};
};

TEST(WindowTextMatches, UpperCasesOnlyAsciiLettersAndFindsSubstrings) {
  struct Row {
    const char16_t* text;
    const char16_t* in;
    bool expected;
  };
  const Row rows[] = {
      {u"note", u"Untitled - Notepad", true},
      {u"NOTEPAD", u"untitled - notepad", true},
      {u"", u"anything", true},
      {u"", u"", true},
      {u"note", u"", false},
      {u"pad x", u"Notepad", false},
      {u"d - N", u"Untitled - Notepad", true},
      {u"*pad", u"Notepad", false},       // no wildcards
      {u"\u00e4", u"\u00c4rger", false},  // only a-z change case
      {u"\u00c4", u"\u00c4rger", true},
      {u"[x]", u"[X] done", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "row " << (&row - rows));
    EXPECT_EQ(WindowTextMatches(row.text, row.in), row.expected);
  }
}

TEST_F(AppInputTest, AllEmptyInputIsTrueWhileAnyVisibleWindowExists) {
  TriggerInputApp app;
  EXPECT_FALSE(app.Evaluate());  // no window at all
  const WindowHandle hidden = windows_.Add(u"Hidden", u"C");
  windows_.SetVisible(hidden, false);
  EXPECT_FALSE(app.Evaluate());
  const WindowHandle shown = windows_.Add(u"", u"");
  EXPECT_TRUE(app.Evaluate());
  windows_.SetState(shown, State::kMinimised);
  EXPECT_TRUE(app.Evaluate());
  windows_.FailEnumeration(true);
  EXPECT_FALSE(app.Evaluate());
  EXPECT_FALSE(app.last_result);
  EXPECT_EQ(windows_.enumerations(), 5);  // one snapshot per evaluation
}

TEST_F(AppInputTest, TitleAndClassTestsIncludingTheOwnersTitle) {
  const WindowHandle notepad = windows_.Add(u"Untitled - Notepad", u"Notepad");
  windows_.Add(u"Save As", u"#32770", notepad);
  windows_.Add(u"Calculator", u"CalcFrame");
  struct Row {
    const char16_t* title;
    const char16_t* cls;
    bool expected;
  };
  const Row rows[] = {
      {u"note", u"", true},         {u"note", u"notepad", true},
      {u"note", u"calc", false},    // title and class must fit the same window
      {u"notepad", u"#327", true},  // the dialog, through its owner's title
      {u"save", u"notepad", false}, {u"save as", u"", true},
      {u"calc", u"frame", true},    {u"word", u"", false},
      {u"", u"CALCF", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "row " << (&row - rows));
    TriggerInputApp app;
    app.title_text = row.title;
    app.class_text = row.cls;
    EXPECT_EQ(app.Evaluate(), row.expected);
  }
}

TEST_F(AppInputTest, OwnersTitleIsReadNowAndOnlyWhenNeeded) {
  const WindowHandle owner = windows_.Add(u"Report.doc - Editor", u"Main");
  windows_.Add(u"Print", u"Dialog", owner);
  TriggerInputApp app;
  app.title_text = u"report";
  app.class_text = u"dialog";
  EXPECT_TRUE(app.Evaluate());
  windows_.SetTitle(owner, u"Other.doc - Editor");
  EXPECT_FALSE(app.Evaluate());
  // An owner that is gone is compared as no match, not as a crash.
  windows_.SetTitle(owner, u"Report.doc - Editor");
  windows_.Remove(owner);
  EXPECT_FALSE(app.Evaluate());

  // Own title matches: the owner's title is not read.
  windows_.Clear();
  const WindowHandle o2 = windows_.Add(u"Owner", u"");
  windows_.Add(u"Find", u"", o2);
  const int before = windows_.title_reads();
  app.title_text = u"find";
  app.class_text = u"";
  windows_.SetVisible(o2, false);
  EXPECT_TRUE(app.Evaluate());
  EXPECT_EQ(windows_.title_reads() - before, 1);  // the dialog's own title in the snapshot
}

TEST_F(AppInputTest, FocusMasks) {
  const WindowHandle w = windows_.Add(u"Editor", u"");
  struct Row {
    uint32_t focus;
    uint32_t excluded_focus;
    bool foreground;
    bool expected;
  };
  const Row rows[] = {
      {1, 1, true, true},  {1, 1, false, true},  {4, 1, true, true},  {4, 1, false, false},
      {2, 1, true, false}, {2, 1, false, true},  {6, 1, true, true},  {6, 1, false, true},
      {0, 1, true, false}, {0, 1, false, false}, {1, 4, true, false}, {1, 4, false, true},
      {1, 2, true, true},  {1, 2, false, false}, {1, 5, true, true},  {1, 6, false, false},
      {4, 2, true, true},  {4, 4, true, false},  {1, 0, true, true},  {1, 0, false, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "focus " << row.focus << " excluded " << row.excluded_focus
                                    << (row.foreground ? " foreground" : " background"));
    windows_.SetForeground(row.foreground ? w : platform::kNoWindow);
    TriggerInputApp app;
    app.focus_mask = row.focus;
    app.excluded_focus_mask = row.excluded_focus;
    EXPECT_EQ(app.Evaluate(), row.expected);
  }
}

TEST_F(AppInputTest, FocusMaskFourFollowsTheForegroundWindow) {
  const WindowHandle a = windows_.Add(u"Untitled - Notepad", u"");
  const WindowHandle b = windows_.Add(u"Browser", u"");
  TriggerInputApp app;
  app.title_text = u"notepad";
  app.focus_mask = 4;
  const std::pair<WindowHandle, bool> steps[] = {
      {b, false}, {a, true}, {platform::kNoWindow, false}, {a, true}, {b, false}};
  for (const auto& [foreground, expected] : steps) {
    windows_.SetForeground(foreground);
    EXPECT_EQ(app.Evaluate(), expected) << "foreground " << foreground;
  }
}

TEST_F(AppInputTest, StateMasksOnOnePass) {
  const WindowHandle w = windows_.Add(u"Editor", u"");
  struct Row {
    uint32_t show;
    uint32_t excluded;
    State state;
    bool expected;
  };
  const Row rows[] = {
      {1, 1, State::kNormal, true},     {1, 1, State::kMinimised, true},
      {2, 1, State::kNormal, true},     {2, 1, State::kMaximised, false},
      {4, 1, State::kMinimised, true},  {4, 1, State::kNormal, false},
      {8, 1, State::kMaximised, true},  {8, 1, State::kMinimised, false},
      {10, 1, State::kNormal, true},    {10, 1, State::kMinimised, false},
      {0, 1, State::kNormal, false},    {1, 2, State::kNormal, false},
      {1, 2, State::kMaximised, true},  {1, 4, State::kMinimised, false},
      {1, 8, State::kMaximised, false}, {1, 8, State::kNormal, true},
      {1, 9, State::kMaximised, true},  {8, 8, State::kMaximised, false},
      {1, 0, State::kMinimised, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "show " << row.show << " excluded " << row.excluded
                                    << " state " << static_cast<int>(row.state));
    windows_.SetState(w, row.state);
    TriggerInputApp app;
    app.show_state_mask = row.show;
    app.excluded_state_mask = row.excluded;
    EXPECT_EQ(app.Evaluate(), row.expected);
  }
}

TEST_F(AppInputTest, ShowStateIsCheckedOnlyUntilTrueButExclusionsAlways) {
  struct Step {
    const char* what;
    bool window_present;
    State state;
    bool expected;
  };
  struct Case {
    uint32_t excluded;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {1,
       {{"normal", true, State::kNormal, false},
        {"maximised", true, State::kMaximised, true},
        {"restored", true, State::kNormal, true},
        {"minimised", true, State::kMinimised, true},
        {"closed", false, State::kNormal, false},
        {"opened normal", true, State::kNormal, false}}},
      {4,
       {{"maximised", true, State::kMaximised, true},
        {"restored", true, State::kNormal, true},
        {"minimised", true, State::kMinimised, false},
        {"restored again", true, State::kNormal, false},
        {"maximised again", true, State::kMaximised, true}}},
  };
  for (const Case& c : cases) {
    TriggerInputApp app;
    app.title_text = u"editor";
    app.show_state_mask = 8;
    app.excluded_state_mask = c.excluded;
    windows_.Clear();
    WindowHandle w = platform::kNoWindow;
    for (const Step& s : c.steps) {
      SCOPED_TRACE(testing::Message() << "excluded " << c.excluded << ": " << s.what);
      if (!s.window_present && w != platform::kNoWindow) {
        windows_.Remove(w);
        w = platform::kNoWindow;
      }
      if (s.window_present && w == platform::kNoWindow) w = windows_.Add(u"My Editor", u"");
      if (w != platform::kNoWindow) windows_.SetState(w, s.state);
      EXPECT_EQ(app.Evaluate(), s.expected);
      EXPECT_EQ(app.last_result, s.expected);
    }
  }
}

TEST_F(AppInputTest, AppExLatch) {
  TriggerInputAppEx ex;
  ex.start_title_text = u"start me";
  ex.stop_title_text = u"stop me";
  EXPECT_FALSE(ex.Evaluate());
  const WindowHandle start = windows_.Add(u"Please start me", u"");
  EXPECT_TRUE(ex.Evaluate());
  windows_.Remove(start);
  EXPECT_TRUE(ex.Evaluate());  // latched
  const WindowHandle stop = windows_.Add(u"Now stop me", u"");
  EXPECT_FALSE(ex.Evaluate());
  const WindowHandle start2 = windows_.Add(u"start me again", u"");
  EXPECT_FALSE(ex.Evaluate());  // start and stop together while unlatched
  EXPECT_FALSE(ex.latched);
  windows_.Remove(stop);
  EXPECT_TRUE(ex.Evaluate());
  windows_.Add(u"stop me too", u"");
  EXPECT_FALSE(ex.Evaluate());  // latched and stop seen, even with the start window present
  windows_.Remove(start2);
  windows_.FailEnumeration(true);
  EXPECT_FALSE(ex.Evaluate());
}

TEST_F(AppInputTest, AppExFocusMasksAndClasses) {
  const WindowHandle a = windows_.Add(u"Alpha", u"Starter");
  windows_.Add(u"Beta", u"Stopper");
  TriggerInputAppEx ex;
  ex.start_class_text = u"starter";
  ex.stop_class_text = u"stopper";
  ex.start_focus_mask = 4;  // only while the start window has the focus
  ex.stop_focus_mask = 4;
  EXPECT_FALSE(ex.Evaluate());  // nothing focused: neither seen
  windows_.SetForeground(a);
  EXPECT_TRUE(ex.Evaluate());  // the stop window exists but is not focused
  EXPECT_TRUE(ex.latched);
}

TEST_F(AppInputTest, SnapshotSkipsVanishingWindowsAndCutsLongTexts) {
  // A window that disappears after each possible number of queries is skipped, never half
  // reported; the others are all there, in order.
  for (int queries = 0; queries <= 6; ++queries) {
    SCOPED_TRACE(queries);
    windows_.Clear();
    const WindowHandle first = windows_.Add(u"First", u"A");
    const WindowHandle doomed = windows_.Add(u"Doomed", u"B");
    const WindowHandle last = windows_.Add(u"Last", u"C");
    windows_.VanishAfterQueries(doomed, queries);
    WindowHandle foreground = 99;
    std::vector<WindowInfo> records;
    ASSERT_TRUE(EnumVisibleWindows(foreground, records));
    EXPECT_EQ(foreground, platform::kNoWindow);
    std::vector<WindowHandle> seen;
    for (const auto& r : records) seen.push_back(r.window);
    if (queries >= 6) {
      EXPECT_EQ(seen, (std::vector<WindowHandle>{first, doomed, last}));
    } else {
      EXPECT_EQ(seen, (std::vector<WindowHandle>{first, last}));
    }
  }

  windows_.Clear();
  const std::u16string long_title = std::u16string(250, u'x') + u"needle" + u"tail";
  const WindowHandle owner = windows_.Add(std::u16string(253, u'y') + u"needle", u"");
  windows_.Add(long_title, std::u16string(300, u'c'), owner);
  WindowHandle foreground = 0;
  std::vector<WindowInfo> records;
  ASSERT_TRUE(EnumVisibleWindows(foreground, records));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].title.size(), 255u);
  EXPECT_EQ(records[1].class_name.size(), 255u);
  EXPECT_EQ(records[1].parent, owner);
  TriggerInputApp app;
  app.title_text = u"needlet";  // cut off in the snapshot, but the owner's title has room
  EXPECT_FALSE(app.Evaluate());
  app.title_text = u"needle";
  EXPECT_TRUE(app.Evaluate());
  // The owner's title is read into 260 characters: a needle past 259 is not seen.
  windows_.Clear();
  const WindowHandle far_owner = windows_.Add(std::u16string(256, u'y') + u"needle", u"");
  windows_.SetVisible(far_owner, false);
  windows_.Add(u"dialog", u"", far_owner);
  EXPECT_FALSE(app.Evaluate());
}

}  // namespace
}  // namespace vorla
