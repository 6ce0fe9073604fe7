#pragma once

#include <QByteArray>

namespace Tellan {

// The text that stands after "key=" in the [General] section (or before any
// section) of the bytes of a Qt INI settings file, without the blanks around
// it and without a comment (from an unquoted ";"); the last such line counts.
// A null array when there is no such line. Escapes and quotes are left as
// they stand: this reads back a value that Qt itself would split into a
// list at its unquoted commas.
QByteArray iniValueText(const QByteArray& iniFile, const QByteArray& key);

} // namespace Tellan
