// Turns the signals that ask a program to end (SIGTERM, SIGINT, SIGHUP) into a Qt signal on the
// user-interface thread, so the program ends through its normal shutdown and saves the profile.
#pragma once

#include <QObject>
#include <memory>

class QSocketNotifier;

namespace tavik {

// While an object lives, the three signals are caught: the handler only writes the signal's
// number into a pipe, and a QSocketNotifier on the other end emits shutdownRequested in the event
// loop. One object at a time; its destruction restores the previous handlers.
class ShutdownSignals : public QObject {
    Q_OBJECT
public:
    explicit ShutdownSignals(QObject* parent = nullptr);
    ~ShutdownSignals() override;

    // True when the handlers are installed (the pipe could be made).
    bool isActive() const { return active_; }

signals:
    // A signal arrived; `signalNumber` says which.
    void shutdownRequested(int signalNumber);

private:
    void readPipe();

    bool active_ = false;
    QSocketNotifier* notifier_ = nullptr;
};

} // namespace tavik
