// The log of the main window: the lines as the program made them (the names' own bytes, so a line
// reads back to the exact name), shown through a list model that is cheap to append to and to show
// with a million lines.
#pragma once

#include <QAbstractListModel>
#include <QSize>
#include <functional>
#include <string>
#include <vector>

class TLogModel : public QAbstractListModel {
  Q_OBJECT
 public:
  using QAbstractListModel::QAbstractListModel;

  void Append(std::string line);
  const std::string& Line(int row) const { return lines_.at(static_cast<size_t>(row)); }
  int Count() const { return static_cast<int>(lines_.size()); }

  // The size one shown line needs. Every row then offers the size of the widest line so far, so a
  // view that sizes all rows alike (from whichever row it samples) shows every line whole, whenever
  // it arrived.
  void SetMeasure(std::function<QSize(const QString& shown)> measure);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

 private:
  QString Shown(int row) const;

  std::vector<std::string> lines_;
  std::function<QSize(const QString&)> measure_;
  QSize rowSize_;
};
