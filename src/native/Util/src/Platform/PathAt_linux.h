#pragma once

// Linux only, for the layer's own sources: a path as the kernel takes it, a
// folder descriptor and a name within it. A path shorter than PATH_MAX goes
// as it is, relative to the working folder; a longer one is opened a piece at
// a time, each piece within the limit.

#include <boost/filesystem/path.hpp>

#include <string>

namespace Tellan {
namespace Platform {

class PathAt {
public:
    // With `ownFolder`, the folder is always opened and the name is the last
    // element alone, so that siblings can be named beside it.
    explicit PathAt(const boost::filesystem::path& path, bool ownFolder = false);
    ~PathAt();
    PathAt(const PathAt&) = delete;
    PathAt& operator=(const PathAt&) = delete;

    // False when the folder could not be opened; errno then says why.
    bool ok() const { return ok_; }
    int folder() const { return folder_; }
    const char* name() const { return name_.c_str(); }

private:
    int folder_;
    bool owned_ = false;
    bool ok_ = true;
    std::string name_;
};

// `fd` when it is open on a regular file; otherwise it is closed, the last
// error is 5 (access denied) and the result is -1.
int regularFileOnly(int fd);

} // namespace Platform
} // namespace Tellan
