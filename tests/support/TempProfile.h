#pragma once

#include "ScopedEnvironment.h"

#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>

#include <string>

namespace TestSupport {

// A throw-away user profile: HOME, XDG_DATA_HOME and the music folder
// (through user-dirs.dirs) point into a temporary folder for the life of the
// object. Make it before anything asks QStandardPaths. This process's
// XDG_CONFIG_HOME is one folder for all its profiles, as Qt's settings store
// keeps the first one it saw; child processes get the profile's own
// configHome() through environment(), so their settings are in settingsFile().
class TempProfile {
public:
    // `homeName`, when given, is the home folder's own name inside the
    // temporary folder (for names that are not ASCII).
    explicit TempProfile(const QString& homeName = QString());
    ~TempProfile();

    QString home() const;
    QString dataHome() const; // ~/.local/share
    QString configHome() const; // ~/.config, children's XDG_CONFIG_HOME
    QString music() const; // ~/Music
    QString path(const QString& relative) const { return home() + "/" + relative; }

    // The product's folders: Qt's data location joined with "Zorvik Music",
    // and its Logs folder. Neither is made here.
    QString productRoot() const;
    QString logsFolder() const;
    // The file of the application's settings (Qt's INI file on Linux) of
    // child processes run with environment().
    QString settingsFile() const;

    // ~/bin, for stand-ins of programs a test puts first on PATH.
    QString bin() const;
    // Writes bin()/name as a /bin/sh script running `body`.
    void fakeProgram(const QString& name, const std::string& body) const;

    // This process's environment with the profile's HOME and XDG folders.
    QProcessEnvironment environment() const;

private:
    QTemporaryDir dir_;
    QString home_;
    ScopedEnvironment environment_;
};

// Writes a file of `size` bytes with the given last-write time (seconds
// since the epoch); makes parent folders.
void writeFile(const QString& path, qint64 size, qint64 lastWrite = 0);

} // namespace TestSupport
