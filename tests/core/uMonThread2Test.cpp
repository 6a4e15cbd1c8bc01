// Change records, the repeat rule and the log lines.
#include <gtest/gtest.h>

#include <cstring>

#include "base/uPlatformText.h"
#include "base/uTimeText.h"
#include "base/uTranslation.h"
#include "watcher/uDirChanges.h"
#include "watcher/uMonThread2.h"

namespace {

class FixedClock : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLongTimeFormat(TimeFormatFromPattern("%k:%M:%S", "", "", ""));
    SetClockForTesting([] {
      std::tm t{};
      t.tm_mday = 1;
      t.tm_hour = 9;
      t.tm_min = 5;
      t.tm_sec = 7;
      return t;
    });
  }
  void TearDown() override { SetClockForTesting({}); }
};

// Builds a buffer the way the system lays records out.
std::vector<uint8_t> Buffer(std::initializer_list<std::pair<uint32_t, std::u16string>> records) {
  std::vector<uint8_t> buffer(kChangeBufferSize, 0);
  TRecordWriter writer(buffer.data(), buffer.size());
  for (const auto& [action, name] : records) EXPECT_TRUE(writer.Append(action, name));
  return buffer;
}

uint32_t U32At(const std::vector<uint8_t>& b, size_t at) {
  uint32_t v;
  std::memcpy(&v, b.data() + at, 4);
  return v;
}

}  // namespace

using Records = FixedClock;

TEST_F(Records, LabelsAndWordsForEveryAction) {
  const std::pair<uint32_t, std::pair<const char*, const char*>> table[] = {
      {1, {"создан:", "создан"}},
      {2, {"удален:", "удален"}},
      {3, {"изменен:", "изменен"}},
      {4, {"переименован из:", "переименован"}},
      {5, {"переименован в:", "переименован"}},
      {0, {"неопознанная операция:", "неопознанная операция"}},
      {6, {"неопознанная операция:", "неопознанная операция"}},
      {0xFFFFFFFF, {"неопознанная операция:", "неопознанная операция"}}};
  for (const auto& [action, texts] : table) {
    EXPECT_EQ(ActionLabel(action), texts.first) << action;
    EXPECT_EQ(ActionWord(action), texts.second) << action;
  }
  EXPECT_EQ(MakeOperationText(3), "9:05:07   изменен:   ");
}

// Translators as the user interface installs one: each text tagged with its context; one that
// puts a "#" into every text; one with nothing to say.
std::string Tagged(const char* context, const char* source) {
  return std::string(context) + "|" + source;
}
std::string Hashed(const char*, const char* source) {
  return std::string("#") + source;
}
std::string Silent(const char*, const char*) {
  return {};
}

TEST_F(Records, LogTextsComeThroughTheTranslatorAndKeepTheirLayout) {
  struct TRestore {
    ~TRestore() { TTranslation::Install(nullptr); }
  } restore;
  TTranslation::Install(&Tagged);
  EXPECT_EQ(ActionLabel(3), "LogLines|изменен:");
  EXPECT_EQ(ActionWord(4), "LogLines|переименован");
  EXPECT_EQ(MonitoringStatus(true), "LogLines|Мониторинг папки активен");
  const std::string line = ChangeLogLine(MakeOperationText(2), "a#b");
  EXPECT_EQ(line, "9:05:07   LogLines|удален:    #a#b");
  EXPECT_EQ(NameFromLogLine(line), "a#b");
  EXPECT_EQ(StopLogLine(), "9:05:07   LogLines| монитор остановлен");
  // A "#" would move where the name is read back from: the Russian text stands in.
  for (const auto translator : {&Hashed, &Silent}) {
    TTranslation::Install(translator);
    EXPECT_EQ(ActionLabel(3), "изменен:");
    EXPECT_EQ(NameFromLogLine(StartLogLine()), "");
  }
  TTranslation::Install(nullptr);
  EXPECT_EQ(ActionLabel(1), "создан:");
}

TEST(FormatText, FillsTheNumberedPlacesInOnePass) {
  EXPECT_EQ(FormatText("%2 и %1, %3 %%1", {"a%2", "b"}), "b и a%2, %3 %a%2");
}

