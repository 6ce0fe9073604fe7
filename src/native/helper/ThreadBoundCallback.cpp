#include "ThreadBoundCallback.h"

void ThreadBoundCallback::operator()(const int& result) const
{
    const boost::function<void(int)> call = function;
    Tellan::Event::Dispatcher::post(threadId, [call, result]() { call(result); });
}
