// The log's list: rows of one height, one under the other, placed by arithmetic alone. One more row
// costs the same at any length of the log, and a row added never moves the rows already there: the
// view shows what the user scrolled to until the user scrolls it again.
//
// Invariants: row r lies at (r - top row) × RowHeight() from the top of the viewport; the vertical
// scroll bar's value is the top row (it scrolls by whole rows, as a list box does); every row is
// as wide as the widest line so far (the model's row size hint) or the viewport, whichever is
// wider. Nothing here looks at more rows than the viewport shows.
#pragma once

#include <QListView>

class TLogView : public QListView {
  Q_OBJECT
 public:
  explicit TLogView(QWidget* parent = nullptr);

  // The height of every row.
  static constexpr int kRowHeight = 13;
  int RowHeight() const { return kRowHeight; }
  int TopRow() const;
  // Rows wholly inside the viewport.
  int VisibleRows() const;
  // Sets the largest size of the view's font at which a line fits into a row.
  void FitFontToRows();

  QRect visualRect(const QModelIndex& index) const override;
  void scrollTo(const QModelIndex& index, ScrollHint hint = EnsureVisible) override;
  QModelIndex indexAt(const QPoint& point) const override;
  void doItemsLayout() override;

 signals:
  // Enter on the log: the selected line's item is to be opened.
  void OpenRequested();
  // The copy key on the log: the selected line is to be copied.
  void CopyRequested();

 protected:
  int horizontalOffset() const override;
  int verticalOffset() const override;
  QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;
  void setSelection(const QRect& rect, QItemSelectionModel::SelectionFlags command) override;
  QRegion visualRegionForSelection(const QItemSelection& selection) const override;
  void updateGeometries() override;
  void paintEvent(QPaintEvent* event) override;
  void rowsInserted(const QModelIndex& parent, int start, int end) override;
  void rowsAboutToBeRemoved(const QModelIndex& parent, int start, int end) override;
  void dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                   const QList<int>& roles = QList<int>()) override;
  void scrollContentsBy(int dx, int dy) override;
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  int RowCount() const;
  int RowWidth() const;
  // The height a line of the sample text needs in a row with this font.
  int LineHeight(const QFont& font) const;
  // Where row `row` starts, from the top of the viewport (clamped far outside it).
  int RowTop(int row) const;
  // The rows a stretch of the viewport touches, clamped to the rows there are; false when none.
  bool RowsIn(int top, int bottom, int& first, int& last) const;
};
