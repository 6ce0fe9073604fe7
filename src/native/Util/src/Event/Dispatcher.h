#pragma once

#include "Foundation/Lock.h"

#include <boost/asio/deadline_timer.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/recursive_mutex.hpp>
#include <boost/thread/thread.hpp>
#include <boost/unordered_map.hpp>

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace Tellan {

namespace Ipc {
// Keeps an io_service's run loop going while its queue is empty.
class IoServiceWork {
public:
    explicit IoServiceWork(boost::asio::io_service& service) : work(service) {}
    boost::asio::io_service::work work;
};
} // namespace Ipc

namespace Event {

typedef int ThreadId;

enum : ThreadId {
    DEFAULT_THREAD = 101,
    IPC_THREAD,
    FILE_THREAD,
    SEARCH_INDEX_THREAD,
    MUSIC_LIBRARY_THREAD,
    VIEWMODEL_THREAD,
    MEDIASCAN_FS_THREAD,
    REMOTE_CONFIG_THREAD,
    UPLOAD_THREAD,
    UPLOAD_FS_THREAD,
    PLAYER_THREAD,
    ML_WORKER_THREAD,
    WATCHDOG_THREAD,
    DOWNLOAD_THREAD,
};

// Named worker-thread pools. The first call of instance() creates the
// dispatcher with DEFAULT_THREAD (one thread, the File Upload thread) and
// FILE_THREAD (two threads). Every static operation may be called from any
// thread. Pools are never stopped and their threads never joined; the
// dispatcher is never destroyed, so a pool thread still busy at process exit
// never meets a destroyed dispatcher.
class Dispatcher {
public:
    class InvalidThreadException : public std::logic_error {
    public:
        explicit InvalidThreadException(const char* message) : std::logic_error(message) {}
    };

    struct Pool {
        boost::shared_ptr<boost::asio::io_service> ioService;
        boost::shared_ptr<Ipc::IoServiceWork> work;
        boost::thread_group threads;
        // The native ids of the pool's threads, for isCurrentThread.
        std::vector<std::uint32_t> nativeIds;
    };

    static Dispatcher& instance();

    // Queues a copy of task on the pool; no pool with that id: dropped.
    static void post(ThreadId id, const std::function<void()>& task);
    // Runs a copy of task on the pool once delay has passed; cannot be
    // cancelled. No pool: dropped.
    static void postDelayed(ThreadId id, const std::function<void()>& task,
                            const boost::posix_time::time_duration& delay);
    static bool isCurrentThread(ThreadId id);
    // Throws InvalidThreadException(message) off the pool's threads.
    static void assertThread(ThreadId id, const char* message);
    static bool getPool(ThreadId id, boost::shared_ptr<Pool>& pool);

    // An id that has a pool keeps it; the io_service given is then dropped.
    void addPool(ThreadId id, unsigned threadCount, boost::shared_ptr<boost::asio::io_service> ioService);
    void createDefaultPools();

    static std::string threadName(ThreadId id);
    static void setNativeThreadName(std::uint32_t threadId, const char* name);

private:
    Dispatcher() = default;
    static void createInstance();

    Foundation::details::BaseLock<boost::recursive_mutex> lock;
    boost::unordered_map<ThreadId, boost::shared_ptr<Pool>> pools;
};

} // namespace Event
} // namespace Tellan
