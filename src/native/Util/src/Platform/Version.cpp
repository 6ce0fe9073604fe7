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

std::uint8_t verConditionFor(std::uint64_t conditionMask, std::uint32_t typeBit)
{
    return static_cast<std::uint8_t>((conditionMask >> (3 * typeIndex(typeBit))) & 7);
}

bool verMeets(std::uint32_t running, std::uint32_t wanted, std::uint8_t condition)
{
    switch (condition) {
    case VER_EQUAL: return running == wanted;
    case VER_GREATER: return running > wanted;
    case VER_GREATER_EQUAL: return running >= wanted;
    case VER_LESS: return running < wanted;
    case VER_LESS_EQUAL: return running <= wanted;
    default: return false;
    }
}

} // namespace Platform
} // namespace Tellan
