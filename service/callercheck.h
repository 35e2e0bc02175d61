#pragma once

#include "core/scannerconfig.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <string_view>

namespace snx {

struct CallerVerdict
{
    bool allowed = false;
    QString errorText; // what the refused caller is told
};

// Decides from the caller's /proc entries whether a process may steer the service: same mount
// namespace as the reference process, libraries only from the permitted roots, and one of the
// allowed executables. Reads files only; starts no process.
class CallerCheck
{
public:
    explicit CallerCheck(const ScannerConfig &config);

    CallerVerdict check(uint pid) const;

    // The pieces of the decision, each over text that the check would read.
    static QString namespaceIdentity(const QString &link);
    bool librariesPermitted(const QByteArray &mapsText) const;
    // False when the file cannot be opened or read to its end.
    static bool readProcFile(const QString &path, QByteArray &text);

    static QString illegalCallText();
    static QString notAllowedText(uint pid, const QString &executable);

private:
    QString procPath(uint pid, const char *entry) const;
    QString executableOf(uint pid) const;
    bool libraryPermitted(std::string_view path) const;
    bool underPermittedRoot(std::string_view first, std::string_view second) const;

    QString procRoot;
    QString referencePid;
    QStringList allowedCallers;
    QByteArray encodedLookupRoot;
    QList<QByteArray> encodedLibraryRoots;
};

} // namespace snx
