#pragma once
// The main window: start-up (configuration file and database connection),
// the catalogue list with its incremental search and ordering, and the
// controls of the tag-writing runs.

#include <QElapsedTimer>
#include <QWidget>
#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "FirebirdDb.h"
#include "MessageBoxes.h"
#include "SongListLoader.h"
#include "TagRun.h"

class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QToolButton;
class SongListModel;
class TDBGridStudio;

class TFrmPrincipal : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kClientWidth = 740;
  static constexpr int kClientHeight = 400;

  // configDirectory is where BaseZelta.ini is looked for first; empty means
  // the directory of the running executable. When it is not there, the
  // user's own copy is read (CatalogueSettings.h). Creating the window runs
  // FormCreate.
  explicit TFrmPrincipal(MessageBoxes& boxes = DefaultMessageBoxes(),
                         std::string configDirectory = {}, QWidget* parent = nullptr);
  ~TFrmPrincipal() override;

  // The database components, owned by the window for the program's life.
  db::Connection DB_Zelta;
  db::Transaction Transaction_Zelta{DB_Zelta};
  db::Query Q_Musicas{DB_Zelta, Transaction_Zelta};

  // Controls; the window owns them through Qt's parent links.
  QGroupBox* GBLocalizarMusicas = nullptr;
  QLineEdit* MEBuscarMusicas = nullptr;
  QGroupBox* GBRelacaoMusicas = nullptr;
  TDBGridStudio* DBMusicas = nullptr;
  QFrame* pnlAguarde = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* lblContador = nullptr;
  QProgressBar* ProgressBar1 = nullptr;
  QToolButton* BTodas = nullptr;
  QToolButton* BSelecionadas = nullptr;
  QToolButton* BFechar = nullptr;

  // Column after "ORDER BY "; empty until the first rebuild.
  const std::string& SortFieldName() const { return sortFieldName_; }
  // Where the configuration file is looked for first.
  std::string ConfigPath() const;

  // Event handlers. Called from Qt through RunGuarded; they may throw.
  void FormCreate();
  void FormDestroy();
  // The rebuild of the list: asks for the list of the search text and the
  // order on the list's own thread and returns at once. Until the new
  // list's first rows are there, the grid shows the old ones greyed; then
  // they replace the old rows as one reopening of the query would, and the
  // rest follow as they come.
  void MEBuscarMusicasChange();
  void DBMusicasTitleClick(int column);
  void DBMusicasMouseUp(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
  void BFecharClick();
  // A stop signal (SIGINT, SIGTERM, SIGHUP; StopSignals) ends the window as
  // its close button does: a run going stops before its next song, its
  // songs being saved are finished and its report saved, without the final
  // box; boxes open are closed, and the window closes. The program then
  // ends with 128 + the signal's number.
  void EndOnSignal(int signal);
  // The signal that ended the window; 0 while none did.
  int EndingSignal() const { return endingSignal_; }
  // The two tag-writing runs: every listed song, or the selected rows in
  // row order. Each song goes through WriteTagForCurrentSong. Clicked
  // while the list is still being read, a run waits for the whole list and
  // starts by itself then: it writes the songs listed for the search text
  // in the box.
  void BTodasClick();
  void BSelecionadasClick();

  // The list shown answers the last rebuild and holds all of its rows.
  bool ListSettled() const { return listComplete_ && shownGeneration_ == listGeneration_; }
  // A rebuild was asked and its first rows are not there yet: the old
  // rows are shown greyed.
  bool Searching() const { return shownGeneration_ != listGeneration_; }

  // The per-song job on the current row of Q_Musicas: the song's MP3 file
  // gets the catalogue's values merged over its own tag. Every error of a
  // song ends as its outcome, so that the run goes on with the next one.
  job::SongResult WriteTagForCurrentSong() noexcept;
  // Name of the song's genre with the lowest genre code; empty when it has
  // none. Throws db::DatabaseError.
  std::string FirstGenreName(int songCode);

  // Busy state of a run: shows the wait panel and disables every control
  // that could start another action, then paints the change.
  void SetBusy(bool busy);
  // Progress text of a run; the label grows with it.
  void SetCounterText(const QString& text);
  // The counter and the bar reach the screen at most this often during a
  // run, which is also how often the window answers meanwhile.
  static constexpr int kFrameMilliseconds = 33;
  // Where the report of the last run was saved; empty when it could not be.
  const std::string& LastReportPath() const { return lastReportPath_; }
  // While false the grid ignores the query's movements (a run walks the rows
  // without repainting the grid); back to true, the grid takes up the rows
  // fetched meanwhile and the query's current row.
  void SetGridFollowsQuery(bool follow);
  bool GridFollowsQuery() const { return gridFollowsQuery_; }
  // The grid's selected rows as bookmarks of Q_Musicas, in row order.
  std::vector<db::Query::Bookmark> SelectedBookmarks() const;
  MessageBoxes& Boxes() const { return boxes_; }
  // The list's thread.
  SongListLoader& ListLoader() { return *loader_; }

  // The catalogue query's text for a search text (Windows-1252, already in
  // upper case) and an order column.
  static std::string SongListSql(const std::string& searchText, const std::string& sortField);
  // An SQL string literal: text in single quotes, inner quotes doubled.
  static std::string SqlStringLiteral(const std::string& text);

 private:
  void BuildControls();
  void ConnectEvents();
  void Guarded(const std::function<void()>& handler);
  // What both runs share: the bar set to count, the busy state with the
  // grid detached while walk goes through the songs, both undone whatever
  // happens, and after a walk that ended normally the report saved and the
  // final message.
  void RunOverSongs(int count, const std::function<void(job::TagRun&)>& walk);
  void LeaveRun();
  // Before each song of a run, the query standing on it: when a frame is
  // due, the counter, the bar and one round of window messages.
  void SongOfRunStarting(int number, int count);
  void ShowSongOfRun(int number, int count, const std::string& name);
  // The last song's counter and bar, when its frame was skipped.
  void ShowLastSongOfRun();
  // The report's file and the run's final box, with message instead of the
  // end of a run's text when given.
  void ReportRun(const job::RunResults& report, const char* message = nullptr);
  // The list's rows as the list's thread hands them in, a few batches per
  // round of window messages; the rest wait for the next round.
  void TakeListBatches();
  void ApplyListBatch(SongListLoader::Batch& batch);
  // Rows of the list fetched on demand (a run's fetch of every row): waits
  // for the list's thread.
  void PullListRows();
  // Closes Q_Musicas; its rows are freed on the list's thread.
  void DropListRows();
  // The list closed and empty, as a rebuild that failed leaves it.
  void CloseList();
  // A run clicked while the list was read starts once it is there.
  void StartWaitingRun();
  // The window closed for a stop signal, once no run goes.
  void EndForSignal();

  MessageBoxes& boxes_;
  std::string configDirectory_;
  std::string sortFieldName_;
  bool gridFollowsQuery_ = true;
  // The INI's [CAMINHOS]; each run makes its resolver of song paths
  // from them.
  std::vector<job::FolderMapping> folderMappings_;
  int songsInFlight_ = 0;  // the INI's; 0: the run's own choice
  job::GenreLookup genreOf_;
  // The run's frames: when the last was shown, which song it showed and
  // which song the run stands on.
  QElapsedTimer frameClock_;
  int shownNumber_ = 0;
  int runNumber_ = 0;
  int runCount_ = 0;
  std::string runName_;
  std::string lastReportPath_;
  // Declared after Q_Musicas, so it goes before the query does.
  std::unique_ptr<SongListModel> model_;
  // The list's thread; the number of the last rebuild asked for and of the
  // list shown; the query text of the list asked for.
  std::unique_ptr<SongListLoader> loader_;
  int listGeneration_ = 0;
  int shownGeneration_ = 0;
  bool listComplete_ = true;
  std::string askedSql_;
  std::deque<SongListLoader::Batch> incoming_;
  enum class WaitingRun { None, All, Selected } waitingRun_ = WaitingRun::None;
  bool runGoing_ = false;
  std::atomic<bool> runStop_{false};
  int endingSignal_ = 0;
};
