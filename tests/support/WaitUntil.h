#pragma once

#include <QDeadlineTimer>
#include <QThread>

#include <functional>

namespace TestSupport {

// Polls `condition` until it holds (true) or `ms` have passed (false): for
// what another process does, which sends no event this one can wait on.
inline bool waitUntil(const std::function<bool()>& condition, int ms = 60000)
{
    QDeadlineTimer deadline(ms);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(5);
    }
    return true;
}

} // namespace TestSupport
