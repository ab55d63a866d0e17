// Preloaded into a JACK program (LD_PRELOAD) to count the libjack calls that its process callbacks
// make beyond the port buffers, the MIDI events and the cycle clock: any of these may take a lock
// or walk the graph in some server's libjack. At exit it writes "process N, others M F" (callbacks
// seen, such calls made in them, the last one's function) to the file named by TESSARYN_JACK_CALLS.
#include <dlfcn.h>
#include <jack/jack.h>
#include <jack/metadata.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace {

thread_local bool inProcess = false;
std::atomic<unsigned long> processCalls{0}, otherCalls{0};
std::atomic<const char*> lastOther{""};

// The program opens libjack with the module that uses it, after this library: found by name.
template <typename F>
F real(const char* name) {
    void* next = ::dlsym(RTLD_NEXT, name);
    return reinterpret_cast<F>(
        next ? next : ::dlsym(::dlopen("libjack.so.0", RTLD_LAZY | RTLD_NOLOAD), name));
}

__attribute__((destructor)) void writeCounts() {
    const char* path = std::getenv("TESSARYN_JACK_CALLS");
    if (FILE* f = path ? std::fopen(path, "w") : nullptr) {
        std::fprintf(f, "process %lu, others %lu %s\n", processCalls.load(), otherCalls.load(),
                     lastOther.load());
        std::fclose(f);
    }
}

}  // namespace

#define COUNTED(ret, name, params, args)                        \
    extern "C" ret name params {                                \
        static const auto forward = real<ret(*) params>(#name); \
        if (inProcess) ++otherCalls, lastOther = #name;         \
        return forward args;                                    \
    }

using C = jack_client_t*;
using P = const jack_port_t*;
using S = const char*;
COUNTED(int, jack_port_connected, (P p), (p))
COUNTED(int, jack_port_connected_to, (P p, S n), (p, n))
COUNTED(const char**, jack_port_get_connections, (P p), (p))
COUNTED(const char**, jack_get_ports, (C c, S n, S t, unsigned long f), (c, n, t, f))
COUNTED(jack_port_t*, jack_port_by_name, (C c, S n), (c, n))
COUNTED(jack_port_t*, jack_port_by_id, (C c, jack_port_id_t id), (c, id))
COUNTED(S, jack_port_name, (P p), (p))
COUNTED(S, jack_port_short_name, (P p), (p))
COUNTED(int, jack_port_flags, (P p), (p))
COUNTED(jack_uuid_t, jack_port_uuid, (P p), (p))
COUNTED(int, jack_connect, (C c, S a, S b), (c, a, b))
COUNTED(int, jack_disconnect, (C c, S a, S b), (c, a, b))
COUNTED(int, jack_set_property, (C c, jack_uuid_t u, S k, S v, S t), (c, u, k, v, t))
COUNTED(void, jack_free, (void* p), (p))

// Wraps each process callback so that the calls made inside it are told apart.
extern "C" int jack_set_process_callback(jack_client_t* c, JackProcessCallback callback,
                                         void* arg) {
    static const auto forward =
        real<int (*)(jack_client_t*, JackProcessCallback, void*)>("jack_set_process_callback");
    using User = std::pair<JackProcessCallback, void*>;
    static User users[16];  // a test's few clients
    static std::atomic<int> made{0};
    User* user = &(users[made++ % 16] = {callback, arg});
    return forward(
        c,
        [](jack_nframes_t n, void* u) {
            const auto [callback, arg] = *static_cast<User*>(u);
            ++processCalls;
            inProcess = true;
            const int r = callback(n, arg);
            inProcess = false;
            return r;
        },
        user);
}
