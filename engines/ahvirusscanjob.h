#pragma once

#include "engines/virusscanjob.h"

// Scans a task with the Ah engine, in a thread of its own.
class AhVirusScanJob : public VirusScanJob
{
    Q_OBJECT
public:
    explicit AhVirusScanJob(const snx::ScannerConfig &config, QObject *parent = nullptr);

protected:
    std::unique_ptr<EngineHandle> openEngine() override;
    ScanOutcome scanFile(EngineHandle &engine, int fd, const QByteArray &nativePath) override;
    void noteOutcome(const QString &filepath, const ScanOutcome &outcome) override;

private:
    const QByteArray engineDir;
};
