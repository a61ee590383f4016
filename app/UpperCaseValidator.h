#pragma once
// Turns every letter entered into a line edit to upper case, typed or
// pasted, for the letters whose capital exists in the system code page.

#include <QValidator>

class UpperCaseValidator final : public QValidator {
  Q_OBJECT
 public:
  using QValidator::QValidator;
  State validate(QString& input, int& pos) const override;
};

// Upper case of one character when that capital is in Windows-1252
// (so "ÿ" becomes "Ÿ" but "µ" stays, its capital being Greek).
QChar UpperCp1252(QChar c);
QString UpperCp1252(const QString& text);
