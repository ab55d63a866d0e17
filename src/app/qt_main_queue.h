#pragma once

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include "bridge/main_queue.h"

namespace tessaryn {

// The main queue as the Qt event loop of the GUI thread.
class QtMainQueue final : public MainQueue {
  public:
    void post(std::function<void()> task) override {
        QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(task),
                                  Qt::QueuedConnection);
    }

  protected:
    void schedule(std::chrono::microseconds delay, std::function<void()> task) override {
        const int ms = static_cast<int>((delay.count() + 999) / 1000);
        // Timers belong to the thread that starts them: start it on the GUI thread.
        post([ms, task = std::move(task)]() mutable {
            QTimer::singleShot(ms, QCoreApplication::instance(), std::move(task));
        });
    }
};

}  // namespace tessaryn
