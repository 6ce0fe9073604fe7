// Where the single-instance channel lives: its names and the user's private
// folder. The session look-up is kept for the process once found, so the
// peers that show it are made in one test, in a process of its own, the one
// without the function first.
#include "OwnProcess.h"
#include "ScopedEnvironment.h"
#include "ScriptedSession.h"

#include "SingleApplication/QtLocalPeer.h"

#include "Platform/Session.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using Tellan::Platform::ScopedInstall;
using Tellan::Platform::Session;

TEST(QtLocalPeerName, NameFromPrefixChecksumAndSessionInThePrivateFolder)
{
    if (!TestSupport::inOwnProcess())
        return TestSupport::runInOwnProcess();
    int argc = 1;
    char name[] = "QtLocalPeerName_test";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    QTemporaryDir runtime;
    TestSupport::ScriptedSession session;
    session.folder = runtime.path();
    ScopedInstall<Session> install(&session);

    session.hasSessionFunction = false;
    EXPECT_EQ(QtLocalPeer(nullptr, "Zorvik Music Helper").serverName(), runtime.path() + "/qtlocalpeer-Zorvik-4a53");
    session.hasSessionFunction = true;

    session.sessionId = 0x1a;
    const struct {
        QString id;
        QString name;
    } cases[] = {
        {"Zorvik Music Helper", "qtlocalpeer-Zorvik-4a53-1a"},
        {"123 456!", "qtlocalpeer--f67d-1a"},
    };
    for (const auto& c : cases) {
        QtLocalPeer peer(nullptr, c.id);
        EXPECT_EQ(peer.serverName(), runtime.path() + "/" + c.name) << c.id.toStdString();
        EXPECT_TRUE(QFileInfo::exists(peer.serverName() + "-lockfile")) << c.id.toStdString();
    }

    // No id: the executable's path in lower case, its file name's letters.
    const QString path = QCoreApplication::applicationFilePath().toLower();
    const QByteArray pathBytes = path.toUtf8();
    QtLocalPeer unnamed(nullptr, QString());
    EXPECT_EQ(unnamed.applicationId(), path);
    EXPECT_EQ(unnamed.serverName(), runtime.path() + "/qtlocalpeer-qtloca-"
                                        + QString::number(qChecksum(pathBytes.constData(), uint(pathBytes.size())), 16)
                                        + "-1a");

    // Another session, another running instance.
    QtLocalPeer first(nullptr, "Zorvik Music Helper");
    EXPECT_FALSE(first.isClient());
    session.sessionId = 0x2b;
    QtLocalPeer other(nullptr, "Zorvik Music Helper");
    EXPECT_EQ(other.serverName(), runtime.path() + "/qtlocalpeer-Zorvik-4a53-2b");
    EXPECT_FALSE(other.isClient());
    EXPECT_EQ(session.lookUps, 2) << "looked up again only after a failed look-up";

    // Without a private folder there is no channel: every start takes itself
    // for a later one and reaches nobody.
    session.folder.clear();
    QtLocalPeer homeless(nullptr, "Zorvik Music Helper");
    EXPECT_EQ(homeless.serverName(), "");
    EXPECT_TRUE(homeless.isClient());
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(homeless.sendMessage("hello", 1000, true));
    EXPECT_LT(timer.elapsed(), 1000);
}

class PrivateTempPath : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(base_.isValid());
        environment_.set("TMPDIR", base_.path()).unset("XDG_RUNTIME_DIR");
    }
    QString fallback() const { return base_.path() + "/runtime-" + QString::number(::geteuid()); }
    static QString privateTempPath(bool* ok)
    {
        std::string folder;
        *ok = Session::native().getPrivateTempPath(&folder);
        return QString::fromStdString(folder);
    }
    static unsigned mode(const QString& path)
    {
        struct stat info = {};
        ::lstat(QFile::encodeName(path).constData(), &info);
        return info.st_mode & 07777;
    }

    QTemporaryDir base_;
    TestSupport::ScopedEnvironment environment_;
};

