#include "TDBGridStudio.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QHeaderView>
#include <QMouseEvent>
#include <QPainter>
#include <QStyledItemDelegate>
#include <algorithm>
#include <utility>

namespace {

bool IsModifierKey(int key) {
  return key == Qt::Key_Shift || key == Qt::Key_Control || key == Qt::Key_Alt || key == Qt::Key_Meta;
}

const QColor kNavy(0, 0, 128);
const QColor kDimmed(150, 150, 150);

// Every data cell is drawn the standard way, with navy text also in
// selected rows; grey while the grid is dimmed.
class NavyTextDelegate final : public QStyledItemDelegate {
 public:
  explicit NavyTextDelegate(TDBGridStudio* grid) : QStyledItemDelegate(grid), grid_(grid) {}

 protected:
  void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
    QStyledItemDelegate::initStyleOption(option, index);
    const QColor& colour = grid_->Dimmed() ? kDimmed : kNavy;
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
      option->palette.setColor(group, QPalette::Text, colour);
      option->palette.setColor(group, QPalette::HighlightedText, colour);
    }
  }

 private:
  const TDBGridStudio* grid_;
};

// The indicator column: plain sections, with a small black triangle on the
// current row.
class IndicatorHeader final : public QHeaderView {
 public:
  explicit IndicatorHeader(QTableView* table) : QHeaderView(Qt::Vertical, table), table_(table) {}

 protected:
  void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override {
    painter->save();
    QHeaderView::paintSection(painter, rect, logicalIndex);
    painter->restore();
    if (logicalIndex != table_->currentIndex().row()) return;
    const QPoint c = rect.center();
    const QPolygon arrow({QPoint(c.x() - 2, c.y() - 4), QPoint(c.x() + 2, c.y()),
                          QPoint(c.x() - 2, c.y() + 4)});
    painter->save();
    painter->setPen(Qt::NoPen);
    painter->setBrush(Qt::black);
    painter->drawPolygon(arrow);
    painter->restore();
  }

 private:
  QTableView* table_;
};

}  // namespace

TDBGridStudio::TDBGridStudio(QWidget* parent) : QTableView(parent) {
  setVerticalHeader(new IndicatorHeader(this));
  setItemDelegate(new NavyTextDelegate(this));
  setEditTriggers(NoEditTriggers);
  setSelectionBehavior(SelectRows);
  setSelectionMode(ExtendedSelection);
  setShowGrid(true);
  setWordWrap(false);
  setTabKeyNavigation(false);
  viewport()->setCursor(Qt::PointingHandCursor);

  // Selected rows look the same whether or not the grid has the focus, and
  // while a run has disabled it.
  QPalette colours = palette();
  for (auto role : {QPalette::Highlight, QPalette::HighlightedText})
    for (auto group : {QPalette::Inactive, QPalette::Disabled})
      colours.setColor(group, role, colours.color(QPalette::Active, role));
  setPalette(colours);

  QHeaderView* titles = horizontalHeader();
  titles->setSectionsClickable(true);
  titles->setSectionsMovable(false);
  titles->setHighlightSections(false);
  titles->setSectionResizeMode(QHeaderView::Interactive);
  titles->setStretchLastSection(false);
  titles->setDefaultAlignment(Qt::AlignCenter);
  titles->setFixedHeight(kRowHeight);
  titles->setCursor(Qt::PointingHandCursor);

  QHeaderView* indicator = verticalHeader();
  indicator->setSectionResizeMode(QHeaderView::Fixed);
  indicator->setMinimumSectionSize(kRowHeight);
  indicator->setDefaultSectionSize(kRowHeight);
  indicator->setFixedWidth(kIndicatorWidth);
  indicator->setHighlightSections(false);

  // The corner cell is ours: no select-all there; its clicks reach the grid
  // itself, where the mouse-up report sees them.
  setCornerButtonEnabled(false);
  if (auto* corner = findChild<QAbstractButton*>())
    corner->setAttribute(Qt::WA_TransparentForMouseEvents);

  for (QObject* watched : {static_cast<QObject*>(this), static_cast<QObject*>(viewport()),
                           static_cast<QObject*>(titles->viewport()),
                           static_cast<QObject*>(indicator->viewport())})
    watched->installEventFilter(this);
}

