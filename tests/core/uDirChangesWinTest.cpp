// The Windows change source against the real system. Where Wine is known to differ from what
// Windows documents, a test detects Wine and skips with the reason; the assertions stay Windows'.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "uWinTestSupport.h"
#include "watcher/uDirChangesWin.h"

using win_test::RunningUnderWine;
using win_test::TTempDir;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t kAll = kNotifyFileName | kNotifyDirName | kNotifySize;

struct TEvent {
  TDirChanges::TReadStatus Status;
  uint32_t Action = 0;
  std::string Name;  // UTF-8
  int Error = 0;
};

// Reads from a source on a thread of its own until it is stopped; the test waits for what it
// expects with a bounded wait.
class TReader {
 public:
  TReader(std::shared_ptr<TDirChanges> source, uint32_t filter)
      : source_(std::move(source)), thread_([this, filter] { Loop(filter); }) {}
  ~TReader() {
    source_->Stop();
    thread_.join();
  }

  // Waits until `done` holds for what has been read, at most `limit`.
  bool WaitFor(const std::function<bool(const std::vector<TEvent>&)>& done,
               std::chrono::milliseconds limit = 10s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return done(events_); });
  }
  bool WaitForCount(TDirChanges::TReadStatus status, size_t count,
                    std::chrono::milliseconds limit = 10s) {
    return WaitFor(
        [&](const std::vector<TEvent>& events) { return Count(events, status) >= count; }, limit);
  }
  std::vector<TEvent> Events() {
    std::lock_guard lock(mutex_);
    return events_;
  }
  static size_t Count(const std::vector<TEvent>& events, TDirChanges::TReadStatus status) {
    size_t n = 0;
    for (const auto& e : events) n += e.Status == status;
    return n;
  }

 private:
  void Loop(uint32_t filter) {
    std::vector<uint8_t> buffer(kChangeBufferSize);
    for (;;) {
      std::fill(buffer.begin(), buffer.end(), 0);
      const auto result = source_->Read(buffer.data(), buffer.size(), filter);
      std::vector<TEvent> got;
      if (result.Status == TDirChanges::TReadStatus::Records) {
        for (auto& raw : ParseNotifyBuffer(buffer.data(), result.Bytes, false)) {
          got.push_back({result.Status, raw.Action, Utf16ToNarrow(raw.Name)});
        }
      } else {
        got.push_back({result.Status, 0, {}, result.Error});
      }
      {
        std::lock_guard lock(mutex_);
        events_.insert(events_.end(), got.begin(), got.end());
      }
      changed_.notify_all();
      if (result.Status == TDirChanges::TReadStatus::Stopped ||
          result.Status == TDirChanges::TReadStatus::Failed) {
        return;
      }
    }
  }

  std::shared_ptr<TDirChanges> source_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<TEvent> events_;
  std::thread thread_;
};

bool Has(const std::vector<TEvent>& events, uint32_t action, const std::string& name) {
  for (const auto& e : events) {
    if (e.Status == TDirChanges::TReadStatus::Records && e.Action == action && e.Name == name)
      return true;
  }
  return false;
}

// Index of the first record of `action` and `name`, or -1.
int IndexOf(const std::vector<TEvent>& events, uint32_t action, const std::string& name) {
  for (size_t i = 0; i < events.size(); ++i) {
    if (events[i].Action == action && events[i].Name == name) return static_cast<int>(i);
  }
  return -1;
}

std::string Describe(const std::vector<TEvent>& events) {
  std::string text;
  for (const auto& e : events) {
    text += std::to_string(static_cast<int>(e.Status)) + ":" + std::to_string(e.Action) + ":" +
            e.Name + (e.Error ? " error " + std::to_string(e.Error) : "") + "\n";
  }
  return text;
}

void CreateFileAt(const std::filesystem::path& path, std::string_view bytes = "") {
  win_test::WriteBytes(path, bytes);
}

// Rows: the source with the extended read where this system has it, and with the plain read.
class WinDirChanges : public ::testing::TestWithParam<TWinReadCall> {
 protected:
  void SetUp() override {
    if (GetParam() == TWinReadCall::Best && !ExtendedReadAvailable()) {
      GTEST_SKIP()
          << "this system has no ReadDirectoryChangesExW (Windows before 10 1709, or Wine)";
    }
  }
  std::shared_ptr<TDirChanges> Open(const std::string& folder,
                                    size_t bufferSize = kWinReadBufferSize) {
    auto source = MakeWinDirChanges(GetParam(), bufferSize);
    EXPECT_EQ(source->Open(folder), 0) << folder;
    return source;
  }

