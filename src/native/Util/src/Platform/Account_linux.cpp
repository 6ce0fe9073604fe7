#include "Platform/Account.h"
#include "Platform/Platform.h"

#include <QString>

#include <mutex>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace Tellan {
namespace Platform {

namespace {

class LinuxAccount final : public Account {
public:
    bool getUserName(char16_t* buffer, std::uint32_t* size) override
    {
        // Every log line asks; the passwd look-up is far dearer than the
        // Windows call, and the programs never change their account.
        QString name;
        return lookUp(name) && copyName(name, buffer, size);
    }

private:
    bool lookUp(QString& name)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (cached_) {
                name = cachedName_;
                return true;
            }
        }
        std::vector<char> scratch(16384);
        passwd entry{};
        passwd* found = nullptr;
        if (::getpwuid_r(::geteuid(), &entry, scratch.data(), scratch.size(), &found) != 0 || !found) {
            setLastError(ERROR_FILE_NOT_FOUND_CODE);
            return false;
        }
        name = QString::fromLocal8Bit(found->pw_name);
        std::lock_guard<std::mutex> lock(mutex_);
        cached_ = true;
        cachedName_ = name;
        return true;
    }

    std::mutex mutex_;
    bool cached_ = false;
    QString cachedName_;
};

} // namespace

Account& Account::native() { return immortal<LinuxAccount>(); }

} // namespace Platform
} // namespace Tellan
