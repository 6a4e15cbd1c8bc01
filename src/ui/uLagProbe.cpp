#include "ui/uLagProbe.h"

#include <QSaveFile>
#include <algorithm>
#include <bit>
#include <cmath>
#include <csignal>
#include <utility>

namespace {

constexpr uint64_t kExact = uint64_t{2} << TLagHistogram::kSubBits;  // 128: one bucket a value

// Set by the signal handler, read by the probe's tick.
volatile std::sig_atomic_t reportRequested = 0;

// The probe that runs, if any (the interface thread's only).
TLagProbe* gProbe = nullptr;

int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

#ifdef SIGUSR1
void OnReportSignal(int) {
  reportRequested = 1;
}
#endif

}  // namespace

TLagHistogram::TLagHistogram() : buckets_(BucketOf(kLargest) + 1, 0) {}

size_t TLagHistogram::BucketOf(uint64_t us) {
  if (us > kLargest) us = kLargest;
  if (us < kExact) return static_cast<size_t>(us);
  // Keep the top kSubBits + 1 bits: the shift says which power of two, the rest which of its
  // 64 buckets.
  const int shift = std::bit_width(us) - (kSubBits + 1);
  return (static_cast<size_t>(shift) << kSubBits) + static_cast<size_t>(us >> shift);
}

uint64_t TLagHistogram::BucketTop(size_t bucket) {
  if (bucket < kExact) return bucket;
  const int shift = static_cast<int>(bucket >> kSubBits) - 1;
  const uint64_t mantissa = (bucket & ((size_t{1} << kSubBits) - 1)) + (uint64_t{1} << kSubBits);
  return ((mantissa + 1) << shift) - 1;
}

void TLagHistogram::Add(uint64_t us) {
  ++buckets_[BucketOf(us)];
  ++count_;
  if (us > max_) max_ = us;
}

void TLagHistogram::AddLate(uint64_t lateUs, uint64_t periodUs) {
  Add(lateUs);
  if (periodUs == 0) return;
  for (uint64_t missed = lateUs; missed > periodUs;) {
    missed -= periodUs;
    Add(missed);
  }
}

uint64_t TLagHistogram::Percentile(double p) const {
  if (count_ == 0) return 0;
  // Nearest rank: the smallest value with at least p% of all at or below it. p·n is formed
  // first, so a whole percent of a whole count is not rounded off.
  double rank = std::ceil(p * static_cast<double>(count_) / 100.0);
  if (rank < 1) rank = 1;
  const uint64_t wanted = rank > static_cast<double>(count_) ? count_ : static_cast<uint64_t>(rank);
  uint64_t seen = 0;
  for (size_t bucket = 0; bucket < buckets_.size(); ++bucket) {
    seen += buckets_[bucket];
    if (seen >= wanted) return std::min(BucketTop(bucket), max_);
  }
  return max_;
}

TLagProbe::TLagProbe(QString file, QObject* parent) : QObject(parent), file_(std::move(file)) {
  timer_.setSingleShot(true);
  timer_.setTimerType(Qt::PreciseTimer);
  connect(&timer_, &QTimer::timeout, this, [this] { Tick(); });
  gProbe = this;
  // A first, empty report says that the probe runs and may be asked for more.
  Report();
  due_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPeriodMs);
  timer_.start(kPeriodMs);
}

TLagProbe::~TLagProbe() {
  Report();
  if (gProbe == this) gProbe = nullptr;
}

void TLagProbe::NoteFrame(int rows, bool popup) {
  if (!gProbe) return;
  const int64_t now = SteadyNs();
  if (rows != gProbe->rows_) {
    gProbe->rows_ = rows;
    gProbe->rowsAtNs_ = now;
  }
  if (popup) gProbe->popupAtNs_ = now;
}

void TLagProbe::RequestReport() {
  reportRequested = 1;
}

void TLagProbe::Tick() {
  const auto now = std::chrono::steady_clock::now();
  const auto late = std::chrono::duration_cast<std::chrono::microseconds>(now - due_).count();
  histogram_.AddLate(late > 0 ? static_cast<uint64_t>(late) : 0, uint64_t{kPeriodMs} * 1000);
  if (reportRequested) {
    reportRequested = 0;
    Report();
  }
  // Each tick is due one period after the previous one was handled, so the time spent in the
  // report and in this tick is not counted as lateness of the next.
  due_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPeriodMs);
  timer_.start(kPeriodMs);
}

bool TLagProbe::Report() {
  ++reports_;
  QSaveFile out(file_);
  if (!out.open(QIODevice::WriteOnly)) return false;
  auto ms = [](uint64_t us) {
    return QByteArray::number(static_cast<double>(us) / 1000.0, 'f', 3);
  };
  QByteArray text;
  text += "reports " + QByteArray::number(static_cast<qulonglong>(reports_)) + '\n';
  text += "count " + QByteArray::number(static_cast<qulonglong>(histogram_.Count())) + '\n';
  text += "p50_ms " + ms(histogram_.Percentile(50)) + '\n';
  text += "p99_ms " + ms(histogram_.Percentile(99)) + '\n';
  text += "max_ms " + ms(histogram_.Max()) + '\n';
  text += "rows " + QByteArray::number(rows_) + '\n';
  text += "rows_at_ns " + QByteArray::number(static_cast<qlonglong>(rowsAtNs_)) + '\n';
  text += "popup_at_ns " + QByteArray::number(static_cast<qlonglong>(popupAtNs_)) + '\n';
  for (size_t bucket = 0; bucket < histogram_.BucketCount(); ++bucket) {
    if (const uint64_t n = histogram_.InBucket(bucket)) {
      text += "bucket " +
              QByteArray::number(static_cast<qulonglong>(TLagHistogram::BucketTop(bucket))) + ' ' +
              QByteArray::number(static_cast<qulonglong>(n)) + '\n';
    }
  }
  out.write(text);
  return out.commit();
}

std::unique_ptr<TLagProbe> StartLagProbeFromEnvironment() {
  const QString file = qEnvironmentVariable("VARK_LAG_PROBE");
  if (file.isEmpty()) return nullptr;
#ifdef SIGUSR1  // Windows has no such signal: there the report comes at the end only
  std::signal(SIGUSR1, OnReportSignal);
#endif
  return std::make_unique<TLagProbe>(file);
}
