// Asks for the device id the way the helper does and prints it, then the
// records that reached the log, one per line.
//
//   DeviceId_child native|scripted|failing [threads]
//
// native uses this machine's facts; scripted and failing the known facts of
// DeviceIdFacts.h. threads asks from four threads at once.

#include "DeviceIdFacts.h"

#include "RecordText.h"
#include "RecordingSink.h"
#include "Settings/SharedStorage.h"

#include <cstring>
#include <iostream>
#include <memory>
#include <set>
#include <thread>
#include <vector>

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    const std::string mode = argv[1];
    const bool threads = argc > 2 && std::strcmp(argv[2], "threads") == 0;

    TestSupport::RecordingSink& sink = TestSupport::installRecordingSink();
    std::unique_ptr<DeviceIdFacts::Facts> facts;
    if (mode != "native")
        facts.reset(new DeviceIdFacts::Facts(mode == "failing"));

    std::set<std::string> ids;
    if (threads) {
        std::vector<std::string> results(4);
        std::vector<std::thread> pool;
        for (auto& result : results)
            pool.emplace_back([&result] { result = Tellan::SharedStorage::getDeviceId(); });
        for (auto& t : pool)
            t.join();
        ids.insert(results.begin(), results.end());
    } else {
        ids.insert(Tellan::SharedStorage::getDeviceId());
    }
    if (ids.size() != 1)
        return 3;
    std::cout << *ids.begin() << "\n";
    for (const std::string& line : TestSupport::recordTexts(sink))
        std::cout << line << "\n";
    return 0;
}