  TTempDir dir_;
};

}  // namespace

TEST_P(WinDirChanges, ChangesMadeRightAfterOpenAreAllDelivered) {
  auto source = Open(dir_.FolderText());
  constexpr int kFiles = 30;
  for (int i = 0; i < kFiles; ++i) CreateFileAt(dir_ / ("f" + std::to_string(i)));
  TReader reader(source, kAll);
  EXPECT_TRUE(reader.WaitFor([&](const std::vector<TEvent>& events) {
    for (int i = 0; i < kFiles; ++i) {
      if (!Has(events, kActionAdded, "f" + std::to_string(i))) return false;
    }
    return true;
  })) << Describe(reader.Events());
}

TEST_P(WinDirChanges, NamesOutsideTheAnsiCodePageArriveIntact) {
  auto source = Open(dir_.FolderText());
  TReader reader(source, kAll);
  const std::string names[] = {"Отчёт за май.txt", "日本語のファイル.txt",
                               "emoji \xf0\x9f\x98\x80.txt", "Ελληνικά ő ű.txt"};
  for (const auto& name : names) CreateFileAt(dir_ / name);
  EXPECT_TRUE(reader.WaitFor([&](const std::vector<TEvent>& events) {
    for (const auto& name : names) {
      if (!Has(events, kActionAdded, name)) return false;
    }
    return true;
  })) << Describe(reader.Events());
  // The name as delivered opens the item: folder text + relative name.
  for (const auto& name : names) {
    EXPECT_NE(GetFileAttributesW(WideText(dir_.FolderText() + name).c_str()),
              INVALID_FILE_ATTRIBUTES)
        << name;
  }
}

TEST_P(WinDirChanges, ARenameInOneFolderGivesTheOldThenTheNewName) {
  CreateFileAt(dir_ / "before.txt", "x");
  auto source = Open(dir_.FolderText());
  TReader reader(source, kAll);
  ASSERT_TRUE(MoveFileW((dir_ / "before.txt").c_str(), (dir_ / "after.txt").c_str()));
  ASSERT_TRUE(reader.WaitFor([](const std::vector<TEvent>& events) {
    return Has(events, kActionRenamedNew, "after.txt");
  })) << Describe(reader.Events());
  const auto events = reader.Events();
  const int oldAt = IndexOf(events, kActionRenamedOld, "before.txt");
  const int newAt = IndexOf(events, kActionRenamedNew, "after.txt");
  ASSERT_GE(oldAt, 0) << Describe(events);
  EXPECT_EQ(newAt, oldAt + 1) << Describe(events);
}

TEST_P(WinDirChanges, AMoveBetweenFoldersGivesRemovedThenAdded) {
  std::filesystem::create_directories(dir_ / "from");
  std::filesystem::create_directories(dir_ / "to");
  CreateFileAt(dir_ / "from\\item.txt", "x");
  auto source = Open(dir_.FolderText());
  TReader reader(source, kAll);
  ASSERT_TRUE(MoveFileW((dir_ / "from\\item.txt").c_str(), (dir_ / "to\\item.txt").c_str()));
  const bool seen = reader.WaitFor(
      [](const std::vector<TEvent>& events) { return Has(events, kActionAdded, "to\\item.txt"); },
      RunningUnderWine() ? 3s : 10s);
  const auto events = reader.Events();
  if (!seen && RunningUnderWine()) {
    GTEST_SKIP() << "Wine reports changes in subfolders only for folders created after the watch "
                    "began; seen:\n"
                 << Describe(events);
  }
  ASSERT_TRUE(seen) << Describe(events);
  const int removedAt = IndexOf(events, kActionRemoved, "from\\item.txt");
  const int addedAt = IndexOf(events, kActionAdded, "to\\item.txt");
  ASSERT_GE(removedAt, 0) << Describe(events);
  EXPECT_LT(removedAt, addedAt) << Describe(events);
}

