#pragma once

#include <QObject>

class QSocketNotifier;

namespace Platform {

// Turns SIGTERM and SIGINT (how a desktop session or a terminal ends a
// program) into a Qt signal on the event loop, so the program can end in
// order. The handler only writes the signal number into a socket pair; the
// notifier on the other end emits. One object at a time; the destructor puts
// the default handlers back.
class TerminationSignals : public QObject
{
    Q_OBJECT

public:
    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;

    bool isActive() const { return m_notifier != nullptr; }

signals:
    void terminationRequested(int signalNumber);

private:
    void readSignal();

    QSocketNotifier *m_notifier = nullptr;
};

} // namespace Platform
