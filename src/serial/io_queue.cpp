#include "serial/io_queue.h"
#include "serial/realtime.h"

#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <future>
#include <mutex>
#include <queue>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

namespace tessaryn {

namespace {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC, as the timerfd

constexpr std::uint64_t kWakeTag = 0;
constexpr std::uint64_t kTimerTag = 1;
constexpr std::uint64_t kFirstSourceTag = 2;

int checked(int r, const char* what) {
    if (r < 0) throw std::system_error(errno, std::generic_category(), what);
    return r;
}

struct Source final : IoQueue::ReadSource, std::enable_shared_from_this<Source> {
    std::weak_ptr<IoQueue::Impl> queue;
    std::uint64_t tag = 0;
    int fd = -1;
    IoQueue::Block onEvent;
    IoQueue::Block onCancel;
    IoQueue::Block onWritable;
    std::atomic<bool> cancelled{false};
    bool writable = false;  // watched for room to write; queue thread only
    void cancel() override;
    void watchWritable(bool on) override;
};

struct Timer {
    Clock::time_point due;
    std::uint64_t seq;
    IoQueue::Block block;
    bool operator>(const Timer& o) const { return due != o.due ? due > o.due : seq > o.seq; }
};

}  // namespace

struct IoQueue::Impl : std::enable_shared_from_this<IoQueue::Impl> {
    std::string label;
    int epoll = -1, wake = -1, timer = -1;
    std::thread thread;
    std::thread::id threadId;

    std::mutex m;  // guards everything below
    std::deque<Block> posted;
    std::priority_queue<Timer, std::vector<Timer>, std::greater<>> timers;
    std::uint64_t timerSeq = 0;
    Clock::time_point armed = Clock::time_point::max();
    std::unordered_map<std::uint64_t, std::shared_ptr<Source>> sources;
    std::uint64_t nextTag = kFirstSourceTag;
    bool stopping = false;

    ~Impl() {
        for (int fd : {epoll, wake, timer}) {
            if (fd >= 0) ::close(fd);
        }
    }

    void post(Block b) {
        bool first;
        {
            std::lock_guard lock(m);
            first = posted.empty();
            posted.push_back(std::move(b));
        }
        // Blocks posted behind one not yet taken ride on its wake-up: the thread takes all.
        if (first) poke();
    }

    void poke() const {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wake, &one, sizeof one);
    }

    // Called with m held.
    void armFor(Clock::time_point due) {
        if (due >= armed) return;
        armed = due;
        const auto ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(due.time_since_epoch()).count();
        itimerspec when{};
        when.it_value.tv_sec = ns / 1000000000;
        when.it_value.tv_nsec = ns % 1000000000;
        if (when.it_value.tv_sec == 0 && when.it_value.tv_nsec == 0) when.it_value.tv_nsec = 1;
        ::timerfd_settime(timer, TFD_TIMER_ABSTIME, &when, nullptr);
    }

    void run() {
        // The default 50 us slack would stretch every 320 us pacing step.
        ::prctl(PR_SET_TIMERSLACK, 1UL);
        // Shown by top -H and gdb.
        ::pthread_setname_np(::pthread_self(), label.substr(0, 15).c_str());
        askRealtime(kRealtimePriority);
        std::vector<epoll_event> events(16);
        std::vector<std::pair<std::shared_ptr<Source>, std::uint32_t>> ready;
        std::deque<Block> blocks;
        for (;;) {
            const int n = ::epoll_wait(epoll, events.data(), static_cast<int>(events.size()), -1);
            if (n < 0) {
                if (errno == EINTR) continue;
                break;
            }
            bool timerFired = false;
            ready.clear();
            {
                std::lock_guard lock(m);
                for (int i = 0; i < n; ++i) {
                    const std::uint64_t tag = events[i].data.u64;
                    if (tag == kWakeTag) {
                        std::uint64_t count;
                        [[maybe_unused]] ssize_t r = ::read(wake, &count, sizeof count);
                    } else if (tag == kTimerTag) {
                        std::uint64_t count;
                        [[maybe_unused]] ssize_t r = ::read(timer, &count, sizeof count);
                        timerFired = true;
                    } else if (auto it = sources.find(tag); it != sources.end()) {
                        ready.emplace_back(it->second, std::uint32_t{events[i].events});
                    }
                }
            }
            for (const auto& [s, what] : ready) {
                if ((what & EPOLLOUT) && !s->cancelled.load(std::memory_order_acquire))
                    s->onWritable();
                if ((what & ~EPOLLOUT) && !s->cancelled.load(std::memory_order_acquire))
                    s->onEvent();
            }
            ready.clear();
            {
                std::lock_guard lock(m);
                blocks.swap(posted);
            }
            while (!blocks.empty()) {
                Block b = std::move(blocks.front());
                blocks.pop_front();
                b();
            }
            if (timerFired) runDueTimers();
            std::lock_guard lock(m);
            if (stopping && posted.empty()) break;
        }
        shutDown();
    }