TEST_P(WinDirChanges, AMoveBetweenFoldersMadeAfterTheStartGivesRemovedThenAdded) {
  auto source = Open(dir_.FolderText());
  TReader reader(source, kAll);
  std::filesystem::create_directories(dir_ / "from");
  std::filesystem::create_directories(dir_ / "to");
  CreateFileAt(dir_ / "from\\item.txt", "x");
  ASSERT_TRUE(reader.WaitFor([](const std::vector<TEvent>& events) {
    return Has(events, kActionAdded, "from\\item.txt") && Has(events, kActionAdded, "to");
  })) << Describe(reader.Events());
  ASSERT_TRUE(MoveFileW((dir_ / "from\\item.txt").c_str(), (dir_ / "to\\item.txt").c_str()));
  ASSERT_TRUE(reader.WaitFor([](const std::vector<TEvent>& events) {
    return Has(events, kActionAdded, "to\\item.txt") ||
           Has(events, kActionRenamedNew, "to\\item.txt");
  })) << Describe(reader.Events());
  const auto events = reader.Events();
  if (RunningUnderWine() && Has(events, kActionRenamedNew, "to\\item.txt")) {
    GTEST_SKIP() << "Wine reports a move between folders as a rename";
  }
  const int removedAt = IndexOf(events, kActionRemoved, "from\\item.txt");
  const int addedAt = IndexOf(events, kActionAdded, "to\\item.txt");
  ASSERT_GE(removedAt, 0) << Describe(events);
  EXPECT_LT(removedAt, addedAt) << Describe(events);
  EXPECT_FALSE(Has(events, kActionRenamedOld, "from\\item.txt")) << Describe(events);
}

TEST_P(WinDirChanges, ASubfolderMadeAfterTheStartIsWatchedToo) {
  auto source = Open(dir_.FolderText());
  TReader reader(source, kAll);
  std::filesystem::create_directories(dir_ / "new");
  ASSERT_TRUE(reader.WaitFor([](const std::vector<TEvent>& events) {
    return Has(events, kActionAdded, "new");
  })) << Describe(reader.Events());
  CreateFileAt(dir_ / "new\\inner.txt");
  EXPECT_TRUE(reader.WaitFor([](const std::vector<TEvent>& events) {
    return Has(events, kActionAdded, "new\\inner.txt");
  })) << Describe(reader.Events());
}

TEST_P(WinDirChanges, FoldersAreToldFromFilesByTheFilter) {
  // Only folder names: files are left out, and a folder's removal is still known as a folder's.
  auto source = Open(dir_.FolderText());
  TReader reader(source, kNotifyDirName);
  CreateFileAt(dir_ / "file.txt");
  std::filesystem::create_directories(dir_ / "folder");
  ASSERT_TRUE(reader.WaitFor([](const std::vector<TEvent>& events) {
    return Has(events, kActionAdded, "folder");
  })) << Describe(reader.Events());
  std::filesystem::remove(dir_ / "file.txt");
  std::filesystem::remove(dir_ / "folder");
  std::filesystem::create_directories(dir_ / "last");
  ASSERT_TRUE(reader.WaitFor([](const std::vector<TEvent>& events) {
    return Has(events, kActionAdded, "last");
  })) << Describe(reader.Events());
  const auto events = reader.Events();
  EXPECT_TRUE(Has(events, kActionRemoved, "folder")) << Describe(events);
  EXPECT_FALSE(Has(events, kActionAdded, "file.txt")) << Describe(events);
  EXPECT_FALSE(Has(events, kActionRemoved, "file.txt")) << Describe(events);
}

TEST_P(WinDirChanges, FilesAreToldFromFoldersByTheFilter) {
  auto source = Open(dir_.FolderText());
  TReader reader(source, kNotifyFileName);
  std::filesystem::create_directories(dir_ / "folder");
  CreateFileAt(dir_ / "file.txt");
  ASSERT_TRUE(reader.WaitFor([](const std::vector<TEvent>& events) {
    return Has(events, kActionAdded, "file.txt");
  })) << Describe(reader.Events());
  std::filesystem::remove(dir_ / "folder");
  std::filesystem::remove(dir_ / "file.txt");
  ASSERT_TRUE(reader.WaitFor([](const std::vector<TEvent>& events) {
    return Has(events, kActionRemoved, "file.txt");
  })) << Describe(reader.Events());
  const auto events = reader.Events();
  EXPECT_FALSE(Has(events, kActionAdded, "folder")) << Describe(events);
  EXPECT_FALSE(Has(events, kActionRemoved, "folder")) << Describe(events);
}

