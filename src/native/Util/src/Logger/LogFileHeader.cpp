// Above both the logging core and the machine facts: the sink interface's
// header stays free of the probes, and nothing below logging includes them.
#include "Logger/Logger.h"

#include "Foundation/ProductConstants.h"
#include "Logging/LogRecord.h"
#include "Settings/SharedStorage.h"
#include "SystemInfo/SystemInfo.h"

#include <QFileInfo>

#include <sstream>

namespace Tellan {

namespace {
// The primary-disk probe has no source on this platform.
constexpr int kPrimaryDisk = -1;
} // namespace

std::string Logger::buildLogFileHeader() const
{
    // Each value is read just before it is written, in the order of the lines.
    std::ostringstream header;
    header << "[SystemInfo]\n";
    header << "OsType: " << Zorvik::SystemInfo::getOsType() << '\n';
    header << "OsVersion: " << Zorvik::SystemInfo::getOsVersion() << '\n';
    header << "NativeBuild: " << Constants::version << '\n';
    header << "CpuSpeed: " << Zorvik::SystemInfo::getCPUSpeedMHz() << '\n';
    header << "CpuType: " << Zorvik::SystemInfo::getCpuType() << '\n';
    header << "RAM: " << Zorvik::SystemInfo::getMBytesRAM() << '\n';
    header << "PrimaryDisk: " << kPrimaryDisk << '\n';
    header << "DeviceId: " << SharedStorage::getDeviceId() << '\n';
    header << '\n';
    header << "[Logs]\n";

    // Formatted here, not logged: the level filter must not drop it and it
    // belongs to this file only. The component is the logging core's folder.
    LogRecord started(1);
    started.setEvent(QStringLiteral("LogFileStarted"))
        .setLevel(Level::INFO)
        .setComponentFromSourcePath(QFileInfo(QStringLiteral(__FILE__)).path())
        .setLine(__LINE__);
    header << started.format() << '\n';
    return header.str();
}

} // namespace Tellan
