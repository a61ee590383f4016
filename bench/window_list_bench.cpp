// The real window over a station's catalogue of 200,000 songs (realistic
// names, 1 to 3 genres a song, the lookup tables filled): start-up to the
// first screen (with Ctrl+End pressed there, before the rest of the list
// is in), "ROCK" typed at 8 keys a second, a click on the column title and
// on the corner, and End to the last row, each with the longest
// time the window's thread went without processing its messages; a text
// that no song holds ("ZZQX") and the rarest name (its last two keys)
// typed the same way; then the
// peak memory. Beside each, the floor: the list reader alone on the same
// catalogue, without a window. The catalogue is made on the first run and
// kept in the build tree (about a minute).
//
//   QT_QPA_PLATFORM=offscreen build/bench/window_list_bench [songs]

#include <sys/resource.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "CatalogueDb.h"
#include "FirebirdDb.h"
#include "SongListReader.h"
#include "TDBGridStudio.h"
#include "TestSupport.h"
#include "UPrincipal.h"
#include "WindowBenchSupport.h"

namespace {

// Start-up messages of a window without a catalogue, ignored.
class QuietBoxes final : public MessageBoxes {
 public:
  void ShowInformation(const QString&, const QString&) override {}
  void ShowPlain(const QString&, const QString&) override {}
  void ShowError(const QString&) override {}
};

// The longest time between two rounds of the window's messages: a timer
// due every millisecond notes when it gets its turn. Beside it, how much of
// that time the window's thread itself worked (its processor time): the
// rest it waited for a processor the machine gave to others.
struct Stop {
  qint64 Ms = 0;
  qint64 BusyMs = 0;
};

class Gaps {
 public:
  Gaps() {
    clock_.start();
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(1);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Tick(); });
    timer_.start();
  }
  void Restart() {
    last_ = clock_.elapsed();
    lastBusy_ = ThreadMs();
    worst_ = {};
  }
  Stop Worst() {
    Tick();
    return worst_;
  }

 private:
  static qint64 ThreadMs() {
    timespec used{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
    return static_cast<qint64>(used.tv_sec) * 1000 + used.tv_nsec / 1000000;
  }
  void Tick() {
    const qint64 now = clock_.elapsed();
    const qint64 busy = ThreadMs();
    if (now - last_ > worst_.Ms) worst_ = {now - last_, busy - lastBusy_};
    last_ = now;
    lastBusy_ = busy;
  }
  QElapsedTimer clock_;
  QTimer timer_;
  qint64 last_ = 0;
  qint64 lastBusy_ = 0;
  Stop worst_;
};

double Ms(const QElapsedTimer& clock) { return static_cast<double>(clock.nsecsElapsed()) / 1e6; }

// Lets the window work until done says so.
void Until(const std::function<bool()>& done) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    if (clock.elapsed() > 120000) throw std::runtime_error("the window did not get there in two minutes");
  }
}

void SendKey(QWidget* widget, int key, const QString& text, Qt::KeyboardModifiers modifiers = {}) {
  QKeyEvent press(QEvent::KeyPress, key, modifiers, text);
  QKeyEvent release(QEvent::KeyRelease, key, modifiers, text);
  QCoreApplication::sendEvent(widget, &press);
  QCoreApplication::sendEvent(widget, &release);
}

void Click(QWidget* widget, const QPoint& at) {
  const QPointF local(at);
  const QPointF global(widget->mapToGlobal(at));
  QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton, {});
  QMouseEvent release(QEvent::MouseButtonRelease, local, global, Qt::LeftButton, {}, {});
  QCoreApplication::sendEvent(widget, &press);
  QCoreApplication::sendEvent(widget, &release);
}

void Row(const char* what, double ms, Stop gap, double floor, const char* floorWhat) {
  std::printf("| %-46s | %9.0f | %8lld | %7lld | %9.0f | %-22s |\n", what, ms, static_cast<long long>(gap.Ms),
              static_cast<long long>(gap.BusyMs), floor, floorWhat);
}

// The reader alone: its first screen and its whole list.
std::pair<double, double> ReaderAlone(const std::string& fdb, const std::string& search, const std::string& order) {
  db::Connection connection;
  connection.SetDatabaseName(fdb);
  connection.Connect();
  db::Transaction transaction(connection);
  job::SongListReader reader(connection, transaction);
  QElapsedTimer clock;
  clock.start();
  reader.Open(search, order);
  db::RowStore rows;
  reader.Next(SongListLoader::kFirstScreenRows, rows);
  const double first = Ms(clock);
  while (reader.Next(SongListLoader::kLargestBatch, rows)) {
  }
  return {first, Ms(clock)};
}