TEST_P(WinDirChanges, AnOverflowedReadGivesTheOverflowRecordAndWatchingGoesOn) {
  // A buffer too small for the record: the system discards it and answers zero bytes.
  auto source = Open(dir_.FolderText(), 64);
  TReader reader(source, kAll);
  CreateFileAt(dir_ / std::string(60, 'n'));
  ASSERT_TRUE(reader.WaitForCount(TDirChanges::TReadStatus::Overflow, 1))
      << Describe(reader.Events());
  CreateFileAt(dir_ / "s");
  EXPECT_TRUE(reader.WaitFor([](const std::vector<TEvent>& events) {
    return Has(events, kActionAdded, "s");
  })) << Describe(reader.Events());
  EXPECT_FALSE(Has(reader.Events(), kActionAdded, std::string(60, 'n')));
}

TEST_P(WinDirChanges, DeletingTheWatchedFolderEndsTheReadWithAnError) {
  std::filesystem::create_directories(dir_ / "watched");
  auto source = Open(dir_.FolderText() + "watched");
  TReader reader(source, kAll);
  std::filesystem::remove(dir_ / "watched");
  const bool failed =
      reader.WaitForCount(TDirChanges::TReadStatus::Failed, 1, RunningUnderWine() ? 3s : 10s);
  if (!failed && RunningUnderWine()) {
    GTEST_SKIP() << "Wine keeps the read of a deleted folder pending instead of ending it";
  }
  ASSERT_TRUE(failed) << Describe(reader.Events());
  EXPECT_NE(reader.Events().back().Error, 0);
}

TEST_P(WinDirChanges, OpeningAMissingFolderAnswersTheSystemError) {
  auto source = MakeWinDirChanges(GetParam());
  const int error = source->Open(dir_.FolderText() + "missing\\");
  EXPECT_TRUE(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) << error;
  EXPECT_FALSE(SystemErrorText(error).empty());
  // A source that failed to open still stops at once.
  source->Stop();
  std::vector<uint8_t> buffer(kChangeBufferSize);
  EXPECT_EQ(source->Read(buffer.data(), buffer.size(), kAll).Status,
            TDirChanges::TReadStatus::Stopped);
}

INSTANTIATE_TEST_SUITE_P(Calls, WinDirChanges,
                         ::testing::Values(TWinReadCall::Best, TWinReadCall::Plain),
                         [](const auto& info) {
                           return info.param == TWinReadCall::Best ? "Extended" : "Plain";
                         });

// A read that completes with no bytes, or ends with ERROR_NOTIFY_ENUM_DIR, lost its changes; any
// other error ends watching.
TEST(WinReadOutcome, ZeroBytesAndEnumDirMeanOverflow) {
  EXPECT_EQ(ReadOutcome(true, 0, 0), TWinReadOutcome::Overflow);
  EXPECT_EQ(ReadOutcome(false, ERROR_NOTIFY_ENUM_DIR, 0), TWinReadOutcome::Overflow);
  EXPECT_EQ(ReadOutcome(true, 0, 16), TWinReadOutcome::Records);
  EXPECT_EQ(ReadOutcome(false, ERROR_ACCESS_DENIED, 0), TWinReadOutcome::Failed);
  EXPECT_EQ(ReadOutcome(false, ERROR_NETNAME_DELETED, 0), TWinReadOutcome::Failed);
  EXPECT_EQ(ReadOutcome(false, ERROR_OPERATION_ABORTED, 0), TWinReadOutcome::Failed);
}

