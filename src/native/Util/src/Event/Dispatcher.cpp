#include "Event/Dispatcher.h"

#include "Platform/Platform.h"
#include "Platform/Threads.h"

#include <boost/make_shared.hpp>
#include <boost/thread/once.hpp>

#include <future>

namespace Tellan {
namespace Event {

namespace {

boost::once_flag instanceOnce = BOOST_ONCE_INIT;
Dispatcher* instancePointer = nullptr;

Platform::Threads& threads() { return Platform::Installed<Platform::Threads>::get(); }

} // namespace

void Dispatcher::createInstance()
{
    // A failed earlier attempt left its dispatcher here: replace it.
    Dispatcher* created = new Dispatcher();
    Dispatcher* previous = instancePointer;
    instancePointer = created;
    delete previous;
    created->createDefaultPools();
}

Dispatcher& Dispatcher::instance()
{
    boost::call_once(instanceOnce, &Dispatcher::createInstance);
    return *instancePointer;
}

void Dispatcher::createDefaultPools()
{
    addPool(DEFAULT_THREAD, 1, boost::make_shared<boost::asio::io_service>());
    addPool(FILE_THREAD, 2, boost::make_shared<boost::asio::io_service>());
}

void Dispatcher::addPool(ThreadId id, unsigned threadCount, boost::shared_ptr<boost::asio::io_service> ioService)
{
    Foundation::details::LockGuard guard(lock);
    if (pools.find(id) != pools.end())
        return;

    auto pool = boost::make_shared<Pool>();
    pool->ioService = ioService;
    pool->work = boost::make_shared<Ipc::IoServiceWork>(*ioService);
    const std::string base = threadName(id);
    for (unsigned i = 0; i < threadCount; ++i) {
        std::promise<std::uint32_t> started;
        std::future<std::uint32_t> nativeId = started.get_future();
        boost::thread* thread = new boost::thread([service = ioService, &started]() {
            started.set_value(threads().currentThreadId());
            service->run();
        });
        const std::uint32_t tid = nativeId.get();
        const std::string name = threadCount == 1 ? base : base + "_" + std::to_string(i);
        setNativeThreadName(tid, name.c_str());
        pool->threads.add_thread(thread);
        pool->nativeIds.push_back(tid);
    }
    pools[id] = pool;
}

bool Dispatcher::getPool(ThreadId id, boost::shared_ptr<Pool>& pool)
{
    Dispatcher& self = instance();
    Foundation::details::LockGuard guard(self.lock);
    const auto found = self.pools.find(id);
    if (found == self.pools.end())
        return false;
    pool = found->second;
    return true;
}

void Dispatcher::post(ThreadId id, const std::function<void()>& task)
{
    boost::shared_ptr<Pool> pool;
    if (!getPool(id, pool))
        return;
    std::function<void()> copy = task;
    pool->ioService->post(std::move(copy));
}

void Dispatcher::postDelayed(ThreadId id, const std::function<void()>& task,
                             const boost::posix_time::time_duration& delay)
{
    boost::shared_ptr<Pool> pool;
    if (!getPool(id, pool))
        return;
    auto timer = boost::make_shared<boost::asio::deadline_timer>(*pool->ioService, delay);
    std::function<void()> copy = task;
    // The error code is not looked at: the task runs however the wait ended.
    timer->async_wait([timer, copy](const boost::system::error_code&) { copy(); });
}

bool Dispatcher::isCurrentThread(ThreadId id)
{
    boost::shared_ptr<Pool> pool;
    if (!getPool(id, pool))
        return false;
    const std::uint32_t me = threads().currentThreadId();
    for (const std::uint32_t tid : pool->nativeIds) {
        if (tid == me)
            return true;
    }
    return false;
}

void Dispatcher::assertThread(ThreadId id, const char* message)
{
    if (!isCurrentThread(id))
        throw InvalidThreadException(message);
}

std::string Dispatcher::threadName(ThreadId id)
{
    static const char* const names[] = {
        "DEFAULT_THREAD",       "IPC_THREAD",       "FILE_THREAD",         "SEARCH_INDEX_THREAD",
        "MUSIC_LIBRARY_THREAD", "VIEWMODEL_THREAD", "MEDIASCAN_FS_THREAD", "REMOTE_CONFIG_THREAD",
        "UPLOAD_THREAD",        "UPLOAD_FS_THREAD", "PLAYER_THREAD",       "ML_WORKER_THREAD",
        "WATCHDOG_THREAD",      "DOWNLOAD_THREAD",
    };
    if (id < DEFAULT_THREAD || id > DOWNLOAD_THREAD)
        return std::string();
    return names[id - DEFAULT_THREAD];
}

void Dispatcher::setNativeThreadName(std::uint32_t threadId, const char* name)
{
    try {
        threads().setThreadName(threadId, name);
    } catch (...) {
        // Naming is for the debugger only; it never fails the caller.
    }
}

} // namespace Event
} // namespace Tellan
