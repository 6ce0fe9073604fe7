// The main thread's cost of the reporter's pass, and the memory that queued
// paths hold:
//  - a Logs folder of 10,000 files, half of them product logs: the folder
//    scan alone beside `find -printf` listing the same facts in its own
//    process, the pruning to 100 files (scan plus 9,900 deletions), the
//    selection alone over all 10,000 files, and the whole pass;
//  - a folder of 100 files, the pass that runs every five minutes;
//  - the heap held by 10,000 queued paths.
// The File Upload thread is held while the main thread is timed, so that no
// upload runs beside it. Run by hand; CTest does not run it.

#include "Event/Dispatcher.h"
#include "FileSystem/FileSystemUtility.h"
#include "Logger/Logger.h"
#include "Logging/Logging.h"
#include "LongPath/LongPath.h"
#include "Storage/Storage.h"
#include "VykReporter.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <boost/make_shared.hpp>

#include <malloc.h>
#include <spawn.h>
#include <sys/time.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

extern char** environ;

namespace {

typedef std::chrono::duration<double, std::milli> Millis;

const int rounds = 5;
const int smallPasses = 50;
const qint64 baseTime = 1600000000;

// Records are formatted and dropped, as a sink that writes nowhere would.
class DiscardingSink : public Tellan::Logger {
public:
    void attach(std::stringstream& pending) override { pending.str(std::string()); }
    void close() override {}
    void write(const std::string&) override {}
    void rotate() override {}
};

// Holds the File Upload thread from construction to destruction.
class Gate {
public:
    Gate()
    {
        std::shared_future<void> wait = opened.get_future().share();
        std::promise<void>* entered = &inside;
        Tellan::Event::Dispatcher::post(Tellan::Event::DEFAULT_THREAD, [wait, entered] {
            entered->set_value();
            wait.wait();
        });
        inside.get_future().wait();
    }
    ~Gate() { opened.set_value(); }

private:
    std::promise<void> opened, inside;
};

template <typename Result>
Result onUploadThread(const std::function<Result()>& task)
{
    std::promise<Result> done;
    std::future<Result> result = done.get_future();
    Tellan::Event::Dispatcher::post(Tellan::Event::DEFAULT_THREAD, [&] { done.set_value(task()); });
    return result.get();
}

bool writeFile(const QString& path, int size, qint64 lastWrite)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray(size, 'x')) != size)
        return false;
    file.close();
    const timeval times[2] = {{time_t(lastWrite), 0}, {time_t(lastWrite), 0}};
    return ::utimes(QFile::encodeName(path).constData(), times) == 0;
}

// files in the folder, every second one a product log, oldest first.
bool fillFolder(const QString& folder, int files)
{
    QDir(folder).removeRecursively();
    QDir().mkpath(folder);
    for (int i = 0; i < files; ++i) {
        const QString name =
            i % 2 ? QString("ZorvikMusic-v9.5.2.2478-210101-%1.log").arg(100000 + i) : QString("other-%1.txt").arg(i);
        if (!writeFile(folder + "/" + name, 100, baseTime + i))
            return false;
    }
    return true;
}

template <typename F>
Millis timed(F&& work)
{
    const auto started = std::chrono::steady_clock::now();
    work();
    return std::chrono::steady_clock::now() - started;
}

