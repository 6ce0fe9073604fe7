#include "RecordingSink.h"

#include "Logging/Logging.h"

#include <stdexcept>

namespace TestSupport {

void RecordingSink::attachLocked(std::stringstream& pending)
{
    std::string line;
    while (std::getline(pending, line)) {
        // A continuation line ("\n     ...") belongs to the record before it.
        if (!lines_.empty() && attached_ > 0 && line.compare(0, 5, "     ") == 0)
            lines_.back() += line + "\n";
        else {
            lines_.push_back(line + "\n");
            ++attached_;
        }
    }
}

void RecordingSink::closeLocked() { ++closes_; }

void RecordingSink::writeLocked(const std::string& line) { lines_.push_back(line); }

std::vector<std::string> RecordingSink::lines() const
{
    std::lock_guard<std::recursive_mutex> guard(lock());
    return lines_;
}

std::vector<std::string> RecordingSink::linesWithEvent(const std::string& event) const
{
    return linesContaining(" : " + event + " : ");
}

std::vector<std::string> RecordingSink::linesContaining(const std::string& text) const
{
    std::vector<std::string> out;
    for (const std::string& l : lines())
        if (l.find(text) != std::string::npos)
            out.push_back(l);
    return out;
}

std::vector<std::string> RecordingSink::events() const
{
    // "ts TellanHelper : L component : event : ..."
    std::vector<std::string> out;
    for (const std::string& l : lines()) {
        if (l.find(" TellanHelper : ") == std::string::npos) {
            out.push_back("");
            continue;
        }
        std::size_t pos = l.find(" : "); // after TellanHelper
        pos = l.find(" : ", pos + 3); // after component
        const std::size_t end = l.find(" :", pos + 3);
        out.push_back(pos == std::string::npos ? "" : l.substr(pos + 3, end - pos - 3));
    }
    return out;
}

void RecordingSink::clear()
{
    std::lock_guard<std::recursive_mutex> guard(lock());
    lines_.clear();
}

int RecordingSink::attachedCount() const
{
    std::lock_guard<std::recursive_mutex> guard(lock());
    return attached_;
}

int RecordingSink::closeCount() const
{
    std::lock_guard<std::recursive_mutex> guard(lock());
    return closes_;
}

void FailingSink::writeLocked(const std::string&)
{
    ++writes;
    throw std::runtime_error("sink failure");
}

RecordingSink& installRecordingSink()
{
    auto* sink = new RecordingSink();
    Tellan::Logging::instance().setLogger(sink);
    return *sink;
}

} // namespace TestSupport
