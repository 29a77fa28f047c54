#include "app/DataFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <utility>

namespace vanterel::app {

namespace {

QString canonical(const QString &folder)
{
    return folder.isEmpty() ? QString() : QFileInfo(folder).canonicalFilePath();
}

bool copyTree(const QString &from, const QString &to)
{
    QDirIterator it(from, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString source = it.next();
        const QString target = to + u'/' + QDir(from).relativeFilePath(source);
        const bool copied = it.fileInfo().isDir() ? QDir().mkpath(target) : QFile::copy(source, target);
        if (!copied)
            return false;
    }
    return true;
}

// The sample panel goes into a folder of its own first and takes its name
// only once complete, so a start cut short never leaves half a panel that
// later starts would take for the user's.
bool copyPanel(const QString &from, const QString &to)
{
    QTemporaryDir staging(to + QStringLiteral(".vanterel-copy-XXXXXX"));
    if (!staging.isValid() || !copyTree(from, staging.path()))
        return false;
    if (!QDir().rename(staging.path(), to))
        return false;
    staging.setAutoRemove(false);
    return true;
}

// Whether files can be made in the folder. Windows keeps write rights in
// access lists that QFileInfo does not read (it looks at the read-only
// flag alone), so there a file is made and removed to find out.
bool folderWritable(const QString &folder)
{
#ifdef Q_OS_WIN
    QTemporaryFile probe(folder + QStringLiteral("/.vanterel-probe-XXXXXX"));
    return probe.open();
#else
    return QFileInfo(folder).isWritable();
#endif
}

} // namespace

DataFolderPaths ThisProgramsPaths()
{
    DataFolderPaths paths;
    paths.programFolder = QCoreApplication::applicationDirPath();
    paths.installedBinFolder = QStringLiteral(VANTEREL_INSTALL_BINDIR);
    paths.userDataFolder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
#ifdef Q_OS_WIN
    // %APPDATA%\Vanterel, spelt as the program is: the folder follows the
    // user from machine to machine on a roaming profile.
    if (const QString appData = qEnvironmentVariable("APPDATA"); !appData.isEmpty())
        paths.userDataFolder = QDir::fromNativeSeparators(appData) + QStringLiteral("/Vanterel");
#endif
    // A package may be unpacked under another prefix than the one the
    // program was built for: the samples beside its own bin folder come first.
    const QString relative = paths.programFolder + QStringLiteral("/" VANTEREL_BIN_TO_DATADIR "/vanterel");
    const bool installedLayout = QFileInfo::exists(relative + QStringLiteral("/keys.sample.dat"));
    paths.sampleFolder
        = installedLayout ? QDir::cleanPath(relative) : QStringLiteral(VANTEREL_INSTALL_DATADIR "/vanterel");
#ifdef Q_OS_WIN
    // The installer lets the user choose the folder, so the prefix this build
    // was made for says nothing about where it was installed; the layout does.
    // A build folder and the portable zip (all in one folder) have no samples
    // in share\vanterel beside their own folder.
    if (installedLayout)
        paths.installedBinFolder = paths.programFolder;
#endif
    return paths;
}

DataFolder ChooseDataFolder(const DataFolderPaths &paths)
{
    // An installed program writes nothing beside itself even when it could:
    // root can write the prefix's bin folder, and files there would belong to
    // no user and go with the package. So that folder counts as read-only.
    const QString program = canonical(paths.programFolder);
    const bool installed = !program.isEmpty() && program == canonical(paths.installedBinFolder);
    if (!installed && folderWritable(paths.programFolder)) {
        // A portable copy comes with sample bindings instead of a keys.dat, so
        // that unpacking a newer copy over it keeps the user's bindings.
        DataFolder beside{paths.programFolder, true, {}, {}};
        const QString keys = paths.programFolder + QStringLiteral("/keys.dat");
        const QString sample = paths.programFolder + QStringLiteral("/keys.sample.dat");
        if (!QFileInfo::exists(keys) && QFileInfo::exists(sample)) {
            if (QFile::copy(sample, keys))
                beside.created.append(QStringLiteral("keys.dat"));
            else
                beside.problem = QStringLiteral("the sample keys.dat could not be copied from ") + sample;
        }
        return beside;
    }

    DataFolder result{paths.userDataFolder, false, {}, {}};
    if (!QDir().mkpath(paths.userDataFolder)) {
        result.problem = QStringLiteral("the folder could not be created");
        return result;
    }
    QStringList failed;
    const std::pair<QString, QString> pieces[]
        = {{QStringLiteral("htdocs"), paths.sampleFolder + QStringLiteral("/htdocs")},
           {QStringLiteral("keys.dat"), paths.sampleFolder + QStringLiteral("/keys.sample.dat")}};
    for (const auto &[name, sample] : pieces) {
        const QString target = result.folder + u'/' + name;
        if (QFileInfo::exists(target))
            continue;
        const QFileInfo from(sample);
        const bool copied
            = from.isDir() ? copyPanel(sample, target) : from.isFile() && QFile::copy(sample, target);
        (copied ? result.created : failed).append(name);
    }
    if (!failed.isEmpty())
        result.problem = QStringLiteral("the sample ") + failed.join(QStringLiteral(" and "))
            + QStringLiteral(" could not be copied from ") + paths.sampleFolder;
    return result;
}

QString DataFolder::logLine() const
{
    QString line = QStringLiteral("Files (keys.dat, Log.txt, htdocs) are in ") + folder
        + (besideProgram ? QStringLiteral(", beside the program")
                         : QStringLiteral(", the user's data folder"));
    if (!created.isEmpty())
        line += QStringLiteral("; this start put the sample ") + created.join(QStringLiteral(" and "))
            + QStringLiteral(" there");
    if (!problem.isEmpty())
        line += QStringLiteral("; ") + problem;
    return line;
}

} // namespace vanterel::app
