#pragma once

#include <QObject>
#include <functional>
#include <memory>

class QSocketNotifier;

// Turns SIGTERM and SIGINT into a call on the event loop (self-pipe), so the
// program ends through its normal exit steps instead of dying mid-write.
class TSignalWatcher : public QObject {
public:
    explicit TSignalWatcher(std::function<void(int signal)> onSignal, QObject* parent = nullptr);
    ~TSignalWatcher() override;

private:
    void Drain();

    std::function<void(int)> m_onSignal;
    std::unique_ptr<QSocketNotifier> m_notifier;
};
