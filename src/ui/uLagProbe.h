// How late the user-interface thread answers: a measuring aid for the benchmarks, switched on only
// by the environment variable VARK_LAG_PROBE=<file>. Off, it costs nothing and changes nothing.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

// A histogram of delays in microseconds with a bounded size whatever it is given: exact below
// 128 µs, above that 64 buckets per power of two, so a percentile read from it is at most 1/64
// above the true one and never below it.
class TLagHistogram {
 public:
  static constexpr int kSubBits = 6;                             // 64 buckets per power of two
  static constexpr uint64_t kLargest = (uint64_t{1} << 40) - 1;  // about 12 days; larger is cut

  TLagHistogram();
  void Add(uint64_t us);
  // A tick that came `lateUs` late stood for every tick that fell due while the thread did not
  // answer (one each `periodUs`): those are recorded too, each as late as it would have been
  // (lateUs - periodUs, lateUs - 2 periodUs, … while above zero). Without them a long stall
  // would count once, however long it lasted.
  void AddLate(uint64_t lateUs, uint64_t periodUs);

  uint64_t Count() const { return count_; }
  uint64_t Max() const { return max_; }
  // The nearest-rank percentile (p in 0..100), as the upper end of its bucket (never above the
  // largest value seen); 0 when empty.
  uint64_t Percentile(double p) const;

  // The bucket a value falls in, and the largest value that bucket holds.
  static size_t BucketOf(uint64_t us);
  static uint64_t BucketTop(size_t bucket);
  size_t BucketCount() const { return buckets_.size(); }
  uint64_t InBucket(size_t bucket) const { return buckets_[bucket]; }

 private:
  std::vector<uint64_t> buckets_;
  uint64_t count_ = 0;
  uint64_t max_ = 0;
};

// A timer on the user-interface thread every 10 ms that records how late each tick fires. The
// figures go to the file (written whole through a temporary file and a rename, so a reader never
// sees half of one) when the probe starts (empty), when the process gets SIGUSR1 (at the next
// tick) and when the probe ends:
// "reports", the count, p50, p99 and max in milliseconds since the start, then one "bucket" line
// per non-empty bucket (its largest value in µs and its count), from which a reader can take the
// figures of any stretch between two reports; then "rows" (the log's rows on the screen),
// "rows_at_ns" and "popup_at_ns": when the log last got new rows and the popup a new change, on
// the steady clock (CLOCK_MONOTONIC on Linux, the same in every process), 0 before the first.
class TLagProbe : public QObject {
 public:
  static constexpr int kPeriodMs = 10;

  explicit TLagProbe(QString file, QObject* parent = nullptr);
  ~TLagProbe() override;

  // Asks for a report at the next tick; safe to call from a signal handler.
  static void RequestReport();
  // Writes the report now; false when the file cannot be written.
  bool Report();
  const TLagHistogram& Histogram() const { return histogram_; }
  // What a frame of the main window showed: the log's rows by now, and whether the popup got a
  // new change. Costs nothing without a probe.
  static void NoteFrame(int rows, bool popup);

 private:
  void Tick();

  QString file_;
  QTimer timer_;
  TLagHistogram histogram_;
  std::chrono::steady_clock::time_point due_;
  uint64_t reports_ = 0;
  int rows_ = 0;
  int64_t rowsAtNs_ = 0, popupAtNs_ = 0;
};

// The probe when VARK_LAG_PROBE names a file, else nothing. Call after the application object is
// made; the probe writes its last report when it is destroyed.
std::unique_ptr<TLagProbe> StartLagProbeFromEnvironment();
