// The lag probe: the percentiles its bounded histogram gives, against the exact ones of the same
// samples, and the report it writes while the interface thread runs.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <random>
#include <vector>

#include "uTempFolder.h"
#include "ui/uLagProbe.h"

namespace {

// The nearest-rank percentile of the samples themselves.
uint64_t ExactPercentile(std::vector<uint64_t> values, double p) {
  std::sort(values.begin(), values.end());
  const double rank = std::ceil(p * static_cast<double>(values.size()) / 100.0);
  const size_t index = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
  return values[std::min(index, values.size() - 1)];
}

}  // namespace

TEST(LagHistogram, PercentilesAreTheExactOnesAtMostOneSixtyFourthAbove) {
  std::mt19937_64 random(20261207);
  for (int round = 0; round < 300; ++round) {
    TLagHistogram histogram;
    std::vector<uint64_t> values;
    const size_t n = 1 + random() % (round < 100 ? 20 : 5000);
    // Spread over many powers of two, with runs of one value now and then (ties at the rank).
    const int topBits = 1 + static_cast<int>(random() % 34);
    for (size_t i = 0; i < n; ++i) {
      const uint64_t v = random() % 5 == 0 && !values.empty()
                             ? values[random() % values.size()]
                             : random() % (uint64_t{1} << (random() % topBits + 1));
      values.push_back(v);
      histogram.Add(v);
    }
    ASSERT_EQ(histogram.Count(), n);
    ASSERT_EQ(histogram.Max(), *std::max_element(values.begin(), values.end()));
    for (const double p : {0.0, 1.0, 50.0, 90.0, 99.0, 99.9, 100.0}) {
      const uint64_t exact = ExactPercentile(values, p);
      const uint64_t got = histogram.Percentile(p);
      ASSERT_GE(got, exact) << "p" << p << " of " << n << " values, round " << round;
      ASSERT_LE(got, exact + exact / 64) << "p" << p << " of " << n << " values, round " << round;
    }
  }
  EXPECT_EQ(TLagHistogram().Percentile(99), 0u);
}

TEST(LagHistogram, BucketsTileTheValuesWithoutGapsOrOverlaps) {
  // Every value lies in its bucket, and the buckets follow one another.
  uint64_t expectedLow = 0;
  for (size_t bucket = 0; bucket <= TLagHistogram::BucketOf(TLagHistogram::kLargest); ++bucket) {
    const uint64_t top = TLagHistogram::BucketTop(bucket);
    ASSERT_GE(top, expectedLow) << bucket;
    ASSERT_EQ(TLagHistogram::BucketOf(expectedLow), bucket);
    ASSERT_EQ(TLagHistogram::BucketOf(top), bucket);
    ASSERT_LE(top - expectedLow, expectedLow / 64) << bucket;
    expectedLow = top + 1;
  }
  EXPECT_EQ(expectedLow, TLagHistogram::kLargest + 1);
  EXPECT_EQ(TLagHistogram::BucketOf(TLagHistogram::kLargest * 4),
            TLagHistogram::BucketOf(TLagHistogram::kLargest));
}

TEST(LagHistogram, ALateTickStandsForTheTicksThatFellDueMeanwhile) {
  std::mt19937_64 random(7);
  for (int round = 0; round < 200; ++round) {
    TLagHistogram histogram;
    std::vector<uint64_t> model;
    const uint64_t period = 1 + random() % 20000;
    for (int i = 0; i < 20; ++i) {
      const uint64_t late = random() % (period * (random() % 3 == 0 ? 40 : 2));
      histogram.AddLate(late, period);
      // The tick itself, and one for each period it came late beyond the first.
      model.push_back(late);
      for (uint64_t k = 1; k * period < late; ++k) model.push_back(late - k * period);
    }
    ASSERT_EQ(histogram.Count(), model.size()) << "round " << round;
    for (const double p : {50.0, 99.0}) {
      const uint64_t exact = ExactPercentile(model, p);
      ASSERT_GE(histogram.Percentile(p), exact);
      ASSERT_LE(histogram.Percentile(p), exact + exact / 64);
    }
  }
}

TEST(LagProbe, ReportsWhatTheTimerSawWhenAskedAndAtTheEnd) {
  const test_support::TTempFolder dir("vark-lag");
  const QString file = QString::fromStdString(test_support::PathText(dir / "lag.txt"));
  auto read = [&] {
    QFile in(file);
    return in.open(QIODevice::ReadOnly) ? QString::fromUtf8(in.readAll()) : QString();
  };
  auto field = [](const QString& text, const QString& key) {
    for (const QString& line : text.split(u'\n')) {
      if (line.startsWith(key + u' ')) return line.mid(key.size() + 1);
    }
    return QString();
  };
  {
    TLagProbe probe(file);
    // It says at once that it runs.
    ASSERT_EQ(field(read(), QStringLiteral("reports")), QStringLiteral("1"));
    EXPECT_EQ(field(read(), QStringLiteral("count")), QStringLiteral("0"));
    // A stall of 200 ms on the interface thread: about 20 ticks fall due meanwhile.
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 60) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QElapsedTimer stall;
    stall.start();
    while (stall.elapsed() < 200) {
    }
    // What the main window's frames showed, and when.
    const auto steadyNs = [] {
      return std::chrono::steady_clock::now().time_since_epoch() / std::chrono::nanoseconds(1);
    };
    const int64_t framed = steadyNs();
    TLagProbe::NoteFrame(7, false);
    TLagProbe::NoteFrame(7, true);
    TLagProbe::RequestReport();
    clock.restart();
    while (field(read(), QStringLiteral("reports")) == QStringLiteral("1") &&
           clock.elapsed() < 5000) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    const QString text = read();
    ASSERT_EQ(field(text, QStringLiteral("reports")), QStringLiteral("2")) << text.toStdString();
    EXPECT_GE(field(text, QStringLiteral("count")).toULongLong(), 20u);
    EXPECT_GE(field(text, QStringLiteral("max_ms")).toDouble(), 180.0);
    // The stall's ticks were due 10 ms apart: the median of a stall's ticks is half of it.
    EXPECT_GE(field(text, QStringLiteral("p50_ms")).toDouble(), 50.0);
    uint64_t inBuckets = 0;
    for (const QString& line : text.split(u'\n')) {
      if (line.startsWith(QStringLiteral("bucket ")))
        inBuckets += line.section(u' ', 2, 2).toULongLong();
    }
    EXPECT_EQ(inBuckets, field(text, QStringLiteral("count")).toULongLong());
    EXPECT_EQ(field(text, QStringLiteral("rows")), QStringLiteral("7"));
    const int64_t rowsAt = field(text, QStringLiteral("rows_at_ns")).toLongLong();
    EXPECT_GE(rowsAt, framed);
    EXPECT_LE(rowsAt, field(text, QStringLiteral("popup_at_ns")).toLongLong());
    EXPECT_LE(field(text, QStringLiteral("popup_at_ns")).toLongLong(), steadyNs());
  }
  EXPECT_EQ(field(read(), QStringLiteral("reports")), QStringLiteral("3"));
}
