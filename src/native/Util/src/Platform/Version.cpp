#include "Platform/Version.h"

namespace Tellan {
namespace Platform {

namespace {

int typeIndex(std::uint32_t typeBit)
{
    int index = 0;
    while (typeBit > 1) {
        typeBit >>= 1;
        ++index;
    }
    return index;
}

} // namespace

std::uint64_t verSetConditionMask(std::uint64_t conditionMask, std::uint32_t typeMask, std::uint8_t condition)
{
    for (std::uint32_t bit = 1; bit <= VER_PRODUCT_TYPE; bit <<= 1) {
        if (typeMask & bit) {
            const int shift = 3 * typeIndex(bit);
            conditionMask &= ~(std::uint64_t(7) << shift);
            conditionMask |= std::uint64_t(condition & 7) << shift;
        }
    }
    return conditionMask;
}

} // namespace Platform
} // namespace Tellan
