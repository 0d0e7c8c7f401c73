// Lets GoogleTest print Qt strings as text in its failure messages (alone and inside containers).
#pragma once

#include <QString>
#include <ostream>

inline void PrintTo(const QString &text, std::ostream *os) {
  *os << '"' << text.toStdString() << '"';
}
