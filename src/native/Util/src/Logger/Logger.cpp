#include "Logger/Logger.h"

namespace Tellan {

Logger::Logger() : enabled(true), maxFileSize(10485760) {}

Logger::~Logger() = default;

void Logger::disable() { enabled = false; }

} // namespace Tellan
