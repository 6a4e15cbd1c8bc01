#include "ui/uLogView.h"

#include <QKeyEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QStyleOptionViewItem>
#include <algorithm>
#include <climits>

// The list view's own layout of its rows is never made: it would place every row anew at each
// insertion. Every part of the view that would read it is done here instead, from the arithmetic
// above; the item view underneath keeps the model, the selection, the keys and the mouse.

namespace {

// Texts whose faces and marks reach highest and lowest in a log line: the time, a label, a name.
const char* const kSampleLine = "00:00:00   переименован из:    #ÅÉЙЁ_Wgjpqy";

// Far enough outside any viewport, and still far from overflowing when sizes are added to it.
constexpr long long kFarAway = INT_MAX / 4;

// A scroll bar that is drawn again only when what it shows changes. Rows that come in below the
// screen change the log's range at every frame, but once the log is long its handle stays where
// it is to the pixel; drawing it again would cost each frame as much as all the rest.
class TSteadyScrollBar : public QScrollBar {
 public:
  using QScrollBar::QScrollBar;

 protected:
  void sliderChange(SliderChange change) override {
    if (change == SliderRangeChange || change == SliderStepsChange) {
      const TLook look = Look();
      if (look == drawn_) return;
      drawn_ = look;
    }
    QScrollBar::sliderChange(change);
  }
  void paintEvent(QPaintEvent* event) override {
    drawn_ = Look();
    QScrollBar::paintEvent(event);
  }

 private:
  // What the style draws from the range and the value: the handle's place and size, and whether
  // the value stands at either end.
  struct TLook {
    QRect Handle;
    bool AtMinimum = false, AtMaximum = false, Empty = false;
    bool operator==(const TLook&) const = default;
  };
  TLook Look() const {
    QStyleOptionSlider option;
    initStyleOption(&option);
    return {
        style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, this),
        value() == minimum(), value() == maximum(), minimum() == maximum()};
  }
  TLook drawn_;
};

}  // namespace

TLogView::TLogView(QWidget* parent) : QListView(parent) {
  setVerticalScrollBar(new TSteadyScrollBar(Qt::Vertical, this));
  setHorizontalScrollBar(new TSteadyScrollBar(Qt::Horizontal, this));
  setVerticalScrollMode(ScrollPerItem);
  setHorizontalScrollMode(ScrollPerPixel);
  setUniformItemSizes(true);
}

int TLogView::RowCount() const {
  return model() ? model()->rowCount(rootIndex()) : 0;
}

int TLogView::TopRow() const {
  return verticalScrollBar()->value();
}

int TLogView::VisibleRows() const {
  return std::max(1, viewport()->height() / RowHeight());
}

int TLogView::RowWidth() const {
  int width = viewport()->width();
  if (RowCount() > 0) {
    // Every row offers the same size: the widest line's.
    const QModelIndex first = model()->index(0, 0, rootIndex());
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    width = std::max(width, itemDelegateForIndex(first)->sizeHint(option, first).width());
  }
  return width;
}

int TLogView::RowTop(int row) const {
  const long long top = (static_cast<long long>(row) - TopRow()) * RowHeight();
  return static_cast<int>(std::clamp(top, -kFarAway, kFarAway));
}

bool TLogView::RowsIn(int top, int bottom, int& first, int& last) const {
  const int rows = RowCount();
  if (rows == 0 || bottom < top) return false;
  const auto rowAt = [this](int y) {
    const int h = RowHeight();
    const long long below = y >= 0 ? y / h : -((-static_cast<long long>(y) + h - 1) / h);
    return static_cast<int>(std::clamp(TopRow() + below, -1LL, static_cast<long long>(INT_MAX)));
  };
  first = std::max(0, rowAt(top));
  last = std::min(rows - 1, rowAt(bottom));
  return first <= last;
}

int TLogView::LineHeight(const QFont& font) const {
  QStyleOptionViewItem option;
  option.initFrom(this);
  option.font = font;
  option.fontMetrics = QFontMetrics(font);
  option.features |= QStyleOptionViewItem::HasDisplay;
  option.text = QString::fromUtf8(kSampleLine);
  option.displayAlignment = Qt::AlignLeft | Qt::AlignVCenter;
  return style()->sizeFromContents(QStyle::CT_ItemViewItem, &option, QSize(), this).height();
}

