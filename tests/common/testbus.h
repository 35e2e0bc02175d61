#pragma once

#include <QProcess>
#include <QString>

// A private dbus-daemon for one test program. Starting it points DBUS_SYSTEM_BUS_ADDRESS (or
// DBUS_SESSION_BUS_ADDRESS) at it, so the code under test never touches the machine's buses.
class TestBus
{
public:
    enum Kind { System, Session };
    explicit TestBus(Kind busKind = System) : kind(busKind) {}
    ~TestBus();

    // False when no dbus-daemon can be started; the test should then skip.
    bool start();
    QString address() const { return busAddress; }

private:
    Kind kind;
    QProcess daemon;
    QString busAddress;
};
