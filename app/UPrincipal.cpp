#include "UPrincipal.h"

#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QStringList>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QScreen>
#include <QSignalBlocker>
#include <QStyle>
#include <QStyleFactory>
#include <QToolButton>
#include <QStyleOptionProgressBar>
#include <QStylePainter>
#include <QTimer>
#include <algorithm>
#include <ctime>

#include "CatalogueSettings.h"
#include "CatalogueSql.h"
#include "CodePage.h"
#include "EventGuard.h"
#include "FileServices.h"
#include "RunReport.h"
#include "SongListModel.h"
#include "TDBGridStudio.h"
#include "UpperCaseValidator.h"

namespace {

const char* const kCaption = "Quillmar 2012";
const char* const kDefaultSortField = job::kDefaultSortField;
const char* const kRunFinished = "Gravação do TAG finalizada!";
// Shown at start when saves of an earlier run, cut short by an
// interruption, were settled.
const char* const kSavesSettled = "Gravações interrompidas foram concluídas.";
const QColor kButtonFace(240, 240, 240);
// The list's rows are taken in for at most this long per round of window
// messages.
constexpr qint64 kListRowsMilliseconds = 15;

// "MS Sans Serif" at the given pixel height; Qt falls back to the nearest
// installed sans-serif family where it is missing.
QFont SansSerif(int pixels, bool bold = false) {
  QFont font(QStringLiteral("MS Sans Serif"));
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(pixels);
  font.setBold(bold);
  return font;
}

// Text colour of an enabled control; disabled, it greys as usual.
void SetTextColour(QWidget* widget, const QColor& colour) {
  QPalette palette = widget->palette();
  for (auto group : {QPalette::Active, QPalette::Inactive}) {
    palette.setColor(group, QPalette::WindowText, colour);
    palette.setColor(group, QPalette::Text, colour);
  }
  widget->setPalette(palette);
}

// Group boxes with the caption set into the top line of the frame, where
// the controls' positions expect it.
QStyle* FrameCaptionStyle() {
  static QStyle* style = QStyleFactory::create(QStringLiteral("Windows"));
  return style;
}

QGroupBox* GroupBox(QWidget* parent, const QString& caption, const QRect& geometry) {
  auto* box = new QGroupBox(caption, parent);
  if (QStyle* style = FrameCaptionStyle()) box->setStyle(style);
  box->setGeometry(geometry);
  return box;
}

QToolButton* FlatButton(QWidget* parent, const QString& caption, const QRect& geometry) {
  auto* button = new QToolButton(parent);
  button->setText(caption);
  button->setToolButtonStyle(Qt::ToolButtonTextOnly);
  button->setAutoRaise(true);
  button->setFocusPolicy(Qt::NoFocus);
  button->setCursor(Qt::PointingHandCursor);
  button->setGeometry(geometry);
  return button;
}

// A bar of a run without songs (maximum 0) stays empty: the toolkit would
// show its animated busy bar for such a range.
class RunProgressBar final : public QProgressBar {
 public:
  using QProgressBar::QProgressBar;

 protected:
  void paintEvent(QPaintEvent* event) override {
    if (maximum() != minimum()) {
      QProgressBar::paintEvent(event);
      return;
    }
    QStylePainter painter(this);
    QStyleOptionProgressBar option;
    initStyleOption(&option);
    option.minimum = 0;
    option.maximum = 1;
    option.progress = 0;
    painter.drawControl(QStyle::CE_ProgressBar, option);
  }
};

// Songs listed one per line in the final box's details; the report holds
// them all.
constexpr std::size_t kDetailLines = 1000;

QString DetailsOf(const job::RunResults& report, const std::string& reportPath, const std::string& reportError) {
  QStringList lines;
  for (const std::string& line : job::SummaryLines(report)) lines << QString::fromStdString(line);
  lines << QString();
  for (const std::string& line : job::ProblemLines(report, kDetailLines))
    lines << QString::fromStdString(line);
  lines << QString();
  lines << (reportPath.empty() ? QStringLiteral("The report could not be saved: ") + QString::fromStdString(reportError)
                               : QStringLiteral("Report: ") + QFile::decodeName(reportPath.c_str()));
  return lines.join(QLatin1Char('\n'));
}

}  // namespace

