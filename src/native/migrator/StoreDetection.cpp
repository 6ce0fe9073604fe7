#include "StoreDetection.h"
#include "MigratorConstants.h"
#include "MigratorLog.h"

#include "Platform/Platform.h"
#include "Platform/Process.h"

#include <QRegExp>
#include <QString>

#include <boost/filesystem/fstream.hpp>

#include <algorithm>

using namespace Tellan::Platform;

namespace {

constexpr std::uint32_t POLL_MILLISECONDS = 50;
constexpr std::uint32_t READ_CHUNK = 1023;
// After ending PowerShell: long enough for the kill to land, short enough
// not to matter to the installer.
constexpr std::uint32_t REAP_MILLISECONDS = 1000;

// Reads what the pipe holds now, without blocking.
void drainPipe(Process& process, Handle readEnd, std::string& output)
{
    std::uint32_t available = 0;
    while (process.peekNamedPipe(readEnd, &available) && available > 0) {
        char buffer[READ_CHUNK + 1];
        std::uint32_t bytesRead = 0;
        if (!process.readFile(readEnd, buffer, std::min(available, READ_CHUNK), &bytesRead) || bytesRead == 0)
            break;
        buffer[bytesRead] = 0;
        output.append(buffer); // up to a zero byte, as a C string
    }
}

void writeMarkerFile()
{
    boost::filesystem::ofstream marker(musicDataDirectory() / Migrator::MARKER_FILE,
                                       std::ios::out | std::ios::trunc | std::ios::binary);
    marker << Migrator::MARKER_CONTENT;
    marker.flush();
    marker.close();
}

} // namespace

bool outputNamesStoreApp(const std::string& output)
{
    // The pattern matches exactly where "ZorvikMobileLLC", any one character
    // and "ZorvikMusic" stand in a row. It is tried on each such window
    // only: over the whole output its leading ".*" backtracks from every
    // offset, which takes minutes on a large listing without the name, and
    // the installer waits for us.
    static const char FIRST_PART[] = "ZorvikMobileLLC";
    constexpr std::size_t WINDOW = sizeof FIRST_PART - 1 + 1 + sizeof "ZorvikMusic" - 1;
    const QRegExp pattern(QStringLiteral(".*ZorvikMobileLLC.ZorvikMusic.*"), Qt::CaseSensitive, QRegExp::RegExp);
    for (std::size_t at = output.find(FIRST_PART); at != std::string::npos; at = output.find(FIRST_PART, at + 1)) {
        const std::string window = output.substr(at, WINDOW);
        if (pattern.indexIn(QString::fromLatin1(window.data(), static_cast<int>(window.size())), 0) >= 0)
            return true;
    }
    return false;
}

int detectStoreApp(std::chrono::milliseconds waitLimit)
{
    appendMigratorMessage("running in standalone, checking for windows store app");

    std::wstring commandLine = L"powershell.exe Get-AppxPackage | ft Name -AutoSize";
    std::string output;
    Process& process = Installed<Process>::get();

    SecurityAttributes attributes;
    attributes.inheritHandle = true;
    Handle readEnd = NO_HANDLE;
    Handle writeEnd = NO_HANDLE;
    if (!process.createPipe(&readEnd, &writeEnd, &attributes, 0)) {
        appendMigratorMessage("cannot create pipe to get output of powershell command");
        return 1;
    }

    StartupInfo startup;
    startup.flags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    startup.showWindow = SW_HIDE;
    startup.stdOutput = writeEnd;
    startup.stdError = writeEnd;
    ProcessInformation child;
    if (!process.createProcess(commandLine, true, CREATE_NEW_CONSOLE, startup, &child)) {
        appendMigratorMessage("cannot run the powershell command");
        process.closeHandle(writeEnd);
        process.closeHandle(readEnd);
        return 1;
    }

    // The pipe is drained between polls, so PowerShell never stays blocked
    // on a full pipe for longer than one poll; the drain after the final
    // wait collects the rest.
    const auto deadline = std::chrono::steady_clock::now() + waitLimit;
    bool ended = false;
    for (;;) {
        ended = process.waitForSingleObject(child.process, POLL_MILLISECONDS) == WAIT_OBJECT_0_CODE;
        drainPipe(process, readEnd, output);
        if (ended || std::chrono::steady_clock::now() >= deadline)
            break;
    }
    if (!ended) {
        process.terminateProcess(child.process, 1);
        process.waitForSingleObject(child.process, REAP_MILLISECONDS);
    }

    process.closeHandle(writeEnd);
    process.closeHandle(readEnd);
    process.closeHandle(child.process);
    process.closeHandle(child.thread);

    if (!ended) {
        appendMigratorMessage("powershell command did not finish in time, stopping it");
        return 1;
    }

    if (!output.empty() && outputNamesStoreApp(output)) {
        appendMigratorMessage("found windows store version, creating file for installer to see");
        writeMarkerFile();
        return 0;
    }
    appendMigratorMessage("no windows store version found");
    return 0;
}