Millis timeFind(const QString& folder)
{
    const std::string path = folder.toStdString();
    std::vector<char*> argv = {
        const_cast<char*>("find"),    const_cast<char*>(path.c_str()),  const_cast<char*>("-maxdepth"),
        const_cast<char*>("1"),       const_cast<char*>("-type"),       const_cast<char*>("f"),
        const_cast<char*>("-printf"), const_cast<char*>("%T@ %s %p\n"), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const auto started = std::chrono::steady_clock::now();
    pid_t child = 0;
    const int spawned = posix_spawnp(&child, "find", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return Millis(-1);
    int status = 0;
    waitpid(child, &status, 0);
    return std::chrono::steady_clock::now() - started;
}

double median(std::vector<Millis> times)
{
    std::sort(times.begin(), times.end());
    return times[times.size() / 2].count();
}

void print(const char* name, const std::vector<Millis>& times)
{
    std::printf("  %-44s median %9.2f ms  (best %.2f)\n", name, median(times),
                std::min_element(times.begin(), times.end())->count());
}

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir home;
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.path() + "/.local/share"));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path() + "/.config"));
    QCoreApplication app(argc, argv);
    if (!Tellan::Storage::InitStorageLocations())
        return 1;
    Tellan::Logging::instance().setLogger(new DiscardingSink());
    const QString logs = Tellan::Storage::logsDirectory();
    const boost::filesystem::path logsPath = Tellan::LongPath::fromText(logs);

    // Uploads would go to a port where nothing listens; the files are gone
    // before the queue runs, so none is tried.
    Tellan::OpsFileUploader::Options options;
    options.endpoint.host = "127.0.0.1";
    options.endpoint.service = "9";
    options.endpoint.addresses = {{boost::asio::ip::address_v4::loopback(), 9}};
    Tellan::VykReporter reporter(options);
    const auto drainQueue = [&] {
        QDir(logs).removeRecursively();
        QDir().mkpath(logs);
        while (!onUploadThread<bool>([&] { return reporter.uploader()->isIdle(); })) {}
        QCoreApplication::processEvents();
    };

    std::vector<Millis> scan, find, prune, selection, pass, small;
    for (int round = 0; round < rounds; ++round) {
        if (!fillFolder(logs, 10000))
            return 1;
        {
            Gate gate;
            scan.push_back(timed([&] {
                Tellan::FileSystemUtility::FolderScan result;
                Tellan::FileSystemUtility::collectFilesByAge(result, logsPath);
            }));
            find.push_back(timeFind(logs));
            selection.push_back(timed([&] { reporter.uploadLogFiles(); }));
            QDir(logs).removeRecursively();
        }
        drainQueue();

        if (!fillFolder(logs, 10000))
            return 1;
        {
            Gate gate;
            prune.push_back(timed([&] { Tellan::FileSystemUtility::deleteOldestFilesByCount(logsPath, 100); }));
        }
        drainQueue();

        if (!fillFolder(logs, 10000))
            return 1;
        {
            Gate gate;
            pass.push_back(timed([&] { QMetaObject::invokeMethod(&reporter, "timerUpdate"); }));
            QDir(logs).removeRecursively();
        }
        drainQueue();
    }

    if (!fillFolder(logs, 100))
        return 1;
    {
        Gate gate;
        for (int i = 0; i < smallPasses; ++i)
            small.push_back(timed([&] { QMetaObject::invokeMethod(&reporter, "timerUpdate"); }));
        QDir(logs).removeRecursively();
    }
    drainQueue();

    // The heap that 10,000 queued paths hold: the path set, the queue and the
    // shared file descriptions, with paths as long as a user's.
    const QString prefix = home.path() + "/.local/share/Zorvik Music/Logs/ZorvikMusic-renderer-v9.5.2.2478-210101-";
    const std::size_t queuedBytes = onUploadThread<std::size_t>([&] {
        const std::size_t before = mallinfo2().uordblks;
        for (int i = 0; i < 10000; ++i) {
            const QString path = prefix + QString::number(100000 + i) + ".log";
            reporter.uploader()->insertPendingFileUpload(boost::make_shared<Tellan::OpsFileInfo>(path, 0));
        }
        const std::size_t after = mallinfo2().uordblks;
        while (reporter.uploader()->popPendingFileUpload()) {}
        return after - before;
    });

    std::printf("Reporter pass on the main thread, medians of %d rounds (%d for the small folder)\n", rounds,
                smallPasses);
    std::printf("Logs folder of 10,000 files, 5,000 product logs:\n");
    print("folder scan (names, sizes, times)", scan);
    print("find -maxdepth 1 -printf, own process", find);
    std::printf("  ratio scan / find: %.2f\n", median(scan) / median(find));
    print("pruning to 100 files (scan + 9,900 deletions)", prune);
    std::printf("  %-44s median %9.2f ms\n", "  of which deletions (pruning - scan)", median(prune) - median(scan));
    print("selection alone over 10,000 (5,000 offered)", selection);
    print("whole pass (prune, prune by size, select)", pass);
    std::printf("Logs folder of 100 files, 50 product logs:\n");
    print("whole pass", small);
    std::printf("10,000 queued paths of %d characters: %zu bytes, %.0f bytes a path\n", int(prefix.size()) + 10,
                queuedBytes, double(queuedBytes) / 10000.0);
    return 0;
}
