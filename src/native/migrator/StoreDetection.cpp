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

// The pattern matches exactly where "ZorvikMobileLLC", any one character
// and "ZorvikMusic" stand in a row.
const char NAME_FIRST_PART[] = "ZorvikMobileLLC";
constexpr std::size_t NAME_LENGTH = sizeof NAME_FIRST_PART - 1 + 1 + sizeof "ZorvikMusic" - 1;

// Reads what the pipe holds now, without blocking, until it is empty or the
// deadline has passed: a writer faster than this loop must not keep it from
// the time bound.
void drainPipe(Process& process, Handle readEnd, StoreAppSearch& search, std::chrono::steady_clock::time_point deadline)
{
    std::uint32_t available = 0;
    while (std::chrono::steady_clock::now() < deadline && process.peekNamedPipe(readEnd, &available) && available > 0) {
        char buffer[READ_CHUNK];
        std::uint32_t bytesRead = 0;
        if (!process.readFile(readEnd, buffer, std::min(available, READ_CHUNK), &bytesRead) || bytesRead == 0)
            break;
        search.take(buffer, bytesRead);
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
    // The pattern is tried on each window where the name could stand only:
    // over the whole output its leading ".*" backtracks from every offset,
    // which takes minutes on a large listing without the name, and the
    // installer waits for us.
    // Nothing is allocated for output without the first part of the name.
    std::size_t at = output.find(NAME_FIRST_PART);
    if (at == std::string::npos)
        return false;
    const QRegExp pattern(QStringLiteral(".*ZorvikMobileLLC.ZorvikMusic.*"), Qt::CaseSensitive, QRegExp::RegExp);
    for (; at != std::string::npos; at = output.find(NAME_FIRST_PART, at + 1)) {
        const int length = static_cast<int>(std::min(NAME_LENGTH, output.size() - at));
        if (pattern.indexIn(QString::fromLatin1(output.data() + at, length), 0) >= 0)
            return true;
    }
    return false;
}

void StoreAppSearch::take(const char* chunk, std::size_t size)
{
    size = static_cast<std::size_t>(std::find(chunk, chunk + size, '\0') - chunk);
    if (size == 0 || found_)
        return;
    anyOutput_ = true;
    // A name that ends in this chunk begins at most NAME_LENGTH - 1 bytes
    // before it; every name that ended earlier was looked for already.
    tail_.append(chunk, size);
    found_ = outputNamesStoreApp(tail_);
    if (tail_.size() >= NAME_LENGTH)
        tail_.erase(0, tail_.size() - (NAME_LENGTH - 1));
}

int detectStoreApp(std::chrono::milliseconds waitLimit)
{
    appendMigratorMessage("running in standalone, checking for windows store app");

    std::wstring commandLine = L"powershell.exe Get-AppxPackage | ft Name -AutoSize";
    StoreAppSearch search;
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

    // Every wait ends as soon as PowerShell has written something, so it
    // never stays blocked on a full pipe; the drain after the wait that saw
    // it end collects the rest. Nothing waits for the end of the pipe, which
    // a process PowerShell left behind may hold open.
    const auto deadline = std::chrono::steady_clock::now() + waitLimit;
    bool ended = false;
    for (;;) {
        ended = process.waitForProcessOrPipeData(child.process, readEnd, POLL_MILLISECONDS) == WAIT_OBJECT_0_CODE;
        drainPipe(process, readEnd, search, deadline);
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

    if (search.anyOutput() && search.found()) {
        appendMigratorMessage("found windows store version, creating file for installer to see");
        writeMarkerFile();
        return 0;
    }
    appendMigratorMessage("no windows store version found");
    return 0;
}
