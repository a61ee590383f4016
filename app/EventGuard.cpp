#include "EventGuard.h"

#include <QString>
#include <exception>

#include "CodePage.h"
#include "MessageBoxes.h"

void RunGuarded(MessageBoxes& boxes, const std::function<void()>& handler) {
  try {
    handler();
  } catch (const SilentAbort&) {
  } catch (const std::exception& error) {
    // Texts of the database client and of the program are in the system
    // code page.
    boxes.ShowError(QString::fromUtf8(platform::Cp1252ToUtf8(error.what())));
  } catch (...) {
    boxes.ShowError(QStringLiteral("Erro desconhecido."));
  }
}
