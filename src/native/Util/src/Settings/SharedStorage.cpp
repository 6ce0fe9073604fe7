#include "Settings/SharedStorage.h"

#include "Logging/Log.h"
#include "SystemInfo/SystemInfo.h"

#include <QMutexLocker>

namespace Tellan {

namespace {
const char kDeviceIdKey[] = "device_id";
}

SharedStorage& SharedStorage::instance()
{
    static SharedStorage storage;
    return storage;
}

std::string SharedStorage::getDeviceId()
{
    std::string id;
    instance().loadDeviceIdFromSettings(id);
    if (!id.empty())
        return id;
    TLOG(INFO, "SharedStorage") << "Generating New Device Id";
    id = Zorvik::SystemInfo::generateDeviceId();
    saveDeviceId(id);
    return id;
}

void SharedStorage::saveDeviceId(const std::string& id) { instance().saveDeviceIdToSettings(id); }

void SharedStorage::loadDeviceIdFromSettings(std::string& id)
{
    id.clear();
    QMutexLocker lock(&settingsMutex);
    if (settings.contains(QLatin1String(kDeviceIdKey)))
        id = settings.value(QLatin1String(kDeviceIdKey), QVariant()).toString().toLatin1().toStdString();
}

void SharedStorage::saveDeviceIdToSettings(const std::string& id)
{
    TLOG(INFO, "SharedStorage");
    QMutexLocker lock(&settingsMutex);
    settings.setValue(QLatin1String(kDeviceIdKey), QVariant(QString::fromLatin1(id.c_str())));
}

} // namespace Tellan
