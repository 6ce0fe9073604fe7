#include "SystemInfo/SystemInfo.h"

#include "Logging/Log.h"

#include <QCryptographicHash>
#include <QMutex>
#include <QMutexLocker>

namespace Zorvik {
namespace SystemInfo {

namespace {

const char kComponent[] = "SystemInfoWin";
const char kPrefix[] = "ZRVK01";

// Arbitrary binary bytes, not text: d07a3c91e5b84f2a6c19e0b7f4a2d853.
const char kSaltBytes[16] = {'\xd0', '\x7a', '\x3c', '\x91', '\xe5', '\xb8', '\x4f', '\x2a',
                             '\x6c', '\x19', '\xe0', '\xb7', '\xf4', '\xa2', '\xd8', '\x53'};

// The process-wide generator state. Never destroyed: a pool thread may
// still open a log file (whose header shows the id) while the process exits.
struct Generator {
    const QByteArray salt{kSaltBytes, sizeof kSaltBytes};
    std::string cachedId;
    QMutex mutex;
};

Generator& generator()
{
    static Generator* const g = new Generator();
    return *g;
}

QByteArray bytesOf(const std::string& text) { return QByteArray(text.data(), static_cast<int>(text.size())); }

} // namespace

std::string bytesToHex(const QByteArray& bytes) { return bytes.toHex().toStdString(); }

QByteArray deviceIdSalt() { return generator().salt; }

std::string sha1Hex(const std::string& bytes)
{
    try {
        QCryptographicHash hash(QCryptographicHash::Sha1);
        hash.addData(bytesOf(bytes));
        return bytesToHex(hash.result());
    } catch (...) {
        return std::string();
    }
}

std::string generateDeviceId()
{
    // Every record of the call, the probes' among them, goes out once the
    // mutex is released: a thread building a log file's header asks for the
    // id while it holds the sink's lock, which a record here would need.
    Tellan::Logging::Holding records;
    std::string& cachedId = generator().cachedId;
    QMutexLocker lock(&generator().mutex);
    if (cachedId.empty()) {
        try {
            TLOG(DEBUG, kComponent) << " Starting Device ID gen ";
            QCryptographicHash hash(QCryptographicHash::Sha1);

            const std::string license = getWindowsLicense();
            const std::string machineGuid = getMachineGUID();
            const std::string machineSid = getMachineSID();
            const std::string hostname = getHostname();
            const std::string biosSerial = getBiosSerialNumber();
            const QByteArray volumeDigits = QByteArray::number(static_cast<qulonglong>(getVolumeId()), 10);

            // Digests only: the sources identify the machine and must not
            // reach a log.
            TLOG(DEBUG, kComponent) << "Device ID - license> " << sha1Hex(license).c_str();
            TLOG(DEBUG, kComponent) << "Device ID - machineGUID> " << sha1Hex(machineGuid).c_str();
            TLOG(DEBUG, kComponent) << "Device ID - machineSID> " << sha1Hex(machineSid).c_str();
            TLOG(DEBUG, kComponent) << "Device ID Volume Id> " << sha1Hex(volumeDigits.toStdString()).c_str();
            TLOG(DEBUG, kComponent) << "Device ID hostname> " << sha1Hex(hostname).c_str();
            TLOG(DEBUG, kComponent) << "Device ID BIOSSN> " << sha1Hex(biosSerial).c_str();

            hash.reset();
            hash.addData(bytesOf(license));
            hash.addData(bytesOf(machineGuid));
            hash.addData(bytesOf(machineSid));
            hash.addData(bytesOf(hostname));
            hash.addData(bytesOf(biosSerial));
            hash.addData(volumeDigits);
            hash.addData(deviceIdSalt());
            // Built whole before it is kept, so a failure cannot leave a
            // digest without its prefix in the cache.
            std::string id = kPrefix + bytesToHex(hash.result());
            cachedId.swap(id);
        } catch (...) {
            // The id is then empty; the next caller tries again.
        }
    }
    TLOG(INFO, kComponent) << "DeviceID Generated: " << cachedId.c_str();
    std::string id = cachedId;
    lock.unlock();
    return id;
}

} // namespace SystemInfo
} // namespace Zorvik
