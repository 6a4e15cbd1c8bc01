// The log's view at any length: it stays where the user left it, and one more row costs it the
// same however many there are.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QScrollBar>
#include <QTest>
#include <random>

#include "uWindowsTestSupport.h"
#include "ui/uLogModel.h"
#include "ui/uLogView.h"
#include "ui_ufMain.h"

namespace {

using windows_test::WaitUntil;

std::string Line(int i) {
  return ChangeLogLine("12:00:00   создан:   ", "f" + std::to_string(i));
}

class LogView : public windows_test::TWindowsTest {};

TEST_F(LogView, StaysWhereTheUserLeftItAtAnyLength) {
  WriteIni(false, watched);
  CreateWindows();
  main->show();
  QListView* view = main->ui()->lbLog;
  TLogModel& log = main->Log();
  int n = 0;
  for (; n < 2500; ++n) log.Append(Line(n));
  const auto inView = [&](const QModelIndex& index) {
    const QRect row = view->visualRect(index);
    return row.top() >= 0 && row.bottom() < view->viewport()->height();
  };
  // The first line too long for the view brings the horizontal scroll bar: a line selected at the
  // bottom stays in view.
  view->scrollTo(log.index(1900), QAbstractItemView::PositionAtTop);
  const QModelIndex bottom = log.index(1900 + static_cast<TLogView*>(view)->VisibleRows() - 1);
  QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(bottom).center());
  ASSERT_TRUE(inView(bottom));
  log.Append(Line(n++) + std::string(200, 'w'));
  ASSERT_TRUE(WaitUntil([&] { return view->horizontalScrollBar()->isVisible(); }));
  QCoreApplication::processEvents();
  ASSERT_TRUE(inView(bottom));
  std::mt19937 random(27);
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    QCoreApplication::processEvents();
    // Where the user leaves it: at line 1,900, at the end, or anywhere; a line selected or not.
    if (round % 3 == 1) {
      view->scrollToBottom();
    } else {
      const int row = round % 3 == 0 ? 1900 : static_cast<int>(random() % log.rowCount());
      view->scrollTo(log.index(row), QAbstractItemView::PositionAtTop);
    }
    ASSERT_TRUE(WaitUntil([&] { return view->indexAt(QPoint(2, 2)).isValid(); }));
    const int top = view->indexAt(QPoint(2, 2)).row();
    QModelIndex selected;
    if (random() % 2) {
      selected = view->indexAt(QPoint(5, static_cast<int>(random() % 300)));
      ASSERT_TRUE(selected.isValid());
      QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(selected).center());
    }
    // More lines: one at a time, or a burst shown at once, with the event loop between; now and
    // then one too long for the view, which brings the horizontal scroll bar.
    const bool barBefore = view->horizontalScrollBar()->isVisible();
    const int more = 1 + static_cast<int>(random() % 400);
    for (int i = 0; i < more; ++i) {
      const std::string line = random() % 500 ? Line(n++) : Line(n++) + std::string(200, 'w');
      if (random() % 2) {
        log.Append(line);
      } else {
        log.AppendLater(line);
      }
      if (random() % 50 == 0) QCoreApplication::processEvents();
    }
    log.Flush();
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
    // It stays; only a scroll bar that came takes a row or two off the bottom, and then the view
    // moves no more than the selected line needs.
    const int now = view->indexAt(QPoint(2, 2)).row();
    if (barBefore || !view->horizontalScrollBar()->isVisible()) {
      ASSERT_EQ(now, top);
    } else {
      ASSERT_LE(now - top, selected.isValid() ? 2 : 0);
      ASSERT_GE(now, top);
    }
    if (selected.isValid()) {
      ASSERT_TRUE(view->selectionModel()->isSelected(selected));
      ASSERT_TRUE(inView(selected));
    }
  }
  // Rows lie one under the other, 13 pixels apart.
  auto* logView = static_cast<TLogView*>(view);
  const int top = logView->TopRow();
  for (int row = top; row < top + logView->VisibleRows(); ++row) {
    EXPECT_EQ(view->visualRect(log.index(row)),
              QRect(-view->horizontalScrollBar()->value(), (row - top) * 13,
                    view->visualRect(log.index(row)).width(), 13));
    EXPECT_EQ(view->indexAt(QPoint(3, (row - top) * 13 + 6)).row(), row);
  }
}

// Counts every question the view asks the log.
class TCountingLog : public TLogModel {
 public:
  QModelIndex index(int row, int column = 0,
                    const QModelIndex& parent = QModelIndex()) const override {
    ++asked;
    return TLogModel::index(row, column, parent);
  }
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override {
    ++asked;
    return TLogModel::data(index, role);
  }
  mutable long asked = 0;
};

TEST(LogViewCost, OneMoreRowAsksTheSameOfTheLogAtAnyLength) {
  long askedFor[2] = {0, 0};
  const int lengths[2] = {1000, 300000};
  for (int k = 0; k < 2; ++k) {
    TLogView view;
    view.resize(461, 337);
    TCountingLog log;
    view.setModel(&log);
    view.show();
    for (int i = 0; i < lengths[k]; ++i) log.AppendLater(Line(i));
    log.Flush();
    view.scrollTo(log.index(lengths[k] / 2), QAbstractItemView::PositionAtTop);
    view.selectionModel()->setCurrentIndex(log.index(lengths[k] / 2 + 3),
                                           QItemSelectionModel::ClearAndSelect);
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
    log.asked = 0;
    for (int i = 0; i < 20; ++i) {
      log.Append(Line(i));
      QCoreApplication::processEvents();
    }
    askedFor[k] = log.asked;
  }
  // Nothing like one question per row: the same few, at a thousand rows as at 300,000.
  EXPECT_LT(askedFor[1], 1000);
  EXPECT_LE(askedFor[1], askedFor[0]);
}

}  // namespace
