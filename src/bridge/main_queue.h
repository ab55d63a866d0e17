#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

namespace tessaryn {

// A delayed task that can be cancelled before it runs; cancelling one that already ran is
// harmless.
class DelayedTask {
  public:
    void cancel() {
        if (cancelled_) cancelled_->store(true);
    }

  private:
    friend class MainQueue;
    std::shared_ptr<std::atomic<bool>> cancelled_;
};

// The thread that owns published state: the Qt event loop in the window, a RunLoop headless and
// in tests. post and postAfter may be called from any thread.
class MainQueue {
  public:
    virtual ~MainQueue() = default;
    virtual void post(std::function<void()> task) = 0;

    DelayedTask postAfter(std::chrono::microseconds delay, std::function<void()> task) {
        DelayedTask handle;
        handle.cancelled_ = std::make_shared<std::atomic<bool>>(false);
        schedule(delay, [flag = handle.cancelled_, task = std::move(task)] {
            if (!flag->load()) task();
        });
        return handle;
    }

  protected:
    virtual void schedule(std::chrono::microseconds delay, std::function<void()> task) = 0;
};

}  // namespace tessaryn
