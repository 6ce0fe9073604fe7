#include "RecordText.h"

#include <QRegularExpression>
#include <QString>

namespace TestSupport {

std::vector<std::string> recordTexts(const RecordingSink& sink)
{
    static const QRegularExpression timestamp(QStringLiteral("^[0-9]{6}:[0-9]{6} "));
    static const QRegularExpression sourceLine(QStringLiteral("line [0-9]+, "));
    std::vector<std::string> out;
    for (const std::string& line : sink.lines()) {
        QString text = QString::fromLatin1(line.data(), static_cast<int>(line.size()));
        if (text.endsWith(QLatin1Char('\n')))
            text.chop(1);
        text.remove(timestamp).remove(sourceLine);
        out.push_back(text.toLatin1().toStdString());
    }
    return out;
}

} // namespace TestSupport
