#include "RecordText.h"

#include <regex>

namespace TestSupport {

std::vector<std::string> recordTexts(const RecordingSink& sink)
{
    static const std::regex timestamp("^[0-9]{6}:[0-9]{6} ");
    static const std::regex sourceLine("line [0-9]+, ");
    std::vector<std::string> out;
    for (std::string line : sink.lines()) {
        if (!line.empty() && line.back() == '\n')
            line.pop_back();
        line = std::regex_replace(line, timestamp, "");
        out.push_back(std::regex_replace(line, sourceLine, ""));
    }
    return out;
}

} // namespace TestSupport
