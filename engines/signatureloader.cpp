#include "engines/signatureloader.h"

#include "core/scannerconfig.h"
#include "engines/enginelogs.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <avcore.h>
#include <lame.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {
const char *outcome(int reload)
{
    return reload > 0 ? "new set" : reload < 0 ? "none" : "unchanged";
}
} // namespace

SignatureLoader::SignatureLoader(const snx::ScannerConfig &config, QObject *parent)
    : QObject(parent), ahEngineDir(QFile::encodeName(config.ahEngineDir)),
      risDatabase(QFile::encodeName(config.risVirusDatabase))
{
    snx::routeEngineLogs();
    avcore_add_database_dir(ahEngineDir.constData(),
                            QFile::encodeName(config.ahUpdateDir).constData());
}

void SignatureLoader::reloadChanged()
{
    QElapsedTimer timer;
    timer.start();
    const int ah = avcore_reload_databases(ahEngineDir.constData());
    const int ris = lam_virdb_reload(risDatabase.constData());
    if (ah != 0 || ris != 0)
        qInfo() << "signatures loaded: ah" << outcome(ah) << "ris" << outcome(ris) << "in"
                << timer.elapsed() << "ms";
    // Later builds take seconds of processor time that running scans must not wait for; a nice
    // value yields to them without starving the build. The first load, which scans wait for,
    // keeps its share. (Qt's thread priorities do nothing for ordinary Linux threads.)
    static thread_local const bool niced = ::setpriority(PRIO_PROCESS, ::gettid(), 10) == 0;
    Q_UNUSED(niced);
}
