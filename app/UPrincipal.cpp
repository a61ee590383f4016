#include "UPrincipal.h"

#include <QApplication>
#include <QFile>
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
#include <algorithm>
#include <array>
#include <numeric>

#include "CatalogueSettings.h"
#include "CodePage.h"
#include "EventGuard.h"
#include "FileServices.h"
#include "ReplaceGroup.h"
#include "SongListModel.h"
#include "TDBGridStudio.h"
#include "UpperCaseValidator.h"

namespace {

const char* const kCaption = "Quillmar 2012";
const char* const kDefaultSortField = "Mus_Codigo";
const char* const kRunFinished = "Gravação do TAG finalizada!";
const QColor kButtonFace(240, 240, 240);

// The fixed lines of the catalogue query, up to its WHERE clause.
constexpr std::array<const char*, 9> kSongListSelect = {
    "SELECT DISTINCT Mus.*, Pas.Pas_Path, Sub.Sub_Nome, Rit.Rit_Nome, Idi.Idi_Nome, "
    "Gra.Gra_Nome, Voc.Voc_Nome",
    "FROM Tb_Musicas Mus",
    "LEFT JOIN Tb_Pastas Pas ON Mus.Pas_Codigo = Pas.Pas_Codigo",
    "LEFT JOIN Tb_MusicaGeneros Mge ON Mge.Mus_Codigo = Mus.Mus_Codigo",
    "LEFT JOIN Tb_SubGenero Sub ON Sub.Sub_Codigo = Mus.Sub_Codigo",
    "LEFT JOIN Tb_Ritmo Rit ON Rit.Rit_Codigo = Mus.Rit_Codigo",
    "LEFT JOIN Tb_Idioma Idi ON Idi.Idi_Codigo = Mus.Idi_Codigo",
    "LEFT JOIN Tb_Gravadora Gra ON Gra.Gra_Codigo = Mus.Gra_Codigo",
    "LEFT JOIN Tb_Vocal Voc ON Voc.Voc_Codigo = Mus.Voc_Codigo",
};

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

}  // namespace