TFrmPrincipal::TFrmPrincipal(MessageBoxes& boxes, std::string configDirectory, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      boxes_(boxes),
      configDirectory_(configDirectory.empty() ? platform::ExecutableDirectory()
                                               : std::move(configDirectory)),
      genreOf_(job::FirstGenreLookup(DB_Zelta, Transaction_Zelta)),
      loader_(std::make_unique<SongListLoader>()) {
  if (!configDirectory_.empty() && configDirectory_.back() != '/') configDirectory_ += '/';
  BuildControls();
  ConnectEvents();
  Guarded([this] { FormCreate(); });
}

TFrmPrincipal::~TFrmPrincipal() { FormDestroy(); }

void TFrmPrincipal::BuildControls() {
  setWindowTitle(QString::fromUtf8(kCaption));
  setFixedSize(kClientWidth, kClientHeight);
  setFont(SansSerif(11));
  QPalette face = palette();
  face.setColor(QPalette::Window, kButtonFace);
  face.setColor(QPalette::Button, kButtonFace);
  setPalette(face);
  setAutoFillBackground(true);
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());

  GBLocalizarMusicas = GroupBox(this, QStringLiteral("Localizar Música: "), QRect(6, 4, 728, 47));

  MEBuscarMusicas = new QLineEdit(GBLocalizarMusicas);
  MEBuscarMusicas->setGeometry(8, 16, 708, 24);
  MEBuscarMusicas->setFont(SansSerif(13, true));
  MEBuscarMusicas->setValidator(new UpperCaseValidator(MEBuscarMusicas));
  SetTextColour(MEBuscarMusicas, Qt::black);
  {
    QPalette palette = MEBuscarMusicas->palette();
    palette.setColor(QPalette::Base, Qt::white);
    MEBuscarMusicas->setPalette(palette);
  }

  GBRelacaoMusicas = GroupBox(this, QStringLiteral("Relação das Músicas"), QRect(6, 56, 728, 299));
  GBRelacaoMusicas->setFont(SansSerif(11));
  SetTextColour(GBRelacaoMusicas, Qt::black);

  DBMusicas = new TDBGridStudio(GBRelacaoMusicas);
  DBMusicas->setGeometry(8, 15, 707, 274);
  DBMusicas->setFont(SansSerif(11, true));
  DBMusicas->setCursor(Qt::PointingHandCursor);
  model_ = std::make_unique<SongListModel>(
      Q_Musicas, std::vector<GridColumn>{{"MUS_NOMECOMPLETO", QStringLiteral("Música"), 670}});
  DBMusicas->setModel(model_.get());
  for (std::size_t i = 0; i < model_->Columns().size(); ++i)
    DBMusicas->setColumnWidth(static_cast<int>(i), model_->Columns()[i].Width);

  pnlAguarde = new QFrame(GBRelacaoMusicas);
  pnlAguarde->setGeometry(86, 108, 557, 81);
  pnlAguarde->setFrameStyle(QFrame::Panel | QFrame::Raised);
  pnlAguarde->setAutoFillBackground(true);
  {
    // The panel is shown while its group box is disabled; it must not look
    // disabled itself.
    QPalette palette = pnlAguarde->palette();
    for (int role = 0; role < QPalette::NColorRoles; ++role) {
      const auto r = static_cast<QPalette::ColorRole>(role);
      palette.setColor(QPalette::Disabled, r, palette.color(QPalette::Active, r));
    }
    palette.setColor(QPalette::Disabled, QPalette::WindowText, Qt::black);
    palette.setColor(QPalette::Active, QPalette::WindowText, Qt::black);
    pnlAguarde->setPalette(palette);
  }
  pnlAguarde->hide();

  Label1 = new QLabel(QStringLiteral("Gravando informações no TAG"), pnlAguarde);
  Label1->setGeometry(191, 6, 175, 13);
  Label1->setFont(SansSerif(12, true));
  Label1->adjustSize();

  lblContador = new QLabel(pnlAguarde);
  lblContador->setGeometry(8, 32, 53, 13);

  ProgressBar1 = new RunProgressBar(pnlAguarde);
  ProgressBar1->setGeometry(8, 48, 537, 25);
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);
  ProgressBar1->setTextVisible(false);

  BTodas = FlatButton(this, QStringLiteral("Gravar Todas"), QRect(138, 362, 150, 28));
  BSelecionadas = FlatButton(this, QStringLiteral("Gravar Selecionadas"), QRect(296, 362, 150, 28));
  BFechar = FlatButton(this, QStringLiteral("&Fechar"), QRect(454, 362, 150, 28));

  setTabOrder(MEBuscarMusicas, DBMusicas);
  MEBuscarMusicas->setFocus();
}

