#pragma once

#include <QString>

#include <ostream>

// Failing comparisons of QString show the text, not its 2-byte units.
void PrintTo(const QString& text, std::ostream* os);