TFrmPrincipal::TFrmPrincipal(MessageBoxes& boxes, std::string configDirectory, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      boxes_(boxes),
      configDirectory_(configDirectory.empty() ? platform::ExecutableDirectory()
                                               : std::move(configDirectory)) {
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

  ProgressBar1 = new QProgressBar(pnlAguarde);
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
  const std::string iniPath = FindConfigFile(configDirectory_);
  if (iniPath.empty()) {
    boxes_.ShowInformation(windowTitle(), QStringLiteral("O arquivo ") + QFile::decodeName(ConfigPath().c_str()) +
                                              QStringLiteral(" não foi encontrado."));
    throw SilentAbort();
  }
  const CatalogueSettings settings = ReadCatalogueSettings(iniPath);
  folderMappings_ = settings.Folders;
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
  Q_Musicas.Close();
  DB_Zelta.Disconnect();
}

std::string TFrmPrincipal::SqlStringLiteral(const std::string& text) {
  std::string literal = "'";
  for (char c : text) {
    literal += c;
    if (c == '\'') literal += '\'';
  }
  return literal + "'";
}

std::string TFrmPrincipal::SongListSql(const std::string& searchText, const std::string& sortField) {
  std::string sql;
  for (const char* line : kSongListSelect) sql.append(line).append("\n");
  sql += "WHERE UPPER(Mus.Mus_NomeCompleto) LIKE " + SqlStringLiteral("%" + searchText + "%") + "\n";
  sql += "ORDER BY " + sortField;
  return sql;
}

void TFrmPrincipal::MEBuscarMusicasChange() {
  const std::string searchText = platform::Utf8ToCp1252(MEBuscarMusicas->text().toStdString());
  model_->Rebuild([&] {
    Q_Musicas.Close();
    if (sortFieldName_.empty()) sortFieldName_ = kDefaultSortField;
    Q_Musicas.SetSQL(SongListSql(searchText, sortFieldName_));
    Q_Musicas.Open();
  });
  DBMusicas->SetCurrentRow(0);
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

void TFrmPrincipal::BTodasClick() {
  // Every row first, so that the count is complete; the grid hears nothing
  // of it and the current row stays until First moves it.
  Q_Musicas.FetchAll();
  Q_Musicas.First();
  const int count = Q_Musicas.FetchedCount();
  std::vector<int> rows(static_cast<std::size_t>(count));
  std::iota(rows.begin(), rows.end(), 0);
  LookUpGenresOfRun(rows);
  RunOverSongs(count, [&] {
    for (int number = 1; !Q_Musicas.Eof(); ++number) {
      WriteSongOfRun(number, count);
      Q_Musicas.Next();
    }
  });
}

void TFrmPrincipal::BSelecionadasClick() {
  if (Q_Musicas.IsEmpty()) return;
  // Bookmarks come in row order, however the rows were selected; the grid
  // is disabled during the run, so the selection cannot change under it.
  const std::vector<db::Query::Bookmark> bookmarks = SelectedBookmarks();
  const int count = static_cast<int>(bookmarks.size());
  LookUpGenresOfRun(bookmarks);
  RunOverSongs(count, [&] {
    for (int index = 0; index < count; ++index) {
      Q_Musicas.GotoBookmark(bookmarks[static_cast<std::size_t>(index)]);
      WriteSongOfRun(index + 1, count);
    }
  });
}

void TFrmPrincipal::RunOverSongs(int count, const std::function<void()>& walk) {
  ProgressBar1->setValue(0);
  ProgressBar1->setMaximum(count);
  SetBusy(true);
  SetGridFollowsQuery(false);
  songPaths_.emplace(folderMappings_);
  try {
    // Songs rewritten through a copy wait for the disk in groups rather than
    // one by one; the last of them take their names as the run ends, on
    // every path, before the window is usable again.
    platform::ReplaceGroupScope rewrites;
    walk();
    rewrites.Group().Commit([] { QCoreApplication::processEvents(); });
    // The rows and genres came from memory: a connection lost since the
    // last fetch still ends the run with the client's error.
    if (runGenres_) runGenres_->ConfirmConnection();
  } catch (...) {
    // The error goes on to the default report, after the window is usable
    // again; the run is not reported as finished.
    LeaveRun();
    throw;
  }
  LeaveRun();
  boxes_.ShowPlain(QString::fromUtf8(kCaption), QString::fromUtf8(kRunFinished));
}

void TFrmPrincipal::LookUpGenresOfRun(const std::vector<int>& rows) {
  std::vector<int> songCodes;
  songCodes.reserve(rows.size());
  for (const int row : rows) {
    const std::string code = Q_Musicas.ValueAt(row, "MUS_CODIGO");
    songCodes.push_back(code.empty() ? 0 : std::stoi(code));
  }
  runGenres_ = std::make_unique<RunGenres>(DB_Zelta, Transaction_Zelta, std::move(songCodes));
}

void TFrmPrincipal::LeaveRun() {
  songPaths_.reset();
  runGenres_.reset();
  SetGridFollowsQuery(true);
  SetBusy(false);
}

void TFrmPrincipal::WriteSongOfRun(int number, int count) {
  const std::string name = Q_Musicas.FieldAsText("MUS_NOMECOMPLETO");
  SetCounterText(QStringLiteral("Gravando aquivo ") + QString::number(number) + QStringLiteral(" de ") +
                 QString::number(count) + QStringLiteral(" (") +
                 QString::fromUtf8(platform::Cp1252ToUtf8(name)) + QStringLiteral(")"));
  ProgressBar1->setValue(number);
  QCoreApplication::processEvents();
  WriteTagForCurrentSong();
  // The job swallows its own errors, the catalogue's too. When the
  // connection was lost on the way (a server gone), the rows ahead still
  // come from the query's buffer and nothing else would notice: every later
  // song would fail silently and the run would still report success.
  // Connecting again here, outside the job, either finds the catalogue back
  // or ends the run with the client's error.
  if (!DB_Zelta.Connected()) DB_Zelta.Connect();
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