TEST_F(PrivateTempPath, RuntimeFolderWhenItIsTheUsersAlone)
{
    QTemporaryDir runtime; // 0700
    environment_.set("XDG_RUNTIME_DIR", runtime.path());
    bool ok = false;
    EXPECT_EQ(privateTempPath(&ok), runtime.path());
    EXPECT_TRUE(ok);

    const QString open = base_.path() + "/open";
    ASSERT_EQ(::mkdir(QFile::encodeName(open).constData(), 0755), 0);
    const QString tooLong = base_.path() + "/" + QString(70, 'l');
    ASSERT_EQ(::mkdir(QFile::encodeName(tooLong).constData(), 0700), 0);
    // A link, even to our own private folder: its owner may repoint it.
    const QString link = base_.path() + "/link";
    ASSERT_TRUE(QFile::link(runtime.path(), link));
    // Ours and closed to others, but we cannot make anything in it.
    const QString readOnly = base_.path() + "/read-only";
    ASSERT_EQ(::mkdir(QFile::encodeName(readOnly).constData(), 0500), 0);
    for (const QString& unsuitable : {open, tooLong, link, readOnly, base_.path() + "/missing", QString("relative")}) {
        environment_.set("XDG_RUNTIME_DIR", unsuitable);
        EXPECT_EQ(privateTempPath(&ok), fallback()) << unsuitable.toStdString();
        EXPECT_TRUE(ok);
        EXPECT_EQ(mode(fallback()), 0700u);
    }
}

TEST_F(PrivateTempPath, FolderUnderTheTemporaryFolderMadePrivateOrRefused)
{
    bool ok = false;
    EXPECT_EQ(privateTempPath(&ok), fallback());
    EXPECT_TRUE(ok);
    EXPECT_EQ(mode(fallback()), 0700u);

    // Ours but opened up: closed again.
    ASSERT_EQ(::chmod(QFile::encodeName(fallback()).constData(), 0777), 0);
    EXPECT_EQ(privateTempPath(&ok), fallback());
    EXPECT_EQ(mode(fallback()), 0700u);

    // A link to a private folder of ours is not the folder.
    ASSERT_TRUE(QDir(fallback()).removeRecursively());
    QTemporaryDir elsewhere;
    ASSERT_TRUE(QFile::link(elsewhere.path(), fallback()));
    privateTempPath(&ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(Tellan::Platform::getLastError(), Tellan::Platform::ERROR_ACCESS_DENIED_CODE);
    ASSERT_TRUE(QFile::remove(fallback()));

    if (::geteuid() != 0)
        GTEST_SKIP() << "another owner needs root";
    const auto plant = [this](const QString& name, bool folder) {
        const QString entry = fallback() + "/" + name;
        const bool made = folder ? QDir().mkpath(entry) : QFile(entry).open(QIODevice::WriteOnly);
        return made && ::chown(QFile::encodeName(entry).constData(), 65534, 65534) == 0;
    };

    // Open to others a while: what they left there goes, ours stays.
    privateTempPath(&ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(::chmod(QFile::encodeName(fallback()).constData(), 0777), 0);
    ASSERT_TRUE(plant("qtlocalpeer-Zorvik-4a53-lockfile", false));
    ASSERT_TRUE(plant("qtlocalpeer-Zorvik-4a53", true));
    ASSERT_TRUE(QFile(fallback() + "/ours").open(QIODevice::WriteOnly));
    EXPECT_EQ(privateTempPath(&ok), fallback());
    EXPECT_TRUE(ok);
    EXPECT_EQ(QDir(fallback()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System), QStringList{"ours"});
    EXPECT_EQ(mode(fallback()), 0700u);

    // What cannot go (a folder of theirs that holds something): not used.
    ASSERT_TRUE(plant("theirs/inside", true));
    ASSERT_EQ(::chown(QFile::encodeName(fallback() + "/theirs").constData(), 65534, 65534), 0);
    privateTempPath(&ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(Tellan::Platform::getLastError(), Tellan::Platform::ERROR_ACCESS_DENIED_CODE);
    ASSERT_TRUE(QDir(fallback()).removeRecursively());

    // Someone else's folder under our name.
    ASSERT_TRUE(QDir().mkdir(fallback()));
    ASSERT_EQ(::chown(QFile::encodeName(fallback()).constData(), 65534, 65534), 0);
    privateTempPath(&ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(Tellan::Platform::getLastError(), Tellan::Platform::ERROR_ACCESS_DENIED_CODE);
}

} // namespace
