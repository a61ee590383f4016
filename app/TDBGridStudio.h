#pragma once
// The catalogue grid: whole-row, multi-row selection over the song list,
// an indicator column marking the current row, navy cell text, and a
// mouse-up signal in the grid's own client coordinates (the corner cell
// above the indicator column included).

#include <QTableView>
#include <optional>
#include <vector>

class TDBGridStudio final : public QTableView {
  Q_OBJECT
 public:
  static constexpr int kIndicatorWidth = 11;
  static constexpr int kRowHeight = 17;

  explicit TDBGridStudio(QWidget* parent = nullptr);

  void setModel(QAbstractItemModel* model) override;

  // Rows selected, ascending: the selection's bookmarks in row order.
  std::vector<int> SelectedRows() const;
  // Makes row the current row (and the one the indicator marks) without
  // selecting anything.
  void SetCurrentRow(int row);
  // Dimmed, the rows are drawn grey instead of navy: they are about to be
  // replaced.
  void SetDimmed(bool dimmed);
  bool Dimmed() const { return dimmed_; }
  // While rows of the list are still to come, End goes to the last row
  // there is and, once they are all in (SetRowsComing(false)), on to the
  // real last row, unless the user moved or clicked meanwhile.
  void SetRowsComing(bool coming);

 signals:
  // A mouse button was released over the grid; x and y are relative to the
  // grid's client area (inside its frame).
  void MouseUp(Qt::MouseButton button, Qt::KeyboardModifiers modifiers, int x, int y);
  // The user moved the current row.
  void CurrentRowChanged(int row);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  QModelIndex moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers) override;
  QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index,
                                                       const QEvent* event) const override;

 private:
  bool dimmed_ = false;
  bool rowsComing_ = false;
  std::optional<Qt::KeyboardModifiers> endPending_;  // the keys End came with
};
