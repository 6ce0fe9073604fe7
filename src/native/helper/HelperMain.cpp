#include "HelperMain.h"

#include "HelperApp.h"

#include "Platform/Elevation.h"
#include "Platform/Threads.h"
#include "Platform/Version.h"
#include "Settings/SharedStorage.h"
#include "Storage/Storage.h"
#include "Text/WideText.h"

#include <QCoreApplication>
#include <QString>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace Tellan {

namespace {

// Only helperMain reads and writes these. The count outlives helperMain: the
// application object keeps a reference to it, and a forwarding start returns
// with the object alive.
HelperApp* helperApp = nullptr;
int argumentCount = 0;

} // namespace

std::wstring rawCommandLine(int argc, char** argv)
{
    // argv[0] is the program's path, which Windows keeps out of this line: a
    // folder named like an option must not make every start wait.
    QStringList words;
    for (int i = 1; i < argc; ++i)
        words << QString::fromUtf8(argv[i]);
    return Text::toWide(words.join(QLatin1Char(' ')));
}

void waitForDebugger(const wchar_t* commandLine)
{
    if (!Text::fromWide(commandLine).contains(QLatin1String("--waitDebugger"), Qt::CaseSensitive))
        return;
    while (!Platform::Installed<Platform::Threads>::get().isDebuggerPresent())
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void refreshElevationPolicy()
{
    Platform::OsVersionInfo info;
    info.size = 276;
    Platform::Installed<Platform::Version>::get().getVersionEx(info);
    if (info.majorVersion < 6)
        return;
    const auto refresh = Platform::Installed<Platform::Elevation>::get().lookUpIERefreshElevationPolicy();
    if (refresh)
        refresh();
}

int helperEntry(int argc, char** argv)
{
    waitForDebugger(rawCommandLine(argc, argv).c_str());
    refreshElevationPolicy();
    const int exitCode = helperMain(argc, argv);

    // The File Upload thread is never joined and may be inside an upload
    // now (a forwarding start's first pass, a stalled service): the
    // libraries' exit-time clean-up (Qt's, Boost.Asio's, OpenSSL's) would
    // pull their state from under it. What the process leaves behind is
    // written by now, once the settings' pending write is delivered, so it
    // ends without that clean-up.
    if (QCoreApplication::instance())
        QCoreApplication::sendPostedEvents(nullptr, 0);
    std::fflush(nullptr);
    std::_Exit(exitCode);
}

int helperMain(int argc, char** argv)
{
    if (!Storage::InitStorageLocations())
        return 1;

    // Only the start that becomes the running helper stores a device id it
    // made: the others end without waiting on the settings file.
    SharedStorage::holdSaves();
    argumentCount = argc;
    helperApp = new HelperApp(argumentCount, argv);
    if (helperApp->isRunning()) {
        const bool sent = helperApp->sendArgumentsToRunningInstance();
        // A running helper that was stopping lets go of the lock: a start
        // whose forward failed and that now holds it runs in its place.
        if (sent || helperApp->isRunning()) {
            QCoreApplication::sendPostedEvents(nullptr, 0);
            return sent ? 0 : 1;
        }
    }
    SharedStorage::releaseSaves();
    if (!helperApp->start()) {
        helperApp->shutdown();
        return 1;
    }
    QCoreApplication::exec();
    helperApp->shutdown();
    delete helperApp;
    helperApp = nullptr;
    return 0;
}

} // namespace Tellan