// The rarest full name in ASCII (typed as it is) that no other name holds,
// and how many songs it lists: the station's names are each shared by a
// few songs.
std::pair<std::string, int> RareText(const std::string& fdb) {
  db::Connection connection;
  connection.SetDatabaseName(fdb);
  connection.Connect();
  db::Transaction transaction(connection);
  db::Query names(connection, transaction);
  names.SetSQL("SELECT FIRST 50 N, COUNT(*) AS C FROM (SELECT UPPER(Mus_NomeCompleto) AS N FROM Tb_Musicas\n"
               "WHERE Mus_NomeCompleto IS NOT NULL) GROUP BY N ORDER BY 2, 1");
  names.Open();
  job::SongListReader reader(connection, transaction);
  for (; !names.Eof(); names.Next()) {
    const std::string name = names.FieldAsText("N");
    if (std::any_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) continue;
    reader.Open(name, "Mus_Codigo");
    db::RowStore rows;
    reader.Next(1000, rows);
    if (rows.Rows() == names.FieldAsInteger("C")) return {name, rows.Rows()};
  }
  throw std::runtime_error("no name is held by its own songs alone");
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  const int songs = argc > 1 ? std::stoi(argv[1]) : 200000;
  const std::string fdb = testing_support::StationCatalogue(songs);
  testing_support::TempDir dir;
  testing_support::WriteFileBytes(dir.File("BaseZelta.ini"), "[BANCO]\ncaminho=" + fdb + "\n");
  // Warm the engine's page cache, as a second start of the program would find it.
  ReaderAlone(fdb, "", "Mus_Codigo");

  std::printf("%d songs\n", songs);
  std::printf("| %-46s | %9s | %8s | %7s | %9s | %-22s |\n", "step", "ms", "stop ms", "busy ms", "floor ms", "floor");
  std::printf("|%s|%s|%s|%s|%s|%s|\n", std::string(48, '-').c_str(), std::string(11, '-').c_str(),
              std::string(10, '-').c_str(), std::string(9, '-').c_str(), std::string(11, '-').c_str(),
              std::string(24, '-').c_str());
  {
    // The program's first window loads its fonts and styles; that is paid
    // once, before any list, and is timed apart.
    QuietBoxes quiet;
    testing_support::TempDir empty;
    QElapsedTimer first;
    first.start();
    TFrmPrincipal blank(quiet, empty.Path());
    blank.show();
    (void)blank.grab();
    std::printf("first window of the program shown and painted (fonts, styles): %.0f ms\n\n", Ms(first));
  }
  bench_support::FailingBoxes boxes;
  Gaps gaps;
  QElapsedTimer clock;
  clock.start();
  auto window = std::make_unique<TFrmPrincipal>(boxes, dir.Path());
  window->show();
  const double built = Ms(clock);
  QElapsedTimer afterConnect;
  afterConnect.start();
  gaps.Restart();
  Until([&] { return !window->Searching(); });
  const double startFirst = Ms(afterConnect);
  const Stop startFirstGap = gaps.Worst();
  // Ctrl+End at once, while the rest of the list still comes: the grid
  // lands on the real last row once it is there.
  QElapsedTimer end;
  end.start();
  window->DBMusicas->setFocus();
  SendKey(window->DBMusicas, Qt::Key_End, QString(), Qt::ControlModifier);
  Until([&] { return window->ListSettled(); });
  const double startAll = Ms(afterConnect);
  const Stop startAllGap = gaps.Worst();
  Until([&] { return window->DBMusicas->currentIndex().row() == window->DBMusicas->model()->rowCount() - 1; });
  const double endShown = Ms(end);
  // The floors are measured on this thread, after the window's figures.
  const auto [codeFirst, codeAll] = ReaderAlone(fdb, "", "Mus_Codigo");
  Row("window made, connected (no messages meanwhile)", built, {static_cast<qint64>(built), static_cast<qint64>(built)}, 0, "");
  Row("start-up: first screen after connecting", startFirst, startFirstGap, codeFirst, "reader: first 64 rows");
  Row("start-up: every row", startAll, startAllGap, codeAll, "reader: every row");
  Row("  Ctrl+End at the first screen: last row shown", endShown, startAllGap, codeAll, "reader: every row");

  // Words typed at 8 keys a second after the text already in the box:
  // each key's first screen, when it came before the next key; then the
  // catalogue's list of the last text whole (the engine's answer, which
  // the runs wait for).
  const auto typeWord = [&](const QString& word) {
    const QString before = window->MEBuscarMusicas->text();
    std::vector<QElapsedTimer> keys(static_cast<std::size_t>(word.size()));
    std::vector<double> shown(keys.size(), -1);
    int typed = 0;
    gaps.Restart();
    for (int i = 0; i < word.size(); ++i) {
      QTimer::singleShot(125 * i, window.get(), [&, i] {
        keys[static_cast<std::size_t>(i)].start();
        const QChar c = word[i];
        SendKey(window->MEBuscarMusicas, c.isLetter() ? Qt::Key_A + (c.unicode() - 'A') : Qt::Key_unknown, word.mid(i, 1));
        typed = i + 1;
      });
    }
    Until([&] {
      if (typed > 0 && !window->Searching() && shown[static_cast<std::size_t>(typed - 1)] < 0)
        shown[static_cast<std::size_t>(typed - 1)] = Ms(keys[static_cast<std::size_t>(typed - 1)]);
      return typed == word.size() && !window->Searching();
    });
    const Stop typingGap = gaps.Worst();
    Until([&] { return window->ListSettled(); });
    const double settled = Ms(keys.back());
    const Stop settledGap = gaps.Worst();
    double readerAll = 0;
    for (int i = 0; i < word.size(); ++i) {
      const QString text = before + word.left(i + 1);
      const std::string what =
          "key '" + (text.size() > 16 ? "..." + text.right(13) : text).toStdString() + "': first screen";
      const auto [first, all] = ReaderAlone(fdb, text.toStdString(), "Mus_Codigo");
      readerAll = all;
      if (shown[static_cast<std::size_t>(i)] < 0) {
        std::printf("| %-46s | %9s | %8lld | %7lld | %9.0f | %-22s |\n", what.c_str(), "next key",
                    static_cast<long long>(typingGap.Ms), static_cast<long long>(typingGap.BusyMs), first,
                    "reader: first 64 rows");
      } else {
        Row(what.c_str(), shown[static_cast<std::size_t>(i)], typingGap, first, "reader: first 64 rows");
      }
    }
    Row("  ... the catalogue's whole list of it", settled, settledGap, readerAll, "reader: every row");
  };
  typeWord(QStringLiteral("ROCK"));
  // A text no song holds, and one that only one song's name holds.
  window->MEBuscarMusicas->clear();
  Until([&] { return window->ListSettled(); });
  typeWord(QStringLiteral("ZZQX"));
  const auto [rare, rareSongs] = RareText(fdb);
  std::printf("the rarest name, typed last: '%s' (%d songs)\n", rare.c_str(), rareSongs);
  const QString oneMatch = QString::fromLatin1(rare);
  window->MEBuscarMusicas->setText(oneMatch.chopped(2));
  Until([&] { return window->ListSettled(); });
  typeWord(oneMatch.right(2));

  // The column title, then the corner, on the empty search.
  window->MEBuscarMusicas->clear();
  Until([&] { return window->ListSettled(); });
  QHeaderView* titles = window->DBMusicas->horizontalHeader();
  const std::vector<std::tuple<const char*, QWidget*, QPoint, const char*>> clicks = {
      {"title click (by name): first screen", titles->viewport(), QPoint(titles->sectionViewportPosition(0) + 40, titles->height() / 2), "MUS_NOMECOMPLETO"},
      {"corner click (by code): first screen", window->DBMusicas, QPoint(3, 4), "Mus_Codigo"}};
  for (const auto& [what, widget, at, order] : clicks) {
    gaps.Restart();
    clock.restart();
    Click(widget, at);
    Until([&] { return !window->Searching(); });
    const double first = Ms(clock);
    const Stop firstGap = gaps.Worst();
    Until([&] { return window->ListSettled(); });
    const double all = Ms(clock);
    const Stop allGap = gaps.Worst();
    const auto [readerFirst, readerAll] = ReaderAlone(fdb, "", order);
    Row(what, first, firstGap, readerFirst, "reader: first 64 rows");
    Row("  ... every row", all, allGap, readerAll, "reader: every row");
  }

  // End: the grid goes to the last row of the whole list.
  gaps.Restart();
  clock.restart();
  window->DBMusicas->setFocus();
  SendKey(window->DBMusicas, Qt::Key_End, QString(), Qt::ControlModifier);
  const int last = window->DBMusicas->model()->rowCount() - 1;
  Until([&] { return window->DBMusicas->currentIndex().row() == last; });
  QCoreApplication::processEvents();
  Row("End: last row shown", Ms(clock), gaps.Worst(), 0, "");

  window.reset();
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("\npeak memory: %.0f MiB\n", static_cast<double>(usage.ru_maxrss) / 1024.0);
  return 0;
}
