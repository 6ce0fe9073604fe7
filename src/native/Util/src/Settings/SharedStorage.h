#pragma once

#include "Settings/TellanSettings.h"

#include <QMutex>

#include <string>

namespace Tellan {

// The device id as the settings store keeps it under "device_id". Once
// stored, the stored text is the id, whatever its form; it is generated only
// when the stored text is missing or empty.
//
// Any thread may call. The first call is made on the main thread when the
// uploader is built; later ones come from whichever thread opens a log file.
class SharedStorage {
public:
    // The stored id, generated and stored first when missing or empty.
    static std::string getDeviceId();
    static void saveDeviceId(const std::string& id);
    // From holdSaves on, a generated id is kept in this process only, until
    // releaseSaves stores it: a start that merely forwards to the running
    // helper must not wait on the settings file's lock at its exit, behind
    // every other start that made an id at the same time.
    static void holdSaves();
    static void releaseSaves();
    // Made on first use, destroyed at exit (which writes pending settings).
    static SharedStorage& instance();

    // Empties id, then sets it to the stored text when there is one.
    void loadDeviceIdFromSettings(std::string& id);
    // Stores id; the write reaches the file when Qt syncs the settings.
    void saveDeviceIdToSettings(const std::string& id);

private:
    SharedStorage() = default;
    SharedStorage(const SharedStorage&) = delete;
    SharedStorage& operator=(const SharedStorage&) = delete;

    // One QSettings object is not safe to use from two threads at once.
    QMutex settingsMutex;
    TellanSettings settings;
    bool holding = false;
    std::string heldId;
};

} // namespace Tellan
