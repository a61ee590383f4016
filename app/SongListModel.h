#pragma once
// The grid's view of the catalogue query: one row per fetched row of the
// query, one column per grid column. Rows are pulled from the database as
// the grid scrolls, a batch at a time, so a long list opens at once.

#include <QAbstractTableModel>
#include <functional>
#include <string>
#include <vector>

namespace db {
class Query;
}

// A grid column: the query field it shows, its title and its width.
struct GridColumn {
  const char* FieldName;
  QString Title;
  int Width;
};

class SongListModel final : public QAbstractTableModel {
  Q_OBJECT
 public:
  static constexpr int kFetchBatch = 64;

  SongListModel(db::Query& query, std::vector<GridColumn> columns, QObject* parent = nullptr);

  const std::vector<GridColumn>& Columns() const { return columns_; }

  // Runs change (which closes, rewrites and reopens the query) as one reset
  // of the model; the model follows the query's rows also when change throws.
  void Rebuild(const std::function<void()>& change);
  // Announces rows that the query fetched behind the model's back (a run
  // that fetches every row), without a reset.
  void SyncRowCount();

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  bool canFetchMore(const QModelIndex& parent) const override;
  void fetchMore(const QModelIndex& parent) override;

 signals:
  // A fetch failed while the grid scrolled; the text is the client's.
  void FetchFailed(const QString& text);

 private:
  int QueryRowCount() const;

  db::Query& query_;
  std::vector<GridColumn> columns_;
  int rows_ = 0;
  bool fetchFailed_ = false;
};