// What the system itself hands back: each record starts on a 4-byte boundary and the last one is
// not padded.
TEST(WinNotifyBuffer, TheSystemsRecordsAreAlignedAndTheLastUnpadded) {
  TTempDir dir;
  HANDLE handle = CreateFileW(dir.Fs().c_str(), FILE_LIST_DIRECTORY,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  std::vector<DWORD> buffer(16 * 1024);
  DWORD bytes = 0;
  // The first read makes the system keep changes for the handle; the names of odd lengths made
  // while no read is pending come back together in the second.
  std::thread maker([&] {
    std::this_thread::sleep_for(200ms);
    win_test::WriteBytes(dir.Fs() / L"a", "");
  });
  ASSERT_TRUE(ReadDirectoryChangesW(handle, buffer.data(), buffer.size() * 4, TRUE,
                                    FILE_NOTIFY_CHANGE_FILE_NAME, &bytes, nullptr, nullptr));
  maker.join();
  for (const wchar_t* name : {L"b", L"cc", L"ddd", L"eeeee"})
    win_test::WriteBytes(dir.Fs() / name, "");
  ASSERT_TRUE(ReadDirectoryChangesW(handle, buffer.data(), buffer.size() * 4, TRUE,
                                    FILE_NOTIFY_CHANGE_FILE_NAME, &bytes, nullptr, nullptr));
  CloseHandle(handle);
  const auto* base = reinterpret_cast<const uint8_t*>(buffer.data());
  std::vector<size_t> starts;
  bool aligned = true;
  size_t last = 0;
  for (size_t offset = 0;;) {
    starts.push_back(offset);
    aligned = aligned && offset % 4 == 0;
    DWORD next;
    std::memcpy(&next, base + offset, 4);
    if (next == 0) {
      last = offset;
      break;
    }
    offset += next;
  }
  ASSERT_GE(starts.size(), 2u) << "the changes made between the reads came back one by one";
  DWORD lastLength;
  std::memcpy(&lastLength, base + last + 8, 4);
  if (!aligned && RunningUnderWine()) {
    GTEST_SKIP() << "Wine packs the records without aligning them to 4 bytes";
  }
  EXPECT_TRUE(aligned);
  EXPECT_EQ(bytes, last + 12 + lastLength);
}

// Records written in the FILE_NOTIFY_INFORMATION layout come back the same through the parser;
// a damaged length never makes it read past the buffer.
TEST(WinNotifyBuffer, ParsingGivesBackWhatWasWritten) {
  std::mt19937 random(12);
  for (int round = 0; round < 200; ++round) {
    std::vector<uint8_t> buffer(512, 0xEE);
    TRecordWriter writer(buffer.data(), buffer.size());
    std::vector<std::pair<uint32_t, std::u16string>> written;
    for (;;) {
      std::u16string name(random() % 20, u'\0');
      for (auto& c : name) c = static_cast<char16_t>(0x20 + random() % 0x4000);
      const uint32_t action = 1 + random() % 5;
      if (!writer.Append(action, name)) break;
      written.emplace_back(action, name);
    }
    const auto parsed = ParseNotifyBuffer(buffer.data(), writer.Bytes(), false);
    ASSERT_EQ(parsed.size(), written.size()) << round;
    for (size_t i = 0; i < parsed.size(); ++i) {
      EXPECT_EQ(parsed[i].Action, written[i].first);
      EXPECT_EQ(parsed[i].Name, written[i].second);
      EXPECT_FALSE(parsed[i].HasAttributes);
    }
    // Cut short: only the records wholly inside are given.
    const size_t cut = random() % (writer.Bytes() + 1);
    const auto partial = ParseNotifyBuffer(buffer.data(), cut, false);
    ASSERT_LE(partial.size(), written.size());
    for (size_t i = 0; i < partial.size(); ++i) EXPECT_EQ(partial[i].Name, written[i].second);
  }
}

TEST(WinNotifyBuffer, ExtendedRecordsGiveTheAttributes) {
  // Two extended records, built by their documented layout.
  std::vector<uint8_t> buffer(256, 0);
  auto put = [&](size_t at, uint32_t v) { std::memcpy(buffer.data() + at, &v, 4); };
  put(0, 96);  // next
  put(4, kActionRemoved);
  put(56, FILE_ATTRIBUTE_DIRECTORY);
  put(80, 6);
  std::memcpy(buffer.data() + 84, u"abc", 6);
  put(96 + 4, kActionAdded);
  put(96 + 56, FILE_ATTRIBUTE_ARCHIVE);
  put(96 + 80, 2);
  std::memcpy(buffer.data() + 96 + 84, u"z", 2);
  const auto parsed = ParseNotifyBuffer(buffer.data(), 96 + 86, true);
  ASSERT_EQ(parsed.size(), 2u);
  EXPECT_EQ(parsed[0].Name, u"abc");
  EXPECT_EQ(parsed[0].Action, kActionRemoved);
  EXPECT_TRUE(parsed[0].HasAttributes);
  EXPECT_EQ(parsed[0].Attributes, static_cast<uint32_t>(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_EQ(parsed[1].Name, u"z");
  EXPECT_EQ(parsed[1].Attributes, static_cast<uint32_t>(FILE_ATTRIBUTE_ARCHIVE));
  // A length reaching past what the system filled ends the parse there.
  put(96 + 80, 200);
  EXPECT_EQ(ParseNotifyBuffer(buffer.data(), 96 + 86, true).size(), 1u);
}
