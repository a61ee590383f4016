#pragma once
// Every message box of the program goes through this interface, so the
// window's behaviour can be checked without a modal loop.

#include <QString>

class MessageBoxes {
 public:
  virtual ~MessageBoxes() = default;
  // Modal box without owner window: information icon, one OK button.
  virtual void ShowInformation(const QString& title, const QString& text) = 0;
  // Modal box without icon, one OK button.
  virtual void ShowPlain(const QString& title, const QString& text) = 0;
  // The same box with a details area the user can open; where boxes have
  // no such area, the plain box.
  virtual void ShowPlainWithDetails(const QString& title, const QString& text, const QString& details) {
    (void)details;
    ShowPlain(title, text);
  }
  // The default report of an error that escaped an event handler: error
  // icon, one OK button, titled with the application's name.
  virtual void ShowError(const QString& text) = 0;
};

// Real QMessageBox dialogs.
MessageBoxes& DefaultMessageBoxes();
