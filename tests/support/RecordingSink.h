#pragma once

#include "Logger/Logger.h"

#include <QString>

#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace TestSupport {

// A sink that keeps every line it is given (attach's pending lines first).
class RecordingSink : public Tellan::Logger {
public:
    void attach(std::stringstream& pending) override;
    void close() override;
    void write(const std::string& line) override;
    void rotate() override {}

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

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    int closes_ = 0;
    int attached_ = 0;
};

// A sink whose write always throws.
class FailingSink : public Tellan::Logger {
public:
    void attach(std::stringstream&) override {}
    void close() override {}
    void write(const std::string&) override;
    void rotate() override {}
    int writes = 0;
};

// Installs a fresh RecordingSink as the process's sink and returns it; it
// stays valid until the next install.
RecordingSink& installRecordingSink();

} // namespace TestSupport