void TDBGridStudio::setModel(QAbstractItemModel* model) {
  QTableView::setModel(model);
  if (!selectionModel()) return;
  connect(selectionModel(), &QItemSelectionModel::currentRowChanged, this,
          [this](const QModelIndex& current, const QModelIndex& previous) {
            verticalHeader()->viewport()->update();
            if (current.isValid() && current.row() != previous.row())
              emit CurrentRowChanged(current.row());
          });
}

void TDBGridStudio::SetDimmed(bool dimmed) {
  if (dimmed == dimmed_) return;
  dimmed_ = dimmed;
  viewport()->update();
}

void TDBGridStudio::SetRowsComing(bool coming) {
  rowsComing_ = coming;
  const std::optional<Qt::KeyboardModifiers> end = std::exchange(endPending_, std::nullopt);
  if (coming || !end) return;
  // End once more, as the user pressed it, now that the last row is there.
  QKeyEvent press(QEvent::KeyPress, Qt::Key_End, *end);
  QKeyEvent release(QEvent::KeyRelease, Qt::Key_End, *end);
  QCoreApplication::sendEvent(this, &press);
  QCoreApplication::sendEvent(this, &release);
}

std::vector<int> TDBGridStudio::SelectedRows() const {
  std::vector<int> rows;
  if (!selectionModel()) return rows;
  for (const QModelIndex& index : selectionModel()->selectedRows()) rows.push_back(index.row());
  std::sort(rows.begin(), rows.end());
  return rows;
}

void TDBGridStudio::SetCurrentRow(int row) {
  if (!model() || !selectionModel()) return;
  const QModelIndex index = model()->index(row, 0);
  selectionModel()->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
  verticalHeader()->viewport()->update();
}

bool TDBGridStudio::eventFilter(QObject* watched, QEvent* event) {
  // A click, or a key pressed in the grid (a move, Space selecting a row),
  // takes the place of an End still waiting for the list's last row (an End
  // pressed again waits anew as it moves).
  if (event->type() == QEvent::MouseButtonPress) endPending_.reset();
  if (event->type() == QEvent::KeyPress && watched == this && !IsModifierKey(static_cast<QKeyEvent*>(event)->key()))
    endPending_.reset();
  if (event->type() == QEvent::MouseButtonRelease) {
    auto* mouse = static_cast<QMouseEvent*>(event);
    auto* widget = static_cast<QWidget*>(watched);
    const QPoint inGrid = widget->mapTo(this, mouse->position().toPoint()) - contentsRect().topLeft();
    emit MouseUp(mouse->button(), mouse->modifiers(), inGrid.x(), inGrid.y());
  }
  return QTableView::eventFilter(watched, event);
}

QModelIndex TDBGridStudio::moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers) {
  // Home and End go to the first and the last row of the whole list (there
  // is no other column to go to); the last row needs every row fetched.
  QAbstractItemModel* rows = model();
  const bool toRowEnds = rows && (modifiers & Qt::ControlModifier || rows->columnCount() == 1);
  // Any move, Home included, takes the place of an End still waiting.
  endPending_.reset();
  if (toRowEnds && cursorAction == MoveHome)
    return rows->index(0, std::max(currentIndex().column(), 0));
  if (toRowEnds && cursorAction == MoveEnd) {
    if (rowsComing_) endPending_ = modifiers;
    while (rows->canFetchMore({})) rows->fetchMore({});
    return rows->index(rows->rowCount() - 1, std::max(currentIndex().column(), 0));
  }
  return QTableView::moveCursor(cursorAction, modifiers);
}

QItemSelectionModel::SelectionFlags TDBGridStudio::selectionCommand(const QModelIndex& index,
                                                                    const QEvent* event) const {
  // Moving with the keyboard without Shift empties the selection instead of
  // selecting the row moved to.
  if (event && event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<const QKeyEvent*>(event);
    switch (key->key()) {
      case Qt::Key_Up:
      case Qt::Key_Down:
      case Qt::Key_PageUp:
      case Qt::Key_PageDown:
      case Qt::Key_Home:
      case Qt::Key_End:
        if (!(key->modifiers() & Qt::ShiftModifier)) return QItemSelectionModel::Clear;
        break;
      default:
        break;
    }
  }
  return QTableView::selectionCommand(index, event);
}
