#pragma once

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>

namespace tessaryn {

// Below JACK's own threads (which default to 70 and above), above everything at normal priority.
constexpr int kRealtimePriority = 20;

// Asks realtime scheduling for the calling thread, so that a busy desktop does not delay MIDI:
// allowed where the user's limits grant a realtime priority (RLIMIT_RTPRIO, which Debian gives
// the audio group in /etc/security/limits.d) or to a privileged process. Otherwise the thread
// quietly goes on at normal priority.
inline void askRealtime(int priority) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        limit.rlim_cur > 0)
        priority = std::min(priority, static_cast<int>(limit.rlim_cur));
    sched_param p{};
    p.sched_priority = priority;
    ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &p);
}

}  // namespace tessaryn
