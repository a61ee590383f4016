// The window as the user sees it: size and flags, every control at its
// place with its caption and font, the upper-case search box, the flat
// buttons and the close button.

#include <gtest/gtest.h>

#include <QClipboard>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>

#include "AppTestSupport.h"
#include "UpperCaseValidator.h"

using namespace app_testing;

namespace {

class LayoutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Application();
    window = std::make_unique<TFrmPrincipal>(boxes, dir.Path());  // no ini: empty list
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
  }
  testing_support::TempDir dir;
  RecordingMessageBoxes boxes;
  std::unique_ptr<TFrmPrincipal> window;
};

TEST_F(LayoutTest, WindowControlsCaptionsAndFonts) {
  TFrmPrincipal& w = *window;
  EXPECT_EQ(w.windowTitle(), QStringLiteral("Quillmar 2012"));
  EXPECT_EQ(w.size(), QSize(740, 400));
  EXPECT_EQ(w.minimumSize(), w.maximumSize());
  const Qt::WindowFlags flags = w.windowFlags();
  EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
  EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(w.font().pixelSize(), 11);

  struct Expected {
    QWidget* control;
    QWidget* parent;
    QRect geometry;
  };
  for (const Expected& e : std::vector<Expected>{
           {w.GBLocalizarMusicas, &w, {6, 4, 728, 47}},
           {w.MEBuscarMusicas, w.GBLocalizarMusicas, {8, 16, 708, 24}},
           {w.GBRelacaoMusicas, &w, {6, 56, 728, 299}},
           {w.DBMusicas, w.GBRelacaoMusicas, {8, 15, 707, 274}},
           {w.pnlAguarde, w.GBRelacaoMusicas, {86, 108, 557, 81}},
           {w.lblContador, w.pnlAguarde, {8, 32, 53, 13}},
           {w.ProgressBar1, w.pnlAguarde, {8, 48, 537, 25}},
           {w.BTodas, &w, {138, 362, 150, 28}},
           {w.BSelecionadas, &w, {296, 362, 150, 28}},
           {w.BFechar, &w, {454, 362, 150, 28}},
       }) {
    SCOPED_TRACE(e.control->metaObject()->className());
    EXPECT_EQ(e.control->parentWidget(), e.parent);
    EXPECT_EQ(e.control->geometry(), e.geometry);
  }
  EXPECT_EQ(w.Label1->pos(), QPoint(191, 6));
  EXPECT_EQ(w.Label1->parentWidget(), w.pnlAguarde);

  EXPECT_EQ(w.GBLocalizarMusicas->title(), QStringLiteral("Localizar Música: "));
  EXPECT_EQ(w.GBRelacaoMusicas->title(), QStringLiteral("Relação das Músicas"));
  EXPECT_EQ(w.Label1->text(), QStringLiteral("Gravando informações no TAG"));
  EXPECT_EQ(w.BTodas->text(), QStringLiteral("Gravar Todas"));
  EXPECT_EQ(w.BSelecionadas->text(), QStringLiteral("Gravar Selecionadas"));
  EXPECT_EQ(w.BFechar->text(), QStringLiteral("&Fechar"));
  for (QToolButton* button : {w.BTodas, w.BSelecionadas, w.BFechar}) {
    EXPECT_EQ(button->focusPolicy(), Qt::NoFocus);
    EXPECT_TRUE(button->autoRaise());
    EXPECT_EQ(button->cursor().shape(), Qt::PointingHandCursor);
  }

  EXPECT_TRUE(w.MEBuscarMusicas->font().bold());
  EXPECT_EQ(w.MEBuscarMusicas->font().pixelSize(), 13);
  EXPECT_EQ(w.MEBuscarMusicas->palette().color(QPalette::Base), QColor(Qt::white));
  EXPECT_TRUE(w.DBMusicas->font().bold());
  EXPECT_EQ(w.DBMusicas->font().pixelSize(), 11);
  EXPECT_TRUE(w.Label1->font().bold());
  EXPECT_EQ(w.Label1->font().pixelSize(), 12);
  EXPECT_EQ(w.DBMusicas->font().family(), QStringLiteral("MS Sans Serif"));

  EXPECT_FALSE(w.pnlAguarde->isVisible());
  EXPECT_TRUE(w.lblContador->text().isEmpty());
  EXPECT_EQ(w.ProgressBar1->minimum(), 0);
  EXPECT_EQ(w.ProgressBar1->maximum(), 100);
  EXPECT_TRUE(w.MEBuscarMusicas->hasFocus());
}

TEST_F(LayoutTest, GridHasOneCentredColumnAndAnIndicator) {
  TDBGridStudio* grid = window->DBMusicas;
  QAbstractItemModel* model = grid->model();
  ASSERT_EQ(model->columnCount(), 1);
  EXPECT_EQ(model->headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(), QStringLiteral("Música"));
  EXPECT_EQ(model->headerData(0, Qt::Horizontal, Qt::TextAlignmentRole).toInt(), int(Qt::AlignCenter));
  EXPECT_EQ(grid->columnWidth(0), 670);
  EXPECT_EQ(grid->horizontalHeader()->sectionResizeMode(0), QHeaderView::Interactive);
  EXPECT_TRUE(grid->verticalHeader()->isVisible());
  EXPECT_EQ(grid->verticalHeader()->width(), TDBGridStudio::kIndicatorWidth);
  EXPECT_EQ(grid->editTriggers(), QAbstractItemView::NoEditTriggers);
  EXPECT_EQ(grid->selectionBehavior(), QAbstractItemView::SelectRows);
  EXPECT_EQ(grid->selectionMode(), QAbstractItemView::ExtendedSelection);
  EXPECT_FALSE(grid->isCornerButtonEnabled());
  EXPECT_EQ(grid->viewport()->cursor().shape(), Qt::PointingHandCursor);
}

TEST_F(LayoutTest, SearchBoxTurnsTypedAndPastedLettersToUpperCase) {
  QLineEdit* edit = window->MEBuscarMusicas;
  QTest::keyClicks(edit, "abc 1'x");
  EXPECT_EQ(edit->text(), QStringLiteral("ABC 1'X"));
  edit->clear();
  TypeText(edit, QStringLiteral("ãçéñøœšžÿ"));
  EXPECT_EQ(edit->text(), QStringLiteral("ÃÇÉÑØŒŠŽŸ"));
  edit->clear();
  QGuiApplication::clipboard()->setText(QStringLiteral("josé µ ß"));
  edit->paste();
  // µ and ß have no capital in the code page and stay as they are.
  EXPECT_EQ(edit->text(), QStringLiteral("JOSÉ µ ß"));
  EXPECT_EQ(UpperCp1252(QStringLiteral("àÿ")), QStringLiteral("ÀŸ"));
}

TEST_F(LayoutTest, FecharAndItsAcceleratorCloseTheWindow) {
  QTest::mouseClick(window->BFechar, Qt::LeftButton);
  EXPECT_FALSE(window->isVisible());
  window->show();
  window->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
  QTest::keyClick(window->MEBuscarMusicas, Qt::Key_F, Qt::AltModifier);
  // The accelerator presses the button, which releases itself a moment later.
  EXPECT_TRUE(QTest::qWaitFor([&] { return !window->isVisible(); }, 2000));
  // The run buttons do nothing that closes or breaks the window.
  EXPECT_EQ(boxes.shown.size(), 1u);
}

}  // namespace
