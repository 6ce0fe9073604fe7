#include "LongPath/KernelPath.h"

namespace Tellan {
namespace LongPath {
namespace detail {

// Linux has no length limit, and a backslash is an ordinary character of a
// file name: the prefix that toLongPath added would name another file, so
// the kernel gets the path as the caller gave it.
boost::filesystem::path kernelPath(const boost::filesystem::path& original, const boost::filesystem::path&)
{
    return original;
}

} // namespace detail
} // namespace LongPath
} // namespace Tellan