void TFrmPrincipal::ConnectEvents() {
  connect(MEBuscarMusicas, &QLineEdit::textChanged, this,
          [this] { Guarded([this] { MEBuscarMusicasChange(); }); });
  connect(DBMusicas->horizontalHeader(), &QHeaderView::sectionClicked, this,
          [this](int column) { Guarded([this, column] { DBMusicasTitleClick(column); }); });
  connect(DBMusicas, &TDBGridStudio::MouseUp, this,
          [this](Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y) {
            Guarded([&] { DBMusicasMouseUp(button, shift, x, y); });
          });
  connect(DBMusicas, &TDBGridStudio::CurrentRowChanged, this, [this](int row) {
    if (gridFollowsQuery_) Guarded([this, row] { Q_Musicas.MoveTo(row); });
  });
  connect(loader_.get(), &SongListLoader::BatchesReady, this, [this] {
    for (SongListLoader::Batch& batch : loader_->Take()) incoming_.push_back(std::move(batch));
    TakeListBatches();
  });
  connect(model_.get(), &SongListModel::FetchFailed, this,
          [this](const QString& text) { boxes_.ShowError(text); }, Qt::QueuedConnection);
  connect(BTodas, &QToolButton::clicked, this, [this] { Guarded([this] { BTodasClick(); }); });
  connect(BSelecionadas, &QToolButton::clicked, this,
          [this] { Guarded([this] { BSelecionadasClick(); }); });
  connect(BFechar, &QToolButton::clicked, this, [this] { BFecharClick(); });
}

void TFrmPrincipal::Guarded(const std::function<void()>& handler) { RunGuarded(boxes_, handler); }

std::string TFrmPrincipal::ConfigPath() const { return configDirectory_ + kIniFileName; }

void TFrmPrincipal::FormCreate() {
  // What an interruption (a power failure) left of an earlier run's saves
  // is settled before anything else, and told when there was any.
  job::RunResults settled;
  settled.Settled = job::SettleInterruptedSaves();
  if (!settled.Settled.empty()) ReportRun(settled, kSavesSettled);
  const std::string iniPath = FindConfigFile(configDirectory_);
  if (iniPath.empty()) {
    boxes_.ShowInformation(windowTitle(), QStringLiteral("O arquivo ") + QFile::decodeName(ConfigPath().c_str()) +
                                              QStringLiteral(" não foi encontrado."));
    throw SilentAbort();
  }
  const CatalogueSettings settings = ReadCatalogueSettings(iniPath);
  folderMappings_ = settings.Folders;
  songsInFlight_ = settings.SongsInFlight;
  DB_Zelta.SetCredentials(settings.Credentials());
  DB_Zelta.SetDatabaseName(settings.DatabaseName);
  try {
    DB_Zelta.Connect();
    Transaction_Zelta.Start();
  } catch (...) {
    // Whatever the client says, the user gets the one message.
    boxes_.ShowInformation(windowTitle(),
                           QStringLiteral("Não foi possível conectar com a Base de Dados 2012."));
    throw SilentAbort();
  }
  MEBuscarMusicasChange();
}

void TFrmPrincipal::FormDestroy() {
  platform::WaitForCheckpoints();
  loader_.reset();
  Q_Musicas.Close();
  DB_Zelta.Disconnect();
}

std::string TFrmPrincipal::SqlStringLiteral(const std::string& text) {
  return job::SqlStringLiteral(text);
}

std::string TFrmPrincipal::SongListSql(const std::string& searchText, const std::string& sortField) {
  return job::SongListSql(searchText, sortField);
}