void TLogView::FitFontToRows() {
  // As a list box's 8-point font fits its 13-pixel rows: the font shrinks to the rows, the rows
  // never grow to the font.
  QFont font = this->font();
  if (font.pointSizeF() <= 0) font.setPointSizeF(QFontInfo(font).pointSizeF());
  constexpr double kStep = 0.25, kSmallest = 5.0;
  while (LineHeight(font) > RowHeight() && font.pointSizeF() - kStep >= kSmallest) {
    font.setPointSizeF(font.pointSizeF() - kStep);
  }
  setFont(font);
}

QRect TLogView::visualRect(const QModelIndex& index) const {
  if (!index.isValid() || index.parent() != rootIndex() || index.column() != modelColumn()) {
    return {};
  }
  return QRect(-horizontalOffset(), RowTop(index.row()), RowWidth(), RowHeight());
}

void TLogView::scrollTo(const QModelIndex& index, ScrollHint hint) {
  if (!index.isValid() || index.parent() != rootIndex()) return;
  const int row = index.row(), top = TopRow(), visible = VisibleRows();
  int wanted = top;
  switch (hint) {
    case EnsureVisible:
      if (row < top) {
        wanted = row;
      } else if (row >= top + visible) {
        wanted = row - visible + 1;
      }
      break;
    case PositionAtTop:
      wanted = row;
      break;
    case PositionAtBottom:
      wanted = row - visible + 1;
      break;
    case PositionAtCenter:
      wanted = row - visible / 2;
      break;
  }
  verticalScrollBar()->setValue(wanted);
}

QModelIndex TLogView::indexAt(const QPoint& point) const {
  int first = 0, last = 0;
  if (point.y() < 0 || !RowsIn(point.y(), point.y(), first, last)) return {};
  const int x = point.x() + horizontalOffset();
  if (x < 0 || x >= RowWidth()) return {};
  return model()->index(first, modelColumn(), rootIndex());
}

void TLogView::doItemsLayout() {
  // What the list view would lay out is all in the arithmetic: only the scroll bars follow.
  QAbstractItemView::doItemsLayout();
}

int TLogView::horizontalOffset() const {
  return horizontalScrollBar()->value();
}

int TLogView::verticalOffset() const {
  return static_cast<int>(
      std::min<long long>(static_cast<long long>(TopRow()) * RowHeight(), kFarAway));
}

QModelIndex TLogView::moveCursor(CursorAction action, Qt::KeyboardModifiers) {
  const int rows = RowCount();
  if (rows == 0) return {};
  const QModelIndex current = currentIndex();
  if (!current.isValid()) return model()->index(0, modelColumn(), rootIndex());
  const int page = std::max(1, VisibleRows() - 1);
  long long row = current.row();
  switch (action) {
    case MoveUp:
    case MovePrevious:
      --row;
      break;
    case MoveDown:
    case MoveNext:
      ++row;
      break;
    case MovePageUp:
      row -= page;
      break;
    case MovePageDown:
      row += page;
      break;
    case MoveHome:
      row = 0;
      break;
    case MoveEnd:
      row = rows - 1;
      break;
    case MoveLeft:
    case MoveRight:
      break;
  }
  return model()->index(static_cast<int>(std::clamp(row, 0LL, static_cast<long long>(rows - 1))),
                        modelColumn(), rootIndex());
}

void TLogView::setSelection(const QRect& rect, QItemSelectionModel::SelectionFlags command) {
  if (!selectionModel()) return;
  const QRect area = rect.normalized();
  int first = 0, last = 0;
  QItemSelection selection;
  if (area.right() + horizontalOffset() >= 0 && area.left() + horizontalOffset() < RowWidth() &&
      RowsIn(area.top(), area.bottom(), first, last)) {
    selection.select(model()->index(first, modelColumn(), rootIndex()),
                     model()->index(last, modelColumn(), rootIndex()));
  }
  selectionModel()->select(selection, command);
}

QRegion TLogView::visualRegionForSelection(const QItemSelection& selection) const {
  QRegion region;
  const int top = TopRow(), bottom = top + VisibleRows();
  for (const QItemSelectionRange& range : selection) {
    if (range.parent() != rootIndex()) continue;
    const int first = std::max(range.top(), top), last = std::min(range.bottom(), bottom);
    if (first > last) continue;
    region +=
        QRect(-horizontalOffset(), RowTop(first), RowWidth(), (last - first + 1) * RowHeight());
  }
  return region;
}

