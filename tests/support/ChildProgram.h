#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <sys/types.h>

namespace TestSupport {

// The path of a program built beside the tests (a *_child or a product).
QString testProgram(const QString& name);

// One child program, its standard streams on pipes of their own. Every wait
// has a time limit; a child still running at its end is killed and the test
// fails, so that no test hangs on a child and none leaves one behind.
// Arguments, environment and folder go to the child as UTF-8.
class ChildProgram {
public:
    static const int kLimitMs = 60000;

    // Starts `program` (a path; a bare name is looked up on this process's
    // PATH) with exactly `environment`, in `folder` (empty: this process's).
    explicit ChildProgram(const QString& program, const QStringList& arguments = QStringList(),
                          const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment(),
                          const QString& folder = QString());
    // Kills the child if it still runs, and waits for it.
    ~ChildProgram();
    ChildProgram(const ChildProgram&) = delete;
    ChildProgram& operator=(const ChildProgram&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // Sends bytes to the child's standard input; false when they could not
    // all go within the limit (the child ended or does not read).
    bool write(const QByteArray& bytes, int ms = kLimitMs);
    // Closes the child's standard input: it reads the end of the file.
    void closeInput();

    // The next line of standard output, without its line feed; empty when
    // the output ends or no line comes within `ms` (the rest stays unread).
    QByteArray nextLine(int ms = kLimitMs);
    // Standard output not yet taken by nextLine(), and all standard error,
    // as far as the child has written them.
    QByteArray output();
    QByteArray errors();

    // Whether the child is still running (it is not reaped here).
    bool running();
    // Waits for the child's end: its exit code, -2 when a signal ended it.
    // When it still runs after `ms`, it is killed, the test fails and the
    // result is -1.
    int finish(int ms = kLimitMs);
    // Kills the child and waits for it; finish() then returns -2.
    void kill();

    // After finish(): the signal that ended the child (0: none), and its
    // peak resident memory.
    int signal() const { return signal_; }
    long maxResidentKiB() const { return maxResidentKiB_; }

    // "program arg arg", for failure messages.
    std::string commandLine() const;

private:
    // Moves bytes between the pipes until `done()` or the deadline; false
    // when the deadline came first.
    template <typename Done>
    bool pump(qint64 deadlineMs, Done done);
    bool exited(); // the child has ended (poll of its pidfd)
    void reap();

    QString program_;
    QStringList arguments_;
    pid_t pid_ = -1;
    int pidFd_ = -1, in_ = -1, out_ = -1, err_ = -1;
    QByteArray pendingInput_, output_, errors_;
    bool reaped_ = false;
    int exitCode_ = -1, signal_ = 0;
    long maxResidentKiB_ = 0;
};

} // namespace TestSupport