void TFrmPrincipal::MEBuscarMusicasChange() {
  const std::string searchText = platform::Utf8ToCp1252(MEBuscarMusicas->text().toStdString());
  if (sortFieldName_.empty()) sortFieldName_ = kDefaultSortField;
  ++listGeneration_;
  listComplete_ = false;
  // The selection belongs to the rows about to go.
  DBMusicas->clearSelection();
  DBMusicas->SetDimmed(true);
  DBMusicas->SetRowsComing(true);
  if (!DB_Zelta.Connected() || !Transaction_Zelta.Active()) {
    // Opening the list connects first; when that fails the list is closed.
    try {
      DB_Zelta.Connect();
      Transaction_Zelta.Start();
    } catch (...) {
      CloseList();
      throw;
    }
  }
  askedSql_ = SongListSql(searchText, sortFieldName_);
  if (!loader_) return;
  loader_->Ask({.Generation = listGeneration_,
                .DatabaseName = DB_Zelta.DatabaseName(),
                .Credentials = DB_Zelta.GivenCredentials(),
                .SearchText = searchText,
                .SortField = sortFieldName_});
}

void TFrmPrincipal::TakeListBatches() {
  QElapsedTimer clock;
  clock.start();
  while (!incoming_.empty()) {
    SongListLoader::Batch batch = std::move(incoming_.front());
    incoming_.pop_front();
    if (batch.Generation != listGeneration_) continue;
    Guarded([&] { ApplyListBatch(batch); });
    if (!incoming_.empty() && clock.elapsed() >= kListRowsMilliseconds) {
      QTimer::singleShot(0, this, [this] { TakeListBatches(); });
      return;
    }
  }
}

void TFrmPrincipal::ApplyListBatch(SongListLoader::Batch& batch) {
  if (batch.Failed) {
    CloseList();
    throw db::DatabaseError(batch.Error);
  }
  if (batch.First) {
    model_->Rebuild([&] {
      DropListRows();
      Q_Musicas.SetSQL(askedSql_);
      Q_Musicas.OpenHandedRows(std::move(batch.Columns), [this](int) { PullListRows(); });
      Q_Musicas.AddRows(std::move(batch.Rows));
      if (batch.Last) Q_Musicas.EndRows();
    });
    shownGeneration_ = batch.Generation;
    DBMusicas->SetDimmed(false);
    DBMusicas->SetCurrentRow(0);
  } else {
    Q_Musicas.AddRows(std::move(batch.Rows));
    if (batch.Last) Q_Musicas.EndRows();
    if (gridFollowsQuery_) model_->SyncRowCount();
  }
  if (batch.Last) {
    listComplete_ = true;
    DBMusicas->SetRowsComing(false);
    StartWaitingRun();
  }
}

void TFrmPrincipal::PullListRows() {
  if (Searching() || !loader_) throw db::DatabaseError("The song list is being read again");
  const int before = Q_Musicas.FetchedCount();
  while (Q_Musicas.IsOpen() && Q_Musicas.FetchedCount() == before && !Q_Musicas.AllFetched()) {
    if (incoming_.empty()) {
      loader_->WaitForBatch();
      for (SongListLoader::Batch& batch : loader_->Take()) incoming_.push_back(std::move(batch));
      if (incoming_.empty()) throw db::DatabaseError("The song list was not read to its end");
    }
    if (incoming_.front().First && incoming_.front().Generation == shownGeneration_) {
      // The catalogue's own rows replace the ones shown: not within a fetch
      // of these, but as soon as it is over.
      Q_Musicas.EndRows();
      QTimer::singleShot(0, this, [this] { TakeListBatches(); });
      return;
    }
    SongListLoader::Batch batch = std::move(incoming_.front());
    incoming_.pop_front();
    if (batch.Generation == shownGeneration_) ApplyListBatch(batch);
  }
}

void TFrmPrincipal::DropListRows() {
  db::RowStore rows;
  Q_Musicas.TakeRows(rows);
  if (loader_) loader_->Discard(std::move(rows));
  Q_Musicas.Close();
}

