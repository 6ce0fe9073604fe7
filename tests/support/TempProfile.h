#pragma once

#include <QString>
#include <QTemporaryDir>

namespace TestSupport {

// A throw-away user profile: HOME, XDG_DATA_HOME, XDG_CONFIG_HOME and the
// music folder (through user-dirs.dirs) point into a temporary folder for
// the life of the object. Make it before anything asks QStandardPaths.
class TempProfile {
public:
    TempProfile();
    ~TempProfile();

    QString home() const;
    QString dataHome() const;   // ~/.local/share
    QString configHome() const; // ~/.config
    QString music() const;      // ~/Music
    QString path(const QString& relative) const { return home() + "/" + relative; }

private:
    QTemporaryDir dir_;
    QByteArray oldHome_, oldData_, oldConfig_;
};

// Writes a file of `size` bytes with the given last-write time (seconds
// since the epoch); makes parent folders.
void writeFile(const QString& path, qint64 size, qint64 lastWrite = 0);

} // namespace TestSupport
