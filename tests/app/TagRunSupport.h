#pragma once
// Pieces of the tag-run tests: song files copied from one lame-made MP3, a
// watcher of what the window shows while a run processes its messages, and
// a write-fault hook that is removed again at the end of a test.

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QTimer>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "../pipeline/PipelineTestTools.h"
#include "AppTestSupport.h"
#include "FaultSupport.h"
#include "FileServices.h"

// Readable QStrings in test failures.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace app_testing {

// One short lame-made MP3 (no tag of its own), made once per program.
inline const std::string& SongBytes() {
  static const std::string bytes = [] {
    testing_support::TempDir dir;
    testing_support::MakeMp3(dir.File("master.mp3"), "-b 128", {.seconds = 1.0});
    return testing_support::ReadFileBytes(dir.File("master.mp3"));
  }();
  return bytes;
}

// Writes the MP3, with a tag before it when one is given; returns the path.
inline std::string PutSong(const testing_support::TempDir& dir, const std::string& name,
                           const std::string& tag = "") {
  const std::string path = dir.File(name);
  testing_support::WriteFileBytes(path, tag + SongBytes());
  return path;
}

// What the window showed each time a run let it process its messages: one
// entry per new counter text, with the bar as it stood then.
struct SeenSong {
  QString counter;
  int barValue;
  int barMaximum;
  int gridRow;  // the grid's current row
};

class RunWatcher final : public QObject {
 public:
  explicit RunWatcher(TFrmPrincipal& window) : window_(window) {
    // A zero timer fires whenever the run processes pending messages.
    timer_.setInterval(0);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Look(); });
    timer_.start();
    window_.pnlAguarde->installEventFilter(this);
    window_.DBMusicas->viewport()->installEventFilter(this);
  }
  ~RunWatcher() override {
    window_.pnlAguarde->removeEventFilter(this);
    window_.DBMusicas->viewport()->removeEventFilter(this);
  }
  const std::vector<SeenSong>& Songs() const { return songs_; }
  std::vector<QString> Counters() const {
    std::vector<QString> texts;
    for (const SeenSong& song : songs_) texts.push_back(song.counter);
    return texts;
  }
  // The wait panel was shown at least once.
  bool SawBusyState() const { return panelShown_ > 0; }
  int GridPaints() const { return gridPaints_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == window_.pnlAguarde && event->type() == QEvent::Show) ++panelShown_;
    if (watched == window_.DBMusicas->viewport() && event->type() == QEvent::Paint) ++gridPaints_;
    return false;
  }

 private:
  void Look() {
    const QString text = window_.lblContador->text();
    if (text.isEmpty() || (!songs_.empty() && songs_.back().counter == text)) return;
    songs_.push_back({text, window_.ProgressBar1->value(), window_.ProgressBar1->maximum(),
                      window_.DBMusicas->currentIndex().row()});
  }

  TFrmPrincipal& window_;
  QTimer timer_;
  std::vector<SeenSong> songs_;
  int panelShown_ = 0;
  int gridPaints_ = 0;
};

// The counters a run showed: at most one a frame, so not every song's, but
// in order, each with its own bar position and the run's maximum, the first
// song's and the last song's always among them.
inline void ExpectCountersShown(const RunWatcher& watcher, const std::vector<QString>& expected) {
  ASSERT_FALSE(watcher.Songs().empty());
  EXPECT_EQ(watcher.Songs().front().counter, expected.front());
  EXPECT_EQ(watcher.Songs().back().counter, expected.back());
  std::size_t next = 0;
  for (const SeenSong& seen : watcher.Songs()) {
    while (next < expected.size() && expected[next] != seen.counter) ++next;
    ASSERT_LT(next, expected.size()) << seen.counter.toStdString() << " out of order";
    EXPECT_EQ(seen.barValue, int(next) + 1);
    EXPECT_EQ(seen.barMaximum, int(expected.size()));
    ++next;
  }
}

using testing_support::ScopedWriteHook;

inline bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

inline void Click(QToolButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

inline QString Counter(int number, int count, const QString& name) {
  return QStringLiteral("Gravando aquivo %1 de %2 (").arg(number).arg(count) + name + QStringLiteral(")");
}

// The run's controls are usable again and the wait panel is gone.
inline void ExpectIdle(TFrmPrincipal& window) {
  EXPECT_FALSE(window.pnlAguarde->isVisible());
  EXPECT_TRUE(window.GridFollowsQuery());
  for (QWidget* control : std::initializer_list<QWidget*>{
           window.GBLocalizarMusicas, window.GBRelacaoMusicas, window.BTodas, window.BSelecionadas,
           window.BFechar, window.MEBuscarMusicas, window.DBMusicas})
    EXPECT_TRUE(control->isEnabled()) << control->objectName().toStdString();
}

inline const char* const kFinished = "Gravação do TAG finalizada!";

// The one box a run that ended normally shows.
inline void ExpectOnlyFinalMessage(const RecordingMessageBoxes& boxes) {
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].kind, "plain");
  EXPECT_EQ(boxes.shown[0].title, QStringLiteral("Quillmar 2012"));
  EXPECT_EQ(boxes.shown[0].text, QString::fromUtf8(kFinished));
}

}  // namespace app_testing