TEST_F(Records, WriterAlignsRecordsAndLeavesTheLastUnpadded) {
  const auto b = Buffer({{1, u"a"}, {4, u"old.txt"}, {5, u"new.txt"}});
  EXPECT_EQ(U32At(b, 0), 16u);  // 12 + 2 bytes, padded to 16
  EXPECT_EQ(U32At(b, 4), 1u);
  EXPECT_EQ(U32At(b, 8), 2u);
  EXPECT_EQ(U32At(b, 16), 28u);  // 12 + 14 = 26, padded to 28
  EXPECT_EQ(U32At(b, 44), 0u);   // the last record ends the walk
  EXPECT_EQ(U32At(b, 48), 5u);

  std::vector<uint8_t> small(40, 0);
  TRecordWriter writer(small.data(), small.size());
  EXPECT_TRUE(writer.Append(1, u"abcdefghij"));  // 32 bytes
  EXPECT_FALSE(writer.Append(1, u"x"));          // would need 32 + 14
  EXPECT_EQ(writer.Count(), 1u);
  EXPECT_EQ(U32At(small, 0), 0u);
}

TEST_F(Records, DecodesEveryRecordInBufferOrder) {
  const auto b = Buffer({{1, u"sub/a.txt"}, {4, u"old"}, {5, u"новый"}});
  const auto events = DecodeRecords(b.data(), b.size(), "/w/");
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].RelativeName, "sub/a.txt");
  EXPECT_EQ(events[0].FullPath, "/w/sub/a.txt");
  EXPECT_EQ(events[0].Action, 1u);
  EXPECT_EQ(events[0].OperationText, "9:05:07   создан:   ");
  EXPECT_EQ(events[1].OperationText, "9:05:07   переименован из:   ");
  EXPECT_EQ(events[2].RelativeName, "новый");
  EXPECT_EQ(events[2].Action, 5u);

  const auto one = Buffer({{3, u"only"}});
  EXPECT_EQ(DecodeRecords(one.data(), one.size(), "/w/").size(), 1u);
}

TEST_F(Records, ZeroedBufferIsOneUnknownEventForTheFolderItself) {
  const std::vector<uint8_t> zero(kChangeBufferSize, 0);
  const auto events = DecodeRecords(zero.data(), zero.size(), "/w/");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].RelativeName, "");
  EXPECT_EQ(events[0].Action, 0u);
  EXPECT_EQ(events[0].FullPath, "/w/");
  EXPECT_EQ(events[0].OperationText, "9:05:07   неопознанная операция:   ");
  // The first event of a watcher is compared with an empty previous one, so it is suppressed.
  EXPECT_FALSE(ShouldReport(events[0], argTFolderMonitor{}));
}

TEST_F(Records, DamagedBuffersNeverReadPastTheirEnd) {
  // A name length and a next offset that point far beyond the buffer.
  std::vector<uint8_t> b(32, 0);
  const uint32_t next = 0x7FFFFFF0, action = 1, length = 0xFFFFFFFE;
  std::memcpy(b.data(), &next, 4);
  std::memcpy(b.data() + 4, &action, 4);
  std::memcpy(b.data() + 8, &length, 4);
  b[12] = 'a';
  const auto events = DecodeRecords(b.data(), b.size(), "/w/");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].RelativeName.size(), 10u);  // the 20 bytes that are there
  EXPECT_EQ(events[0].RelativeName[0], 'a');
}

TEST_F(Records, DamagedNextOffsetNearTheEndEndsTheWalk) {
  // A 64-byte buffer: a record at 0 whose NextEntryOffset is the table's, and at 52 a last record
  // (action 2) that only a next offset of 52 reaches with its whole header.
  const std::pair<uint32_t, size_t> table[] = {{64, 1}, {63, 1}, {60, 1}, {56, 1}, {53, 1},
                                               {52, 2}, {65, 1}, {0, 1},  {16, 2}};
  for (const auto& [next, count] : table) {
    std::vector<uint8_t> b(64, 0);
    const uint32_t action = 1, length = 2, last = 2;
    std::memcpy(b.data(), &next, 4);
    std::memcpy(b.data() + 4, &action, 4);
    std::memcpy(b.data() + 8, &length, 4);
    b[12] = 'a';
    std::memcpy(b.data() + 52 + 4, &last, 4);
    std::memcpy(b.data() + 16 + 4, &last, 4);
    const auto events = DecodeRecords(b.data(), b.size(), "/w/");
    ASSERT_EQ(events.size(), count) << "next " << next;
    EXPECT_EQ(events[0].RelativeName, "a");
    if (count == 2) {
      EXPECT_EQ(events[1].Action, 2u) << "next " << next;
    }
  }
}

