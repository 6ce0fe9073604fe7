#include "ScopedEnvironment.h"

namespace TestSupport {

ScopedEnvironment& ScopedEnvironment::set(const char* name, const QString& value)
{
    // Only the first value matters: that is the one to restore.
    bool seen = false;
    for (const Saved& saved : saved_)
        seen = seen || saved.name == name;
    if (!seen) {
        QByteArray old;
        if (qEnvironmentVariableIsSet(name)) {
            old = qgetenv(name);
            if (old.isNull())
                old = QByteArray(""); // set, but empty
        }
        saved_.push_back({name, old});
    }
    if (value.isNull())
        qunsetenv(name);
    else
        qputenv(name, value.toUtf8());
    return *this;
}

ScopedEnvironment::~ScopedEnvironment()
{
    for (auto saved = saved_.rbegin(); saved != saved_.rend(); ++saved) {
        if (saved->value.isNull())
            qunsetenv(saved->name.constData());
        else
            qputenv(saved->name.constData(), saved->value);
    }
}

} // namespace TestSupport
