#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGINT and SIGTERM, and SIGHUP apart from them, into Qt signals delivered by the event
// loop. The handler only writes
// one byte into a socket pair; everything else (saving, quitting) happens in the slot, where it
// is safe. Only one watcher may exist at a time.
class SignalWatcher : public QObject
{
    Q_OBJECT

public:
    explicit SignalWatcher(QObject *parent = nullptr);
    ~SignalWatcher() override;

    // False if the socket pair or the handlers could not be set up.
    bool isActive() const { return m_notifier != nullptr; }

Q_SIGNALS:
    // Fires once per signal received, with its number.
    void terminationRequested(int signalNumber);
    // Fires once per SIGHUP: read the configuration again.
    void reloadRequested();

private:
    void readSignal();

    QSocketNotifier *m_notifier = nullptr;
};
