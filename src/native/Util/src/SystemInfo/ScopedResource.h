#pragma once

#include <functional>
#include <utility>

namespace Zorvik {
namespace SystemInfo {

// Releases one resource (a memory handle) when the scope ends; a null handle
// is not released. Built once, never copied.
class ScopedResource {
public:
    typedef void* Handle;

    ScopedResource(Handle value, std::function<void(Handle)> release) : value_(value), release_(std::move(release)) {}
    ~ScopedResource()
    {
        if (value_ && release_)
            release_(value_);
    }
    ScopedResource(const ScopedResource&) = delete;
    ScopedResource& operator=(const ScopedResource&) = delete;

    Handle get() const { return value_; }

private:
    Handle value_;
    std::function<void(Handle)> release_;
};

} // namespace SystemInfo
} // namespace Zorvik
