#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>

namespace snx {

// Sends SendDissectionProgInfo, one per scanned file, as a bus message built here. The relay
// through the adaptor took the signal apart into variants by its meta-method and had the bus
// thread look up interface and member and hunt the object tree for every file. The message
// takes the same queue to the bus thread as every signal and reply of the service, so it
// keeps its place among them.
class ProgressSignal
{
public:
    ProgressSignal(const QDBusConnection &bus, const QString &path, const QString &interfaceName);

    void send(const QString &path, double process, int type, const QString &vname);

private:
    QDBusConnection connection;
    const QString objectPath;
    const QString interface;
};

} // namespace snx
