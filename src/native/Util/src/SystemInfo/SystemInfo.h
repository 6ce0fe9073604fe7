#pragma once

#include <QString>

namespace Zorvik {
namespace SystemInfo {

// The user name of the calling thread, for the scrub of log lines. Logs
// nothing and keeps nothing; an empty name when it cannot be read.
QString getUserName();

} // namespace SystemInfo
} // namespace Zorvik
