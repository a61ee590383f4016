#pragma once
// Shared pieces of the window tests: one QApplication for the program, a
// message-box recorder, and a window started on a catalogue in a temporary
// folder.

#include <QApplication>
#include <QString>
#include <QTest>
#include <QToolButton>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "CatalogueDb.h"
#include "MessageBoxes.h"
#include "SongListModel.h"
#include "TDBGridStudio.h"
#include "TestSupport.h"
#include "UPrincipal.h"

namespace app_testing {

inline QApplication& Application() {
  static int argc = 1;
  static char name[] = "app_tests";
  static char* argv[] = {name, nullptr};
  static QApplication* application = [] {
    // A copy of BaseZelta.ini in the user's own folder must not stand in
    // for the one a test leaves out.
    ::setenv("XDG_CONFIG_HOME", "/nonexistent/quillmar-tests", 1);
    // Run reports go to a folder of the tests, not the user's own.
    static testing_support::TempDir state;
    setenv("XDG_STATE_HOME", state.Path().c_str(), 1);
    auto* created = new QApplication(argc, argv);  // lives until the process ends
    QApplication::setApplicationDisplayName(QStringLiteral("Quillmar 2012"));
    return created;
  }();
  return *application;
}

// What the window would have shown, in order.
struct ShownBox {
  std::string kind;  // "information", "plain" or "error"
  QString title;
  QString text;
  QString details{};  // the details area, when the box has one
};

class RecordingMessageBoxes final : public MessageBoxes {
 public:
  void ShowInformation(const QString& title, const QString& text) override {
    shown.push_back({"information", title, text});
  }
  void ShowPlain(const QString& title, const QString& text) override {
    shown.push_back({"plain", title, text});
  }
  void ShowPlainWithDetails(const QString& title, const QString& text, const QString& details) override {
    shown.push_back({"plain", title, text, details});
  }
  void ShowError(const QString& text) override { shown.push_back({"error", {}, text}); }
  std::vector<ShownBox> shown;
};

inline void WriteIni(const testing_support::TempDir& dir, const std::string& contents) {
  testing_support::WriteFileBytes(dir.File("BaseZelta.ini"), contents);
}

// Types text into widget one key at a time, accented letters included
// (QTest::keyClicks knows only ASCII keys).
inline void TypeText(QWidget* widget, const QString& text) {
  for (QChar c : text)
    QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, QString(c), Qt::NoModifier);
}

// Clicks the middle of a grid row, with the modifier keys given.
inline void ClickRow(TDBGridStudio* grid, int row, Qt::KeyboardModifiers modifiers = {}) {
  QCoreApplication::processEvents();
  QTest::mouseClick(grid->viewport(), Qt::LeftButton, modifiers,
                    grid->visualRect(grid->model()->index(row, 0)).center());
}

// Lets the window take in the list of its last rebuild, to the last row.
inline void WaitForList(TFrmPrincipal& window) {
  if (!QTest::qWaitFor([&] { return window.ListSettled(); }, 60000)) throw std::runtime_error("the list never came");
  QCoreApplication::processEvents();
}

// The full names the grid lists, top to bottom (the whole list).
inline std::vector<std::string> ListedNames(TFrmPrincipal& window) {
  WaitForList(window);
  QAbstractItemModel* model = window.DBMusicas->model();
  while (model->canFetchMore({})) model->fetchMore({});
  std::vector<std::string> names;
  for (int row = 0; row < model->rowCount(); ++row)
    names.push_back(model->data(model->index(row, 0), Qt::DisplayRole).toString().toStdString());
  return names;
}

// Makes the catalogue database at the path it is given.
using CatalogueMaker = std::function<void(const std::string& fdbPath)>;

// A catalogue of songCount generated songs whose files lie in folderPath.
inline CatalogueMaker GeneratedSongs(int songCount, const std::string& folderPath = "/music/") {
  return [=](const std::string& fdbPath) {
    testing_support::CreateCatalogue(fdbPath);
    testing_support::FillGeneratedCatalogue(fdbPath, songCount, folderPath);
  };
}

// A window started on a catalogue made from builder's rows, or by a maker.
// The INI lines of a run that saves one song after the other.
inline const std::string kOneSongAtATime = "[OPCOES]\nmusicas_simultaneas=1\n";

class WindowOnCatalogue {
 public:
  // moreIni: further INI lines after the [BANCO] section.
  explicit WindowOnCatalogue(const testing_support::CatalogueBuilder& builder, const std::string& moreIni = "")
      : WindowOnCatalogue(
            [&](const std::string& fdbPath) { testing_support::CreateCatalogue(fdbPath, builder.Sql()); },
            moreIni) {}
  explicit WindowOnCatalogue(const CatalogueMaker& make, const std::string& moreIni = "") {
    Application();
    make(Database());
    WriteIni(dir_, "[BANCO]\ncaminho=" + Database() + "\n" + moreIni);
    window_ = std::make_unique<TFrmPrincipal>(boxes_, dir_.Path());
    window_->show();
    (void)QTest::qWaitForWindowExposed(window_.get());
    WaitForList(*window_);
  }
  std::string Database() const { return dir_.File("catalogue.fdb"); }
  TFrmPrincipal& Window() { return *window_; }
  RecordingMessageBoxes& Boxes() { return boxes_; }

 private:
  testing_support::TempDir dir_;
  RecordingMessageBoxes boxes_;
  std::unique_ptr<TFrmPrincipal> window_;
};

}  // namespace app_testing
