#include "Printers.h"

#include <gtest/gtest.h>

void PrintTo(const QString& text, std::ostream* os)
{
    if (text.isNull()) {
        *os << "null QString";
        return;
    }
    *os << ::testing::PrintToString(text.toStdString());
}
