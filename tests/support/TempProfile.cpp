#include "TempProfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <sys/time.h>

#include <cstdlib>
#include <stdexcept>

namespace TestSupport {

namespace {

void writeUserDirs(const QString& configHome)
{
    QFile dirs(configHome + "/user-dirs.dirs");
    if (!dirs.open(QIODevice::WriteOnly))
        throw std::runtime_error("cannot write user-dirs.dirs");
    // $HOME is read when the file is, so one file serves every profile.
    dirs.write("XDG_MUSIC_DIR=\"$HOME/Music\"\n");
    dirs.close();
}

// Qt's settings store fixes its folder the first time it is used and writes
// there until the process ends, long after the profile of that moment is
// gone. So this process's XDG_CONFIG_HOME is one folder, made with the first
// profile before the store and so removed after it.
const QString& processConfigHome()
{
    static const QTemporaryDir dir;
    static const QString path = [] {
        if (!dir.isValid())
            throw std::runtime_error("no temporary folder");
        writeUserDirs(dir.path());
        return dir.path();
    }();
    return path;
}

} // namespace

TempProfile::TempProfile(const QString& homeName)
{
    if (!dir_.isValid())
        throw std::runtime_error("no temporary folder");
    home_ = homeName.isEmpty() ? dir_.path() : dir_.path() + "/" + homeName;
    QDir().mkpath(dataHome());
    QDir().mkpath(configHome());
    QDir().mkpath(music());
    writeUserDirs(configHome());
    environment_.set("HOME", home()).set("XDG_DATA_HOME", dataHome()).set("XDG_CONFIG_HOME", processConfigHome());
}

TempProfile::~TempProfile() = default;

QString TempProfile::home() const { return home_; }
QString TempProfile::dataHome() const { return home() + "/.local/share"; }
QString TempProfile::configHome() const { return home() + "/.config"; }
QString TempProfile::music() const { return home() + "/Music"; }
QString TempProfile::productRoot() const { return dataHome() + "/Zorvik Music"; }
QString TempProfile::logsFolder() const { return productRoot() + "/Logs"; }
QString TempProfile::settingsFile() const { return configHome() + "/Zorvik Services LLC/Zorvik Music.conf"; }
QString TempProfile::bin() const { return home() + "/bin"; }

void TempProfile::fakeProgram(const QString& name, const std::string& body) const
{
    QDir().mkpath(bin());
    QFile file(bin() + "/" + name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write(QByteArray("#!/bin/sh\n") + QByteArray::fromStdString(body) + "\n") < 0)
        throw std::runtime_error("cannot write " + file.fileName().toStdString());
    file.close();
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

QProcessEnvironment TempProfile::environment() const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("HOME", home());
    environment.insert("XDG_DATA_HOME", dataHome());
    environment.insert("XDG_CONFIG_HOME", configHome());
    return environment;
}

void writeFile(const QString& path, qint64 size, qint64 lastWrite)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray(static_cast<int>(size), 'x')) != size)
        throw std::runtime_error("cannot write " + path.toStdString());
    file.close();
    if (lastWrite != 0) {
        const timeval times[2] = {{static_cast<time_t>(lastWrite), 0}, {static_cast<time_t>(lastWrite), 0}};
        if (::utimes(QFile::encodeName(path).constData(), times) != 0)
            throw std::runtime_error("cannot set the time of " + path.toStdString());
    }
}

} // namespace TestSupport