    void runDueTimers() {
        for (;;) {
            Block due;
            {
                std::lock_guard lock(m);
                armed = Clock::time_point::max();
                if (timers.empty()) return;
                if (timers.top().due > Clock::now()) {
                    armFor(timers.top().due);
                    return;
                }
                due = std::move(const_cast<Timer&>(timers.top()).block);
                timers.pop();
            }
            due();
        }
    }

    void shutDown() {
        std::unordered_map<std::uint64_t, std::shared_ptr<Source>> live;
        {
            std::lock_guard lock(m);
            live.swap(sources);
            timers = {};
        }
        for (auto& [tag, s] : live) {
            if (!s->cancelled.exchange(true)) {
                ::epoll_ctl(epoll, EPOLL_CTL_DEL, s->fd, nullptr);
                if (s->onCancel) s->onCancel();
            }
        }
    }

    void removeSource(const std::shared_ptr<Source>& s) {
        ::epoll_ctl(epoll, EPOLL_CTL_DEL, s->fd, nullptr);
        {
            std::lock_guard lock(m);
            sources.erase(s->tag);
        }
        if (s->onCancel) s->onCancel();
    }
};

void Source::cancel() {
    if (cancelled.exchange(true, std::memory_order_acq_rel)) return;
    auto q = queue.lock();
    if (!q) return;
    auto self = shared_from_this();
    q->post([q = q.get(), self] { q->removeSource(self); });
}

void Source::watchWritable(bool on) {
    if (on == writable || !onWritable || cancelled.load(std::memory_order_acquire)) return;
    auto q = queue.lock();
    if (!q) return;
    writable = on;
    epoll_event ev{};
    ev.events = on ? EPOLLIN | EPOLLOUT : EPOLLIN;
    ev.data.u64 = tag;
    ::epoll_ctl(q->epoll, EPOLL_CTL_MOD, fd, &ev);
}

IoQueue::IoQueue(std::string label) : impl_(std::make_shared<Impl>()) {
    impl_->label = std::move(label);
    impl_->epoll = checked(::epoll_create1(EPOLL_CLOEXEC), "epoll_create1");
    impl_->wake = checked(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK), "eventfd");
    impl_->timer =
        checked(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK), "timerfd_create");
    for (auto [fd, tag] : {std::pair{impl_->wake, kWakeTag}, std::pair{impl_->timer, kTimerTag}}) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = tag;
        checked(::epoll_ctl(impl_->epoll, EPOLL_CTL_ADD, fd, &ev), "epoll_ctl");
    }
    impl_->thread = std::thread([impl = impl_] { impl->run(); });
    impl_->threadId = impl_->thread.get_id();
}

IoQueue::~IoQueue() {
    {
        std::lock_guard lock(impl_->m);
        impl_->stopping = true;
    }
    impl_->poke();
    if (std::this_thread::get_id() == impl_->threadId) {
        impl_->thread.detach();  // the thread holds the state alive until it ends
    } else {
        impl_->thread.join();
    }
}

void IoQueue::async(Block block) {
    impl_->post(std::move(block));
}

void IoQueue::sync(const Block& block) {
    if (isCurrent()) {
        block();
        return;
    }
    // The promise lives on the heap: the queue may still be inside set_value when wait returns,
    // and must not touch this frame then.
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    async([&block, done] {
        block();
        done->set_value();
    });
    finished.wait();
}

void IoQueue::asyncAfter(std::chrono::microseconds delay, Block block) {
    std::lock_guard lock(impl_->m);
    const auto due = Clock::now() + delay;
    impl_->timers.push(Timer{due, impl_->timerSeq++, std::move(block)});
    impl_->armFor(due);
}

std::shared_ptr<IoQueue::ReadSource> IoQueue::addReadSource(int fd, Block onEvent, Block onCancel,
                                                            Block onWritable) {
    auto s = std::make_shared<Source>();
    s->queue = impl_;
    s->fd = fd;
    s->onEvent = std::move(onEvent);
    s->onCancel = std::move(onCancel);
    s->onWritable = std::move(onWritable);
    {
        std::lock_guard lock(impl_->m);
        s->tag = impl_->nextTag++;
        impl_->sources.emplace(s->tag, s);
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = s->tag;
    if (::epoll_ctl(impl_->epoll, EPOLL_CTL_ADD, fd, &ev) < 0) {
        const int e = errno;
        std::lock_guard lock(impl_->m);
        impl_->sources.erase(s->tag);
        throw std::system_error(e, std::generic_category(), "epoll_ctl");
    }
    return s;
}

bool IoQueue::isCurrent() const {
    return std::this_thread::get_id() == impl_->threadId;
}

}  // namespace tessaryn
