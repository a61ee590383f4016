#include "SongListModel.h"

#include <exception>

#include "CodePage.h"
#include "FirebirdDb.h"

SongListModel::SongListModel(db::Query& query, std::vector<GridColumn> columns, QObject* parent)
    : QAbstractTableModel(parent), query_(query), columns_(std::move(columns)) {}

int SongListModel::QueryRowCount() const { return query_.IsOpen() ? query_.FetchedCount() : 0; }

void SongListModel::Rebuild(const std::function<void()>& change) {
  beginResetModel();
  struct EndReset {
    SongListModel& model;
    ~EndReset() {
      model.rows_ = model.QueryRowCount();
      model.fetchFailed_ = false;
      model.endResetModel();
    }
  } endReset{*this};
  change();
}

void SongListModel::SyncRowCount() {
  const int fetched = QueryRowCount();
  if (fetched > rows_) {
    beginInsertRows({}, rows_, fetched - 1);
    rows_ = fetched;
    endInsertRows();
  } else if (fetched < rows_) {
    beginResetModel();
    rows_ = fetched;
    endResetModel();
  }
}

int SongListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : rows_;
}

int SongListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(columns_.size());
}

QVariant SongListModel::data(const QModelIndex& index, int role) const {
  if (role != Qt::DisplayRole || !index.isValid() || index.row() >= rows_) return {};
  try {
    const std::string text = query_.ValueAt(index.row(), columns_.at(index.column()).FieldName);
    return QString::fromUtf8(platform::Cp1252ToUtf8(text));
  } catch (const std::exception&) {
    // Painting must go on; a vanished row simply shows nothing.
    return {};
  }
}

QVariant SongListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation == Qt::Horizontal && section >= 0 && section < columnCount()) {
    if (role == Qt::DisplayRole) return columns_[section].Title;
    if (role == Qt::TextAlignmentRole) return int(Qt::AlignCenter);
  }
  return {};
}

bool SongListModel::canFetchMore(const QModelIndex& parent) const {
  // Rows handed in from elsewhere come by themselves (SyncRowCount).
  return !parent.isValid() && !fetchFailed_ && query_.IsOpen() && !query_.RowsHandedIn() && !query_.AllFetched();
}

void SongListModel::fetchMore(const QModelIndex& parent) {
  if (!canFetchMore(parent)) return;
  try {
    query_.FetchMore(kFetchBatch);
  } catch (const std::exception& error) {
    // The grid asks for rows while it lays itself out or paints; stop asking
    // and let the window report the failure once.
    fetchFailed_ = true;
    emit FetchFailed(QString::fromUtf8(platform::Cp1252ToUtf8(error.what())));
  }
  SyncRowCount();
}
