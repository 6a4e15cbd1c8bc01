#include "ui/uLogModel.h"

#include <algorithm>
#include <cstring>

#include "ui/uAdditional.h"

namespace {

// Lines are packed into blocks of this size; a longer line gets a block of its own.
constexpr size_t kBlockSize = size_t{1} << 18;

QSize Stepped(QSize size) {
  constexpr int step = TLogModel::kWidthStep;
  return QSize((size.width() + step - 1) / step * step, size.height());
}

}  // namespace

void TLogModel::Store(std::string_view line) {
  if (blocks_.empty() || blockSize_ - blockUsed_ < line.size()) {
    blockSize_ = std::max(kBlockSize, line.size());
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(blockSize_));
    blockUsed_ = 0;
  }
  if (!line.empty()) std::memcpy(blocks_.back().get() + blockUsed_, line.data(), line.size());
  spans_.push_back({static_cast<uint32_t>(blocks_.size() - 1), static_cast<uint32_t>(blockUsed_),
                    static_cast<uint32_t>(line.size())});
  blockUsed_ += line.size();
}

std::string_view TLogModel::LineView(int row) const {
  const TSpan& span = spans_.at(static_cast<size_t>(row));
  return {blocks_[span.Block].get() + span.Offset, span.Size};
}

void TLogModel::Append(std::string_view line) {
  AppendLater(line);
  Flush();
}

void TLogModel::AppendLater(std::string_view line) {
  Store(line);
  // Measured as it comes: a burst pays for this over its hand-overs, not all at once when its rows
  // are shown.
  MeasureNew();
}

namespace {

// Characters that any face showing the log's usual texts shows with one face for ASCII and one
// for basic Cyrillic, with no tab stop, line break or mark that joins the one before it.
bool Plain(QChar c) {
  const char16_t u = c.unicode();
  return (u >= 0x20 && u < 0x7F) || (u >= 0x400 && u <= 0x45F);
}

bool Cyrillic(QChar c) {
  return c.unicode() >= 0x400 && c.unicode() <= 0x45F;
}

}  // namespace

QSize TLogModel::Bound(const QString& shown) {
  // The text before the name ("time   label:    #") is the same for many lines and is measured
  // once. Where the whole line is plain text and the part before the name already holds an ASCII
  // and a Cyrillic letter (so uses every face the name may need), the line is as tall as that part
  // and no wider than its two parts side by side with the margins of both: the parts are shaped
  // alike apart from the one pair of characters where they meet, whose kerning is far less than a
  // second pair of margins. Any other line is measured whole, as is one that may reach the width
  // of the rows so far.
  const qsizetype hash = shown.indexOf(QLatin1Char('#'));
  if (hash < 0 || hash + 1 >= shown.size()) return {};
  if (!std::all_of(shown.begin(), shown.end(), Plain)) return {};
  const QStringView before = QStringView(shown).first(hash + 1);
  if (!std::any_of(before.begin(), before.end(), Cyrillic) ||
      !std::any_of(before.begin(), before.end(),
                   [](QChar c) { return c.isLetterOrNumber() && c.unicode() < 0x7F; })) {
    return {};
  }
  TPrefix* known = nullptr;
  for (TPrefix& entry : prefixes_) {
    if (entry.Text == before) known = &entry;
  }
  if (!known) {
    known = &prefixes_[nextPrefix_];
    nextPrefix_ = (nextPrefix_ + 1) % prefixes_.size();
    *known = {before.toString(), measure_(before.toString())};
  }
  const QSize name = measure_(shown.sliced(hash + 1));
  return {known->Size.width() + name.width(), std::max(known->Size.height(), name.height())};
}

void TLogModel::MeasureNew() {
  if (!measure_) {
    measured_ = Count();
    return;
  }
  for (; measured_ < Count(); ++measured_) {
    const QString shown = Shown(measured_);
    // A line no wider than the rows are already cannot change them.
    const QSize limit = needed_.expandedTo(rowSize_);
    const QSize bound = Bound(shown);
    if (bound.isValid() && bound.width() <= limit.width() && bound.height() <= limit.height()) {
      continue;
    }
    needed_ = needed_.expandedTo(measure_(shown));
  }
}

bool TLogModel::Widen() {
  if (needed_.width() <= rowSize_.width() && needed_.height() <= rowSize_.height()) return false;
  // Wider than every row so far: all rows take the new size.
  emit layoutAboutToBeChanged();
  rowSize_ = Stepped(needed_.expandedTo(rowSize_));
  emit layoutChanged();
  return true;
}

bool TLogModel::Flush() {
  if (shown_ >= Count()) return false;
  const int first = shown_;
  const int last = Count() - 1;
  // Sized before they are shown, so that no view lays them out at a size they outgrow at once.
  MeasureNew();
  Widen();
  beginInsertRows(QModelIndex(), first, last);
  shown_ = last + 1;
  endInsertRows();
  return true;
}

void TLogModel::SetMeasure(std::function<QSize(const QString& shown)> measure) {
  measure_ = std::move(measure);
  rowSize_ = QSize();
  needed_ = QSize();
  prefixes_ = {};
  measured_ = 0;
  MeasureNew();
  if (shown_ > 0) Widen();
}

int TLogModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : shown_;
}

QModelIndex TLogModel::index(int row, int column, const QModelIndex& parent) const {
  // Asked for every row whenever a view lays the log out: no detour through rowCount.
  if (row < 0 || row >= shown_ || column != 0 || parent.isValid()) return {};
  return createIndex(row, 0);
}

QString TLogModel::Shown(int row) const {
  // Line breaks inside a name would make one log line two rows tall; they are shown as symbols.
  const std::string_view line = LineView(row);
  QString text = QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size()));
  text.replace(QLatin1Char('\n'), QChar(0x21B5));
  return text;
}

QVariant TLogModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= shown_) return {};
  switch (role) {
    case Qt::DisplayRole:
      return Shown(index.row());
    case Qt::AccessibleTextRole:
      return QString::fromStdString(Line(index.row()));
    case Qt::ToolTipRole:
      // A name such as <img src="…"> must not make the tooltip read a file.
      return PlainToolTip(QString::fromStdString(Line(index.row())));
    case Qt::SizeHintRole:
      if (rowSize_.isValid()) return rowSize_;
      return {};
    default:
      return {};
  }
}
