// The factories' default objects and the evaluation of the schedule and external inputs.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "platform/fake/fake_clock.h"
#include "rules/rule_actions.h"
#include "rules/trigger_input_app.h"
#include "rules/trigger_input_ext.h"
#include "rules/trigger_input_keyboard.h"
#include "rules/trigger_input_schedule.h"

namespace vorla {
namespace {

TEST(CreateTriggerInput, DefaultsOfEachType) {
  auto app = std::dynamic_pointer_cast<TriggerInputApp>(CreateTriggerInput(514));
  ASSERT_NE(app, nullptr);
  EXPECT_EQ(app->type(), 514);
  EXPECT_EQ(app->name, u"WIN");
  EXPECT_EQ(app->title_text, u"");
  EXPECT_EQ(app->class_text, u"");
  EXPECT_EQ(app->show_state_mask, 1u);
  EXPECT_EQ(app->excluded_state_mask, 1u);
  EXPECT_EQ(app->focus_mask, 1u);
  EXPECT_EQ(app->excluded_focus_mask, 1u);
  EXPECT_FALSE(app->last_result);

  auto key = std::dynamic_pointer_cast<TriggerInputKeyBoard>(CreateTriggerInput(515));
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->type(), 515);
  EXPECT_EQ(key->name, u"");
  EXPECT_EQ(key->Describe(), u"KEY: Sart 0x0 Stop 0x0");

  auto ext = std::dynamic_pointer_cast<TriggerInputExt>(CreateTriggerInput(516));
  ASSERT_NE(ext, nullptr);
  EXPECT_EQ(ext->type(), 516);
  EXPECT_EQ(ext->Describe(), u"EXT");
  EXPECT_FALSE(ext->state);

  auto tim = std::dynamic_pointer_cast<TriggerInputSchedule>(CreateTriggerInput(518));
  ASSERT_NE(tim, nullptr);
  EXPECT_EQ(tim->type(), 518);
  EXPECT_EQ(tim->Describe(), u"TIM: 00:00:00 to 00:00:00");

  auto ex = std::dynamic_pointer_cast<TriggerInputAppEx>(CreateTriggerInput(520));
  ASSERT_NE(ex, nullptr);
  EXPECT_EQ(ex->type(), 520);
  EXPECT_EQ(ex->Describe(), u"WIN: ");
  EXPECT_EQ(ex->start_focus_mask, 1u);
  EXPECT_EQ(ex->stop_focus_mask, 1u);
  EXPECT_FALSE(ex->latched);

  for (int32_t unknown : {0, 513, 517, 519, 521, -514, 257}) {
    SCOPED_TRACE(unknown);
    EXPECT_EQ(CreateTriggerInput(unknown), nullptr);
  }
}

TEST(CreateAction, DefaultsOfEachType) {
  auto rec = std::dynamic_pointer_cast<ActionRecord>(CreateAction(257));
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(rec->type(), 257);
  EXPECT_EQ(rec->x, 0);
  EXPECT_EQ(rec->y, 0);
  EXPECT_EQ(rec->width, 0u);
  EXPECT_EQ(rec->height, 0u);
  EXPECT_EQ(rec->images_per_second, 1u);
  EXPECT_EQ(rec->codec_fourcc, 0u);
  EXPECT_EQ(rec->quality, 60u);
  EXPECT_EQ(rec->carried_value, 25u);
  EXPECT_EQ(rec->duration_seconds, -1);
  EXPECT_EQ(rec->Describe(), u"Record@1ips@MJPG");

  struct Row {
    int32_t type;
    const char16_t* text;
  };
  for (const Row& row : {Row{258, u"StopRecording"}, Row{260, u"Blank"}, Row{264, u"UnBlank"}}) {
    SCOPED_TRACE(row.type);
    auto a = CreateAction(row.type);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->type(), row.type);
    EXPECT_EQ(a->Describe(), row.text);
    size_t size = 99;
    ASSERT_TRUE(a->Write(nullptr, size));
    EXPECT_EQ(size, 0u);
  }
  for (int32_t unknown : {0, 256, 259, 261, 263, 265, 514}) {
    SCOPED_TRACE(unknown);
    EXPECT_EQ(CreateAction(unknown), nullptr);
  }
}

