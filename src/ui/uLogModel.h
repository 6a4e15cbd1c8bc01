// The log of the main window: the lines as the program made them (the names' own bytes, so a line
// reads back to the exact name), shown through a list model that is cheap to append to and to show
// with a million lines.
#pragma once

#include <QAbstractListModel>
#include <QSize>
#include <QString>
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class TLogModel : public QAbstractListModel {
  Q_OBJECT
 public:
  using QAbstractListModel::QAbstractListModel;

  // Adds a line and shows its row at once.
  void Append(std::string_view line);
  // Adds a line whose row is shown at the next Flush, together with every other line added
  // meanwhile: a burst costs the view one insertion, not one per line.
  void AppendLater(std::string_view line);
  // Shows the rows of the lines added by AppendLater; false when there were none.
  bool Flush();
  bool HasLater() const { return shown_ < Count(); }

  // Every line, shown or still waiting for its row.
  std::string Line(int row) const { return std::string(LineView(row)); }
  // Valid until the next line is added.
  std::string_view LineView(int row) const;
  int Count() const { return static_cast<int>(spans_.size()); }

  // The size one shown line needs. Every row then offers the size of the widest line so far, so a
  // view that sizes all rows alike (from whichever row it samples) shows every line whole, whenever
  // it arrived.
  void SetMeasure(std::function<QSize(const QString& shown)> measure);
  // The row width grows in steps, so that a run of ever longer names lays the log out again only
  // now and then.
  static constexpr int kWidthStep = 64;
  QSize RowSize() const { return rowSize_; }

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  QModelIndex index(int row, int column = 0,
                    const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

 private:
  // Where a line's bytes lie: lines never straddle blocks.
  struct TSpan {
    uint32_t Block;
    uint32_t Offset;
    uint32_t Size;
  };
  void Store(std::string_view line);
  QString Shown(int row) const;
  // Measures the lines not measured yet.
  void MeasureNew();
  // Takes the rows to the widest line measured; true when they grew.
  bool Widen();
  // A size the line cannot exceed, found cheaply; invalid when there is none.
  QSize Bound(const QString& shown);

  std::vector<std::unique_ptr<char[]>> blocks_;
  size_t blockUsed_ = 0;
  size_t blockSize_ = 0;
  // A deque grows without copying: no discarded copies of a long index are left in the heap.
  std::deque<TSpan> spans_;
  int shown_ = 0;
  std::function<QSize(const QString&)> measure_;
  QSize rowSize_;
  QSize needed_;      // the widest line measured, where it is wider than the rows
  int measured_ = 0;  // lines measured so far
  struct TPrefix {
    QString Text;
    QSize Size;
  };
  // The texts before the names measured last: one per kind of change and second of time.
  std::array<TPrefix, 8> prefixes_;
  size_t nextPrefix_ = 0;
};
