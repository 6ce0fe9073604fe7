#pragma once

#include "RecordingSink.h"

#include <string>
#include <vector>

namespace TestSupport {

// The sink's lines without their time stamp, source line number and line
// feed, so that a test can compare whole records: level, component, event,
// fields (function included) and message.
std::vector<std::string> recordTexts(const RecordingSink& sink);

} // namespace TestSupport
