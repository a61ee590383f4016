#include "UpperCaseValidator.h"

#include <string>

#include "CodePage.h"

namespace {

bool InCp1252(QChar c) {
  const std::string bytes = platform::Utf8ToCp1252(QString(c).toStdString());
  return bytes.size() == 1 && (bytes[0] != platform::kDefaultChar || c == QChar(platform::kDefaultChar));
}

}  // namespace

QChar UpperCp1252(QChar c) {
  const QChar upper = c.toUpper();
  if (upper == c) return c;
  return InCp1252(upper) ? upper : c;
}

QString UpperCp1252(const QString& text) {
  QString out(text);
  for (QChar& c : out) c = UpperCp1252(c);
  return out;
}

QValidator::State UpperCaseValidator::validate(QString& input, int&) const {
  input = UpperCp1252(input);
  return Acceptable;
}