TEST_F(Records, FullPathIsPlainConcatenation) {
  const auto b = Buffer({{1, u"a.txt"}});
  EXPECT_EQ(DecodeRecords(b.data(), b.size(), "/w")[0].FullPath, "/wa.txt");
}

TEST_F(Records, RepeatRuleComparesNameExactlyAndAction) {
  argTFolderMonitor previous;
  const auto event = [](const char* name, uint32_t action) {
    argTFolderMonitor e;
    e.RelativeName = name;
    e.Action = action;
    return e;
  };
  // Walk a sequence as the watcher does: every event becomes the previous one.
  const std::pair<argTFolderMonitor, bool> sequence[] = {
      {event("f", 3), true},     {event("f", 3), false},   {event("f", 3), false},
      {event("f", 1), true},     {event("f", 3), true},    {event("g", 3), true},
      {event("A.txt", 3), true}, {event("a.txt", 3), true}};
  for (const auto& [e, expected] : sequence) {
    EXPECT_EQ(ShouldReport(e, previous), expected) << e.RelativeName << " " << e.Action;
    previous = e;
  }
}

TEST_F(Records, LogLinesAndReadingTheNameBack) {
  argTFolderMonitor e;
  e.OperationText = MakeOperationText(1);
  e.RelativeName = "sub/a#b.txt";
  const std::string line = ChangeLogLine(e);
  EXPECT_EQ(line, "9:05:07   создан:    #sub/a#b.txt");
  EXPECT_EQ(NameFromLogLine(line), "sub/a#b.txt");
  EXPECT_EQ(StartLogLine(), "9:05:07    монитор запущен");
  EXPECT_EQ(StopLogLine(), "9:05:07    монитор остановлен");
  EXPECT_EQ(NameFromLogLine(StartLogLine()), "");
  EXPECT_EQ(NameFromLogLine(StopLogLine()), "");
  EXPECT_EQ(NameFromLogLine("x #"), "");
  // Any bytes survive the trip through the record and back out of the line.
  const std::string odd = "line\nbreak \xff\xfe #x";
  const auto b = Buffer({{1, NarrowToUtf16(odd)}});
  EXPECT_EQ(NameFromLogLine(ChangeLogLine(DecodeRecords(b.data(), b.size(), "/w/")[0])), odd);
}

TEST(TimeText, FollowsTheLocalePattern) {
  std::tm t{};
  t.tm_hour = 21;
  t.tm_min = 5;
  t.tm_sec = 7;
  // Russian (24 hours, leading zero from %H), a locale without it, and 12-hour clocks.
  EXPECT_EQ(FormatTime(t, TimeFormatFromPattern("%T", "", "", "")), "21:05:07");
  t.tm_hour = 9;
  EXPECT_EQ(FormatTime(t, TimeFormatFromPattern("%H:%M:%S", "", "", "")), "09:05:07");
  EXPECT_EQ(FormatTime(t, TimeFormatFromPattern("%-H.%M.%S", "", "", "")), "9.05.07");
  t.tm_hour = 21;
  EXPECT_EQ(FormatTime(t, TimeFormatFromPattern("%r", "%I:%M:%S %p", "AM", "PM")), "09:05:07 PM");
  EXPECT_EQ(FormatTime(t, TimeFormatFromPattern("%p %l:%M:%S", "", "午前", "午後")),
            "午後 9:05:07");
  t.tm_hour = 0;
  EXPECT_EQ(FormatTime(t, TimeFormatFromPattern("%l:%M:%S %p", "", "AM", "PM")), "12:05:07 AM");
}
