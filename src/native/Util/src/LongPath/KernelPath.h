#pragma once

#include <boost/filesystem/path.hpp>

namespace Tellan {
namespace LongPath {
namespace detail {

// The path handed to the operating system for a path in its long form.
boost::filesystem::path kernelPath(const boost::filesystem::path& original, const boost::filesystem::path& longForm);

} // namespace detail
} // namespace LongPath
} // namespace Tellan
