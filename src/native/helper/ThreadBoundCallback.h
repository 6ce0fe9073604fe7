#pragma once

#include "Event/Dispatcher.h"

#include <boost/function.hpp>

// Where one upload's result goes: a call that runs on a dispatcher pool, so
// that the caller of the upload never has it made inside its own stack.
struct ThreadBoundCallback {
    Tellan::Event::ThreadId threadId;
    boost::function<void(int)> function;

    // Posts a call of a copy of `function` with result to the pool `threadId`;
    // never calls it directly. With no such pool the result is lost.
    void operator()(const int& result) const;
};
