// idle_floor: what the libraries alone cost while idle, for comparison with
// the running helper: a QCoreApplication listening on a local socket, a
// five-minute timer and an Asio thread waiting for work; with --tls also an
// OpenSSL client context that has loaded the system trust store. Prints
// "ready" and idles until it is ended.
#include <QCoreApplication>
#include <QLocalServer>
#include <QTimer>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ssl/context.hpp>

#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const bool tls = argc > 1 && std::strcmp(argv[1], "--tls") == 0;

    QLocalServer server;
    const QString name = qEnvironmentVariable("XDG_RUNTIME_DIR", "/tmp") + "/idle-floor-"
                         + QString::number(QCoreApplication::applicationPid());
    if (!server.listen(name))
        return 1;
    QTimer timer;
    timer.start(300000);

    boost::asio::io_context io;
    auto work = boost::asio::make_work_guard(io);
    std::thread pool([&io] { io.run(); });

    std::unique_ptr<boost::asio::ssl::context> context;
    if (tls) {
        context.reset(new boost::asio::ssl::context(boost::asio::ssl::context::sslv23_client));
        context->set_default_verify_paths(); // reads the system's certificate file
    }
    std::puts("ready");
    std::fflush(stdout);
    const int result = app.exec();
    work.reset();
    io.stop();
    pool.join();
    return result;
}
