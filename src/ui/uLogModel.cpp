#include "ui/uLogModel.h"

#include "ui/uAdditional.h"

namespace {

// The row width grows in steps, so that a run of ever longer names lays the log out again only now
// and then.
constexpr int kWidthStep = 64;

}  // namespace

void TLogModel::Append(std::string line) {
  const int row = Count();
  beginInsertRows(QModelIndex(), row, row);
  lines_.push_back(std::move(line));
  endInsertRows();
  if (!measure_) return;
  const QSize needed = measure_(Shown(row));
  if (needed.width() <= rowSize_.width() && needed.height() <= rowSize_.height()) return;
  // Wider than every row so far: all rows take the new size.
  emit layoutAboutToBeChanged();
  rowSize_ = rowSize_.expandedTo(
      QSize((needed.width() + kWidthStep - 1) / kWidthStep * kWidthStep, needed.height()));
  emit layoutChanged();
}

void TLogModel::SetMeasure(std::function<QSize(const QString& shown)> measure) {
  measure_ = std::move(measure);
  rowSize_ = QSize();
  if (!measure_) return;
  emit layoutAboutToBeChanged();
  for (int row = 0; row < Count(); ++row) rowSize_ = rowSize_.expandedTo(measure_(Shown(row)));
  emit layoutChanged();
}

int TLogModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : Count();
}

QString TLogModel::Shown(int row) const {
  // Line breaks inside a name would make one log line two rows tall; they are shown as symbols.
  QString text = QString::fromUtf8(Line(row));
  text.replace(QLatin1Char('\n'), QChar(0x21B5));
  return text;
}

QVariant TLogModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= Count()) return {};
  switch (role) {
    case Qt::DisplayRole:
      return Shown(index.row());
    case Qt::AccessibleTextRole:
      return QString::fromUtf8(Line(index.row()));
    case Qt::ToolTipRole:
      // A name such as <img src="…"> must not make the tooltip read a file.
      return PlainToolTip(QString::fromUtf8(Line(index.row())));
    case Qt::SizeHintRole:
      if (rowSize_.isValid()) return rowSize_;
      return {};
    default:
      return {};
  }
}
