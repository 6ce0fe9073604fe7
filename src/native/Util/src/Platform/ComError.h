#pragma once

#include "Platform/Com.h"

#include <QString>

namespace Tellan {
namespace Platform {

// The text that _com_error::ErrorMessage gives for a result: the system's
// message without its closing line break, or, when the system has none,
// "IDispatch error #n" for the dispatch range and "Unknown error 0x..."
// otherwise.
class ComError {
public:
    explicit ComError(HRESULT result) : result_(result) {}

    HRESULT error() const { return result_; }
    // The dispatch code: result - 0x80040200 inside 0x80040200..0x8004FFFF, else 0.
    std::uint16_t wCode() const;
    QString errorMessage() const;

private:
    HRESULT result_;
};

} // namespace Platform
} // namespace Tellan
