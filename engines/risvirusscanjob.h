#pragma once

#include "engines/virusscanjob.h"

// Scans a task with the Ris engine, in a thread of its own.
class RisVirusScanJob : public VirusScanJob
{
    Q_OBJECT
public:
    explicit RisVirusScanJob(const snx::ScannerConfig &config, QObject *parent = nullptr);

protected:
    std::unique_ptr<EngineHandle> openEngine() override;
    ScanOutcome scanFile(EngineHandle &engine, int fd, const QByteArray &nativePath) override;

private:
    const QByteArray databasePath;
};
