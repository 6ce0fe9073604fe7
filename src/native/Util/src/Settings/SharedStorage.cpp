#include "Settings/SharedStorage.h"

#include "Logging/Log.h"
#include "Settings/IniText.h"
#include "SystemInfo/SystemInfo.h"

#include <QFile>
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

void SharedStorage::holdSaves()
{
    SharedStorage& storage = instance();
    QMutexLocker lock(&storage.settingsMutex);
    storage.holding = true;
}

void SharedStorage::releaseSaves()
{
    SharedStorage& storage = instance();
    QMutexLocker lock(&storage.settingsMutex);
    storage.holding = false;
    if (!storage.heldId.empty())
        storage.settings.setValue(QLatin1String(kDeviceIdKey), QVariant(QString::fromLatin1(storage.heldId.c_str())));
    storage.heldId.clear();
}

void SharedStorage::loadDeviceIdFromSettings(std::string& id)
{
    id.clear();
    QMutexLocker lock(&settingsMutex);
    if (holding && !heldId.empty()) {
        id = heldId;
        return;
    }
    if (!settings.contains(QLatin1String(kDeviceIdKey)))
        return;
    const QVariant value = settings.value(QLatin1String(kDeviceIdKey), QVariant());
    // Qt reads a text with unquoted commas ("abc, def", as another program
    // may write it) as a list, whose text would be empty: read that one
    // back from the file as the text it is.
    if (value.type() == QVariant::StringList) {
        QFile file(settings.fileName());
        if (file.open(QIODevice::ReadOnly))
            id = iniValueText(file.readAll(), kDeviceIdKey).toStdString();
        return;
    }
    id = value.toString().toLatin1().toStdString();
}

void SharedStorage::saveDeviceIdToSettings(const std::string& id)
{
    TLOG(INFO, "SharedStorage");
    QMutexLocker lock(&settingsMutex);
    if (holding) {
        heldId = id;
        return;
    }
    settings.setValue(QLatin1String(kDeviceIdKey), QVariant(QString::fromLatin1(id.c_str())));
}

} // namespace Tellan
