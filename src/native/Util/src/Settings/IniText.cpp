#include "Settings/IniText.h"

#include <QList>

namespace Tellan {

namespace {

QByteArray withoutComment(const QByteArray& value)
{
    bool quoted = false;
    for (int i = 0; i < value.size(); ++i) {
        if (value.at(i) == '\\')
            ++i;
        else if (value.at(i) == '"')
            quoted = !quoted;
        else if (value.at(i) == ';' && !quoted)
            return value.left(i);
    }
    return value;
}

} // namespace

QByteArray iniValueText(const QByteArray& iniFile, const QByteArray& key)
{
    QByteArray result;
    bool inGeneral = true;
    for (QByteArray line : iniFile.split('\n')) {
        line = line.trimmed();
        if (line.startsWith('[')) {
            inGeneral = line == "[General]";
            continue;
        }
        const int equals = line.indexOf('=');
        if (!inGeneral || equals < 0 || line.left(equals).trimmed() != key)
            continue;
        result = withoutComment(line.mid(equals + 1)).trimmed();
        if (result.isNull())
            result = QByteArray("");
    }
    return result;
}

} // namespace Tellan