void TFrmPrincipal::CloseList() {
  model_->Rebuild([this] { DropListRows(); });
  shownGeneration_ = listGeneration_;
  listComplete_ = true;
  DBMusicas->SetDimmed(false);
  DBMusicas->SetRowsComing(false);
  StartWaitingRun();
}

void TFrmPrincipal::StartWaitingRun() {
  if (waitingRun_ == WaitingRun::None) return;
  const WaitingRun run = std::exchange(waitingRun_, WaitingRun::None);
  QTimer::singleShot(0, this, [this, run] {
    Guarded([this, run] { run == WaitingRun::All ? BTodasClick() : BSelecionadasClick(); });
  });
}

void TFrmPrincipal::DBMusicasTitleClick(int column) {
  const auto& columns = model_->Columns();
  const std::string field =
      column >= 0 && column < static_cast<int>(columns.size()) ? columns[column].FieldName : "";
  sortFieldName_ = field.empty() ? kDefaultSortField : field;
  MEBuscarMusicasChange();
}

void TFrmPrincipal::DBMusicasMouseUp(Qt::MouseButton, Qt::KeyboardModifiers, int x, int y) {
  // The corner cell above the indicator column returns to the song-code order.
  if (x < 10 && y < 15) {
    sortFieldName_ = kDefaultSortField;
    MEBuscarMusicasChange();
  }
}

void TFrmPrincipal::BFecharClick() { close(); }

void TFrmPrincipal::EndOnSignal(int signal) {
  if (endingSignal_ != 0) return;
  endingSignal_ = signal;
  runStop_ = true;
  if (!runGoing_) EndForSignal();
}

void TFrmPrincipal::EndForSignal() {
  waitingRun_ = WaitingRun::None;
  // Boxes open wait in message loops of their own: closed as their OK
  // would close them.
  for (QWidget* widget : QApplication::topLevelWidgets())
    if (auto* dialog = qobject_cast<QDialog*>(widget); dialog && dialog->isVisible()) dialog->reject();
  close();
}

void TFrmPrincipal::BTodasClick() {
  if (!ListSettled()) {
    waitingRun_ = WaitingRun::All;
    return;
  }
  // Every row first, so that the count is complete; the grid hears nothing
  // of it and the current row stays until First moves it.
  Q_Musicas.FetchAll();
  Q_Musicas.First();
  const int count = Q_Musicas.FetchedCount();
  RunOverSongs(count, [&](job::TagRun& run) {
    run.RunToEnd(count, [this](int number, int songs) { SongOfRunStarting(number, songs); });
  });
}

void TFrmPrincipal::BSelecionadasClick() {
  if (!ListSettled()) {
    waitingRun_ = WaitingRun::Selected;
    return;
  }
  if (Q_Musicas.IsEmpty()) return;
  // Bookmarks come in row order, however the rows were selected; the grid
  // is disabled during the run, so the selection cannot change under it.
  const std::vector<db::Query::Bookmark> bookmarks = SelectedBookmarks();
  RunOverSongs(static_cast<int>(bookmarks.size()), [&](job::TagRun& run) {
    run.RunBookmarks(bookmarks, [this](int number, int songs) { SongOfRunStarting(number, songs); });
  });
}

job::SongResult TFrmPrincipal::WriteTagForCurrentSong() noexcept {
  return job::TagRun(DB_Zelta, Q_Musicas, genreOf_, folderMappings_).WriteCurrentSong();
}

std::string TFrmPrincipal::FirstGenreName(int songCode) { return genreOf_(songCode); }

void TFrmPrincipal::RunOverSongs(int count, const std::function<void(job::TagRun&)>& walk) {
  ProgressBar1->setValue(0);
  ProgressBar1->setMaximum(count);
  SetBusy(true);
  SetGridFollowsQuery(false);
  frameClock_.invalidate();
  shownNumber_ = runNumber_ = 0;
  job::TagRun run(DB_Zelta, Transaction_Zelta, Q_Musicas, folderMappings_);
  if (songsInFlight_ > 0) run.SetSongsInFlight(songsInFlight_);
  run.SetStopFlag(&runStop_);
  runGoing_ = true;
  // The last rewritten songs are put in place on the group's thread while
  // the window keeps painting.
  run.SetWhileCommitting([] { QCoreApplication::processEvents(); });
  // Heads written in place reach the disk by a checkpoint on a thread of
  // its own, which the window does not wait for; closing it does.
  run.SetHeadsAtEnd(platform::ReplaceGroup::HeadsAtEnd::Background);
  try {
    walk(run);
  } catch (...) {
    // The error goes on to the default report, after the window is usable
    // again; the run is not reported as finished.
    ShowLastSongOfRun();
    LeaveRun();
    if (endingSignal_ == 0) throw;
    EndForSignal();
    return;
  }
  ShowLastSongOfRun();
  LeaveRun();
  ReportRun(run.Report());
  if (endingSignal_ != 0) EndForSignal();
}

