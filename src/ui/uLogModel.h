// The log of the main window: the lines as the program made them (the names' own bytes, so a line
// reads back to the exact name), shown through a list model that is cheap to append to and to show
// with a million lines.
#pragma once

#include <QAbstractListModel>
#include <string>
#include <vector>

class TLogModel : public QAbstractListModel {
  Q_OBJECT
 public:
  using QAbstractListModel::QAbstractListModel;

  void Append(std::string line);
  const std::string& Line(int row) const { return lines_.at(static_cast<size_t>(row)); }
  int Count() const { return static_cast<int>(lines_.size()); }

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

 private:
  std::vector<std::string> lines_;
};
