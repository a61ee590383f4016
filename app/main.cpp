#include <QApplication>

#include "UPrincipal.h"

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Quillmar 2012"));
  QApplication::setApplicationDisplayName(QStringLiteral("Quillmar 2012"));
  TFrmPrincipal FrmPrincipal;
  FrmPrincipal.show();
  return application.exec();
}
