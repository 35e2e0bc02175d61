#pragma once

#include <QByteArray>
#include <QObject>

namespace snx {
struct ScannerConfig;
}

// Loads both engines' signatures in a thread of its own: once at start-up, and again when a
// signature file changed. The engines build a new set beside the one in use and switch to it
// when it is compiled, so a scan that runs meanwhile goes on with the old set.
class SignatureLoader : public QObject
{
    Q_OBJECT
public:
    explicit SignatureLoader(const snx::ScannerConfig &config, QObject *parent = nullptr);

public slots:
    // Reloads what changed since the last load; cheap when nothing did.
    void reloadChanged();

private:
    const QByteArray ahEngineDir;
    const QByteArray risDatabase;
};
