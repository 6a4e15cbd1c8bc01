#include "ui/uLogModel.h"

#include "ui/uAdditional.h"

void TLogModel::Append(std::string line) {
  const int row = Count();
  beginInsertRows(QModelIndex(), row, row);
  lines_.push_back(std::move(line));
  endInsertRows();
}

int TLogModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : Count();
}

QVariant TLogModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= Count()) return {};
  if (role == Qt::DisplayRole || role == Qt::AccessibleTextRole || role == Qt::ToolTipRole) {
    // Line breaks inside a name would make one log line two rows tall; they are shown as symbols.
    QString text = QString::fromUtf8(Line(index.row()));
    if (role == Qt::DisplayRole) text.replace(QLatin1Char('\n'), QChar(0x21B5));
    // A name such as <img src="…"> must not make the tooltip read a file.
    if (role == Qt::ToolTipRole) return PlainToolTip(text);
    return text;
  }
  return {};
}
