#pragma once

#include <QString>
#include <QStringList>

namespace vanterel::app {

// What decides where keys.dat, Log.txt and htdocs live.
struct DataFolderPaths {
    // The folder of the executable.
    QString programFolder;
    // The bin folder of the prefix the program was built to be installed in.
    QString installedBinFolder;
    // The user's own folder for the program's data.
    QString userDataFolder;
    // Where an installed program keeps its sample panel (htdocs) and sample
    // bindings (keys.sample.dat).
    QString sampleFolder;
};

// The paths of this program for the user who runs it.
DataFolderPaths ThisProgramsPaths();

// Where the files live, and what finding that place did.
struct DataFolder {
    // keys.dat, Log.txt and htdocs lie in this folder.
    QString folder;
    // Beside the executable rather than in the user's data folder.
    bool besideProgram = true;
    // What this start put into the user's data folder ("htdocs", "keys.dat").
    QStringList created;
    // Why the folder or a sample could not be made; empty when all went well.
    QString problem;

    // The event log's line about it.
    QString logLine() const;
};

// A program that can write beside itself (a build tree, an unpacked folder)
// keeps its files there, and makes its keys.dat from a keys.sample.dat beside
// it when it has none (the portable zip). An installed one keeps them in the user's data
// folder; the first start there creates the folder and copies the sample
// panel and bindings into it. A keys.dat or htdocs already there is kept.
DataFolder ChooseDataFolder(const DataFolderPaths &paths);

} // namespace vanterel::app