void TFrmPrincipal::LeaveRun() {
  runGoing_ = false;
  SetGridFollowsQuery(true);
  SetBusy(false);
}

void TFrmPrincipal::SongOfRunStarting(int number, int count) {
  runNumber_ = number;
  runCount_ = count;
  runName_ = Q_Musicas.FieldAsText("MUS_NOMECOMPLETO");
  // Setting the counter's text alone costs about as much as writing a short
  // song's tag, and the bar repaints at once; so both are set, painted and
  // the user answered once a frame, and for the last song always.
  if (frameClock_.isValid() && frameClock_.elapsed() < kFrameMilliseconds) return;
  ShowSongOfRun(number, count, runName_);
}

void TFrmPrincipal::ShowSongOfRun(int number, int count, const std::string& name) {
  SetCounterText(QStringLiteral("Gravando aquivo ") + QString::number(number) + QStringLiteral(" de ") +
                 QString::number(count) + QStringLiteral(" (") +
                 QString::fromUtf8(platform::Cp1252ToUtf8(name)) + QStringLiteral(")"));
  ProgressBar1->setValue(number);
  shownNumber_ = number;
  QCoreApplication::processEvents();
  frameClock_.start();
}

void TFrmPrincipal::ShowLastSongOfRun() {
  if (runNumber_ > 0 && shownNumber_ != runNumber_) ShowSongOfRun(runNumber_, runCount_, runName_);
}

void TFrmPrincipal::ReportRun(const job::RunResults& report, const char* message) {
  job::ReportFile file;
  const bool saved = file.OpenNew(std::time(nullptr)) && file.Write(report);
  lastReportPath_ = saved ? file.Path() : std::string();
  // Nobody is there to close a box once a stop signal came.
  if (endingSignal_ != 0) return;
  const QString title = QString::fromUtf8(kCaption);
  const QString text = QString::fromUtf8(message ? message : kRunFinished);
  // Songs settled are named, even when all went well.
  if (report.AllFine() && !message) {
    boxes_.ShowPlain(title, text);
  } else {
    boxes_.ShowPlainWithDetails(title, text, DetailsOf(report, lastReportPath_, file.Error()));
  }
}

void TFrmPrincipal::SetBusy(bool busy) {
  lblContador->clear();
  pnlAguarde->setVisible(busy);
  GBLocalizarMusicas->setEnabled(!busy);
  for (QWidget* control : std::initializer_list<QWidget*>{GBRelacaoMusicas, BTodas, BSelecionadas, BFechar})
    control->setEnabled(GBLocalizarMusicas->isEnabled());
  QCoreApplication::processEvents();
}

void TFrmPrincipal::SetCounterText(const QString& text) {
  lblContador->setText(text);
  lblContador->adjustSize();
}

void TFrmPrincipal::SetGridFollowsQuery(bool follow) {
  gridFollowsQuery_ = follow;
  if (!follow) return;
  model_->SyncRowCount();
  const int rows = model_->rowCount();
  if (rows > 0 && Q_Musicas.IsOpen()) {
    // The grid takes the query's row; the query is not moved back (it may
    // stand past its last row).
    const QSignalBlocker quiet(DBMusicas);
    DBMusicas->SetCurrentRow(std::clamp(Q_Musicas.CurrentRow(), 0, rows - 1));
  }
}

std::vector<db::Query::Bookmark> TFrmPrincipal::SelectedBookmarks() const {
  const std::vector<int> rows = DBMusicas->SelectedRows();
  return {rows.begin(), rows.end()};
}
