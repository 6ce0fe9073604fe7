// A second helper process on the same profile (HOME and XDG folders from
// the environment):
//   helperlogger_child helper DEVICE_ID
//     logs "before the sink", installs a HelperLogger as the helper does,
//     prints "ready", then for each line on its
//     standard input "log TEXT" logs TEXT, "close" closes the sink; prints
//     "ok" after each; exits when its standard input ends.
//   helperlogger_child prune
//     what the reporter does to the Logs folder: deletes the current file,
//     renames it, prunes every file; prints "removed=0|1", then the records
//     logged, then "done".
#include "HelperLogger.h"

#include "FileSystem/FileSystemUtility.h"
#include "Logging/Log.h"
#include "LongPath/LongPath.h"
#include "Settings/SharedStorage.h"
#include "Storage/Storage.h"

#include "RecordingSink.h"

#include <iostream>
#include <string>

namespace {

boost::filesystem::path logsFolder()
{
    return boost::filesystem::path(Tellan::Storage::logsDirectory().toUtf8().toStdString());
}

int runHelper(const std::string& deviceId)
{
    Tellan::Storage::InitStorageLocations();
    Tellan::SharedStorage::saveDeviceId(deviceId);
    TLOG(INFO, "child") << "before the sink";
    Tellan::Logging::instance().setLogger(new Tellan::HelperLogger());
    std::cout << "ready" << std::endl;
    std::string command;
    while (std::getline(std::cin, command)) {
        if (command.compare(0, 4, "log ") == 0)
            TLOG(INFO, "child") << command.substr(4).c_str();
        else if (command == "close")
            Tellan::Logging::instance().closeLogger();
        std::cout << "ok" << std::endl;
    }
    return 0;
}

int runPrune()
{
    Tellan::Storage::InitStorageLocations();
    auto& sink = TestSupport::installRecordingSink();
    const boost::filesystem::path current = logsFolder() / "ZorvikMusicHelper.log";
    std::cout << "removed=" << Tellan::LongPath::remove(current) << std::endl;
    Tellan::LongPath::rename(current, logsFolder() / "renamed.log");
    Tellan::FileSystemUtility::deleteOldestFilesByCount(logsFolder(), 0);
    for (const std::string& line : sink.lines())
        std::cout << line;
    std::cout << "done" << std::endl;
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "helper" && argc == 3)
        return runHelper(argv[2]);
    if (mode == "prune")
        return runPrune();
    return 2;
}
