#pragma once

#include <QByteArray>
#include <QString>

#include <utility>
#include <vector>

namespace TestSupport {

// Environment variables of this process set or unset for the object's life;
// each one is restored to what it was (or unset again) when it ends, also
// when the test fails.
class ScopedEnvironment {
public:
    ScopedEnvironment() = default;
    // Sets `name` to `value`; a null value unsets it.
    ScopedEnvironment(const char* name, const QString& value) { set(name, value); }
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

    ScopedEnvironment& set(const char* name, const QString& value);
    ScopedEnvironment& unset(const char* name) { return set(name, QString()); }

private:
    struct Saved {
        QByteArray name;
        QByteArray value; // null: it was not set
    };
    std::vector<Saved> saved_;
};

} // namespace TestSupport