// Midnight UTC of 2023-11-14.
constexpr int64_t kMidnight = 1699920000;
constexpr int64_t At(int h, int m, int s) { return kMidnight + h * 3600 + m * 60 + s; }

TEST(TriggerInputScheduleEvaluate, InclusiveDailyWindowOnTheLocalClock) {
  platform::FakeClock clock(kMidnight * 1000);
  platform::ScopedClockOverride use(clock);
  struct Row {
    uint32_t from[3], to[3];
    int64_t now;
    bool expected;
  };
  const Row rows[] = {
      {{8, 0, 0}, {17, 30, 0}, At(8, 0, 0), true},
      {{8, 0, 0}, {17, 30, 0}, At(17, 30, 0), true},
      {{8, 0, 0}, {17, 30, 0}, At(7, 59, 59), false},
      {{8, 0, 0}, {17, 30, 0}, At(17, 30, 1), false},
      {{8, 0, 0}, {17, 30, 0}, At(12, 0, 0), true},
      {{8, 0, 0}, {17, 30, 0}, At(0, 0, 0), false},
      {{8, 30, 15}, {8, 30, 20}, At(8, 30, 14), false},
      {{8, 30, 15}, {8, 30, 20}, At(8, 30, 17), true},
      {{8, 30, 15}, {8, 30, 20}, At(8, 30, 21), false},
      {{8, 30, 15}, {9, 10, 0}, At(9, 5, 30), true},
      {{8, 30, 15}, {9, 10, 0}, At(8, 45, 0), true},
      {{0, 0, 0}, {23, 59, 59}, At(23, 59, 59), true},
      // A window across midnight is never TRUE.
      {{22, 0, 0}, {6, 0, 0}, At(23, 0, 0), false},
      {{22, 0, 0}, {6, 0, 0}, At(3, 0, 0), false},
      {{22, 0, 0}, {6, 0, 0}, At(22, 0, 0), false},
      {{22, 0, 0}, {6, 0, 0}, At(6, 0, 0), false},
      // The default (00:00:00 to 00:00:00) is TRUE for the first second of the day only.
      {{0, 0, 0}, {0, 0, 0}, At(0, 0, 0), true},
      {{0, 0, 0}, {0, 0, 0}, At(0, 0, 1), false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message()
                 << row.from[0] << ":" << row.from[1] << ":" << row.from[2] << " to " << row.to[0]
                 << ":" << row.to[1] << ":" << row.to[2] << " at " << (row.now - kMidnight));
    TriggerInputSchedule tim;
    tim.start_hour = row.from[0];
    tim.start_minute = row.from[1];
    tim.start_second = row.from[2];
    tim.end_hour = row.to[0];
    tim.end_minute = row.to[1];
    tim.end_second = row.to[2];
    clock.SetSeconds(row.now);
    EXPECT_EQ(tim.Evaluate(), row.expected);
  }
}

TEST(TriggerInputScheduleEvaluate, UsesLocalTimeNotUtc) {
  // Local time is UTC + 2 h: 06:30 UTC is 08:30 local.
  platform::FakeClock clock(At(6, 30, 0) * 1000, 2 * 3600);
  platform::ScopedClockOverride use(clock);
  TriggerInputSchedule tim;
  tim.start_hour = 8;
  tim.end_hour = 9;
  EXPECT_TRUE(tim.Evaluate());
  clock.SetSeconds(At(8, 30, 0));  // 10:30 local
  EXPECT_FALSE(tim.Evaluate());
}

TEST(TriggerInputExtEvaluate, ReturnsItsState) {
  TriggerInputExt ext;
  EXPECT_FALSE(ext.Evaluate());
  ext.state = true;
  EXPECT_TRUE(ext.Evaluate());
}

TEST(TriggerInputRead, FailureLeavesFieldsUnchanged) {
  // Name "Z" and three of the six schedule values.
  const uint8_t body[] = {0x5A, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
                          0x02, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00};
  TriggerInputSchedule tim;
  tim.start_hour = 7;
  ByteReader in(body);
  EXPECT_FALSE(tim.Read(in));
  EXPECT_TRUE(in.failed());
  EXPECT_EQ(tim.name, u"TIM");
  EXPECT_EQ(tim.start_hour, 7u);
  EXPECT_EQ(tim.start_minute, 0u);
}

}  // namespace
}  // namespace vorla
