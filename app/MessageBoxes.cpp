#include "MessageBoxes.h"

#include <QApplication>
#include <QMessageBox>

namespace {

void ShowModal(QMessageBox::Icon icon, const QString& title, const QString& text,
               const QString& details = {}) {
  // No owner window, as the start-up messages appear before the window does.
  QMessageBox box(icon, title, text, QMessageBox::Ok);
  if (!details.isEmpty()) box.setDetailedText(details);
  box.exec();
}

class QtMessageBoxes final : public MessageBoxes {
 public:
  void ShowInformation(const QString& title, const QString& text) override {
    ShowModal(QMessageBox::Information, title, text);
  }
  void ShowPlain(const QString& title, const QString& text) override {
    ShowModal(QMessageBox::NoIcon, title, text);
  }
  void ShowPlainWithDetails(const QString& title, const QString& text, const QString& details) override {
    ShowModal(QMessageBox::NoIcon, title, text, details);
  }
  void ShowError(const QString& text) override {
    ShowModal(QMessageBox::Critical, QApplication::applicationDisplayName(), text);
  }
};

}  // namespace

MessageBoxes& DefaultMessageBoxes() {
  static QtMessageBoxes boxes;
  return boxes;
}