void TLogView::updateGeometries() {
  const int rows = RowCount(), visible = VisibleRows();
  QScrollBar* vertical = verticalScrollBar();
  vertical->setSingleStep(1);
  vertical->setPageStep(visible);
  vertical->setRange(0, std::max(0, rows - visible));
  QScrollBar* horizontal = horizontalScrollBar();
  const int width = RowWidth(), shown = viewport()->width();
  horizontal->setSingleStep(std::max(1, fontMetrics().averageCharWidth() * 2));
  horizontal->setPageStep(shown);
  horizontal->setRange(0, std::max(0, width - shown));
  // Past the list view's own geometry, which would lay out every row.
  QAbstractItemView::updateGeometries();
}

void TLogView::paintEvent(QPaintEvent* event) {
  int first = 0, last = 0;
  const QRect area = event->rect();
  if (!itemDelegate() || !RowsIn(area.top(), area.bottom(), first, last)) return;
  QPainter painter(viewport());
  QStyleOptionViewItem base;
  initViewItemOption(&base);
  const QModelIndex current = currentIndex();
  const bool focus = (hasFocus() || viewport()->hasFocus()) && current.isValid();
  const bool enabled = base.state & QStyle::State_Enabled;
  for (int row = first; row <= last; ++row) {
    const QModelIndex index = model()->index(row, modelColumn(), rootIndex());
    QStyleOptionViewItem option = base;
    option.rect = visualRect(index);
    if (selectionModel() && selectionModel()->isSelected(index)) {
      option.state |= QStyle::State_Selected;
    }
    if (enabled && !(model()->flags(index) & Qt::ItemIsEnabled)) {
      option.state &= ~QStyle::State_Enabled;
      option.palette.setCurrentColorGroup(QPalette::Disabled);
    }
    if (focus && index == current) option.state |= QStyle::State_HasFocus;
    itemDelegateForIndex(index)->paint(&painter, option, index);
  }
}

void TLogView::rowsInserted(const QModelIndex& parent, int start, int end) {
  // Past the list view's own handling, which would lay every row out again.
  QAbstractItemView::rowsInserted(parent, start, end);
  if (parent != rootIndex()) return;
  const int top = TopRow();
  updateGeometries();
  // Rows that come in above the top row push what is shown down: the view follows them.
  if (start < top) verticalScrollBar()->setValue(top + (end - start + 1));
  if (start < TopRow() + VisibleRows() + 1) {
    viewport()->update(
        QRect(0, RowTop(std::max(start, TopRow())), viewport()->width(), viewport()->height()));
  }
}

void TLogView::rowsAboutToBeRemoved(const QModelIndex& parent, int start, int end) {
  QAbstractItemView::rowsAboutToBeRemoved(parent, start, end);
  scheduleDelayedItemsLayout();
}

void TLogView::dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                           const QList<int>& roles) {
  // Past the list view's, which would look for the rows in its own layout.
  QAbstractItemView::dataChanged(topLeft, bottomRight, roles);
}

void TLogView::scrollContentsBy(int dx, int dy) {
  // The vertical bar counts rows; the viewport moves by pixels.
  const long long pixels = static_cast<long long>(dy) * RowHeight();
  const int limit = viewport()->height() + RowHeight();
  QAbstractItemView::scrollContentsBy(
      dx, static_cast<int>(std::clamp<long long>(pixels, -limit, limit)));
}

void TLogView::resizeEvent(QResizeEvent* event) {
  // The selected line stays in view when the viewport gets shorter (the horizontal scroll bar
  // comes with the first line too long for it): the view moves as little as that needs.
  const QModelIndex current = currentIndex();
  const int top = TopRow();
  const int before = std::max(1, event->oldSize().height() / RowHeight());
  const bool shown = current.isValid() && current.row() >= top && current.row() < top + before;
  // Past the list view's, which would lay every row out again.
  QAbstractItemView::resizeEvent(event);
  if (shown) scrollTo(current, EnsureVisible);
}

void TLogView::keyPressEvent(QKeyEvent* event) {
  if (event->matches(QKeySequence::Copy)) {
    emit CopyRequested();
    event->accept();
    return;
  }
  const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
  if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
      modifiers == Qt::NoModifier) {
    emit OpenRequested();
    event->accept();
    return;
  }
  if ((event->key() == Qt::Key_Left || event->key() == Qt::Key_Right) &&
      modifiers == Qt::NoModifier) {
    // Long lines are read to their end with the keys too.
    horizontalScrollBar()->triggerAction(event->key() == Qt::Key_Left
                                             ? QAbstractSlider::SliderSingleStepSub
                                             : QAbstractSlider::SliderSingleStepAdd);
    event->accept();
    return;
  }
  QListView::keyPressEvent(event);
}
