// Every source of the library and of the programs against the layer order
// written in src/native/Util/README.md.
#include "Printers.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMap>
#include <QRegularExpression>

namespace {

const QString nativeRoot = QStringLiteral(ZORVIK_SOURCE_DIR "/src/native/");
const QString libraryRoot = nativeRoot + QStringLiteral("Util/src/");
const QStringList programs = {QStringLiteral("helper"), QStringLiteral("migrator")};

QString readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The layers of the README, lowest first: each folder or file to its number.
QMap<QString, int> layers()
{
    QMap<QString, int> out;
    static const QRegularExpression line(QStringLiteral("^(\\d+)\\. (.+)$"), QRegularExpression::MultilineOption);
    auto it = line.globalMatch(readAll(nativeRoot + "Util/README.md"));
    while (it.hasNext()) {
        const auto match = it.next();
        for (const QString& entry : match.captured(2).split(' ', Qt::SkipEmptyParts))
            out.insert(entry, match.captured(1).toInt());
    }
    return out;
}

// Every project include ("Folder/File.h" or "File.h") of a source.
QStringList projectIncludes(const QString& path)
{
    static const QRegularExpression include(QStringLiteral("^\\s*#\\s*include\\s*\"([^\"]+)\""),
                                            QRegularExpression::MultilineOption);
    QStringList out;
    auto it = include.globalMatch(readAll(path));
    while (it.hasNext())
        out << it.next().captured(1);
    return out;
}

// The sources under `root`, as paths relative to it.
QStringList sourcesUnder(const QString& root)
{
    QStringList out;
    QDirIterator it(root, {"*.h", "*.cpp", "*.h.in"}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        out << QDir(root).relativeFilePath(it.next());
    return out;
}

// The layer of a library file ("Folder/File.h"): its own entry, else its
// folder's; 0 when neither is listed.
int layerOf(const QMap<QString, int>& order, const QString& file)
{
    return order.value(file, order.value(file.section('/', 0, 0), 0));
}

} // namespace

TEST(Layering, TheOrderNamesEveryFolderOnce)
{
    const QMap<QString, int> order = layers();
    ASSERT_FALSE(order.isEmpty()) << "no layers in src/native/Util/README.md";
    QStringList folders = QDir(libraryRoot).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& folder : folders + programs)
        EXPECT_GT(order.value(folder), 0) << folder.toStdString() << " has no layer";
    for (const QString& entry : order.keys())
        EXPECT_TRUE(folders.contains(entry.section('/', 0, 0)) || programs.contains(entry))
            << entry.toStdString() << " names nothing in the tree";
}

TEST(Layering, EveryLibrarySourceIncludesOnlyItsFolderAndLowerLayers)
{
    const QMap<QString, int> order = layers();
    const QStringList sources = sourcesUnder(libraryRoot);
    ASSERT_GE(sources.size(), 80);
    for (const QString& source : sources) {
        const int layer = layerOf(order, source);
        const QString folder = source.section('/', 0, 0);
        for (const QString& include : projectIncludes(libraryRoot + source)) {
            const bool ownFolder = include.section('/', 0, 0) == folder && layerOf(order, include) <= layer;
            const int below = layerOf(order, include);
            EXPECT_TRUE(include.contains('/') && (ownFolder || (below > 0 && below < layer)))
                << source.toStdString() << " (layer " << layer << ") includes " << include.toStdString() << " (layer "
                << below << ")";
        }
    }
}

TEST(Layering, ProgramsIncludeTheLibraryAndTheirOwnFilesOnly)
{
    const QMap<QString, int> order = layers();
    for (const QString& program : programs) {
        const QString root = nativeRoot + program + "/";
        const QStringList sources = sourcesUnder(root);
        ASSERT_FALSE(sources.isEmpty()) << program.toStdString();
        for (const QString& source : sources)
            for (const QString& include : projectIncludes(root + source)) {
                const bool library = include.contains('/') && layerOf(order, include) > 0
                                     && layerOf(order, include) < order.value(program);
                const bool own = !include.contains('/') && QFile::exists(root + include);
                EXPECT_TRUE(library || own)
                    << program.toStdString() << "/" << source.toStdString() << " includes " << include.toStdString();
            }
    }
}
