#pragma once

#include "Logger/LoggerBase.h"

#include <QString>

#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace TestSupport {

// A sink that keeps every line it is given (attach's pending lines first).
// Its lock is recursive, so a sink made from it may log inside its hooks.
class RecordingSink : public Tellan::LoggerBase<std::recursive_mutex> {
public:
    std::vector<std::string> lines() const;
    // Lines of structured records whose event is `event` (" : event : ").
    std::vector<std::string> linesWithEvent(const std::string& event) const;
    // Lines that contain `text`.
    std::vector<std::string> linesContaining(const std::string& text) const;
    void clear();
    int closeCount() const;
    // Lines taken over from the pending buffer.
    int attachedCount() const;

    // Every structured line's event name, in order; plain lines give "".
    std::vector<std::string> events() const;

protected:
    void attachLocked(std::stringstream& pending) override;
    void closeLocked() override;
    void writeLocked(const std::string& line) override;
    void rotateLocked() override {}

private:
    std::vector<std::string> lines_;
    int closes_ = 0;
    int attached_ = 0;
};

// A sink whose write always throws.
class FailingSink : public Tellan::LoggerBase<std::mutex> {
public:
    int writes = 0;

protected:
    void attachLocked(std::stringstream&) override {}
    void closeLocked() override {}
    void writeLocked(const std::string&) override;
    void rotateLocked() override {}
};

// Installs a fresh RecordingSink as the process's sink and returns it; it
// stays valid until the next install.
RecordingSink& installRecordingSink();

} // namespace TestSupport
