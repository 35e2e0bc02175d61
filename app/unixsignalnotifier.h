#pragma once

#include <QObject>
#include <QVector>
#include <csignal>

class QSocketNotifier;

namespace snx {

// Turns Unix signals into a Qt signal, delivered by the event loop of the thread that made the
// notifier. The handler itself only writes the signal's number into a pipe, which is all a
// handler may safely do. One notifier per process; the destructor restores the previous
// dispositions.
class UnixSignalNotifier : public QObject
{
    Q_OBJECT
public:
    explicit UnixSignalNotifier(const QVector<int> &signalNumbers, QObject *parent = nullptr);
    ~UnixSignalNotifier() override;

    // False when the pipe could not be made; the signals then keep their dispositions.
    bool isValid() const { return notifier != nullptr; }

signals:
    void received(int signalNumber);

private:
    void drain();

    int readEnd = -1;
    QSocketNotifier *notifier = nullptr;
    QVector<int> numbers;
    QVector<struct sigaction> previous;
};

} // namespace snx
