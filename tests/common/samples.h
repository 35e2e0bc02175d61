#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace samples {

// The EICAR anti-virus test file: harmless, and detected by the starter signatures.
inline const QByteArray eicar =
    "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

bool write(const QString &path, const QByteArray &content);
// `count` small clean files named f00000... in `dir`, EICAR in those whose index is listed.
QStringList corpus(const QString &dir, int count, const QList<int> &infected = {}, int size = 512);

} // namespace samples
