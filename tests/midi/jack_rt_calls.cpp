// Preloaded into a JACK program (LD_PRELOAD) to count the libjack calls that its process callbacks
// make beyond the port buffers, the MIDI events and the cycle clock: any of these may take a lock
// or walk the graph in some server's libjack. At exit it writes "process N" (callbacks seen) and
// "<function> N" for each such function called there to the file named by TESSARYN_JACK_CALLS.
#include <dlfcn.h>
#include <jack/jack.h>
#include <jack/metadata.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {

thread_local bool inProcess = false;
std::atomic<unsigned long> processCalls{0};

struct Counter {
    const char* name;
    std::atomic<unsigned long> calls{0};
};
Counter* counters[64];
int counted = 0;

// One per function, made before main: the table is complete before any thread runs.
struct Registered : Counter {
    explicit Registered(const char* n) : Counter{n} { counters[counted++] = this; }
};

// The program opens libjack with the module that uses it, after this library: found by name.
template <typename F>
F real(const char* name) {
    void* next = ::dlsym(RTLD_NEXT, name);
    return reinterpret_cast<F>(
        next ? next : ::dlsym(::dlopen("libjack.so.0", RTLD_LAZY | RTLD_NOLOAD), name));
}

__attribute__((destructor)) void writeCounts() {
    const char* path = std::getenv("TESSARYN_JACK_CALLS");
    FILE* f = path ? std::fopen(path, "w") : nullptr;
    if (!f) return;
    std::fprintf(f, "process %lu\n", processCalls.load());
    for (int i = 0; i < counted; ++i)
        if (counters[i]->calls)
            std::fprintf(f, "%s %lu\n", counters[i]->name, counters[i]->calls.load());
    std::fclose(f);
}

}  // namespace

#define COUNTED(ret, name, params, args)                        \
    namespace {                                                 \
    Registered name##Counter{#name};                            \
    }                                                           \
    extern "C" ret name params {                                \
        static const auto forward = real<ret(*) params>(#name); \
        if (inProcess) ++name##Counter.calls;                   \
        return forward args;                                    \
    }

COUNTED(int, jack_port_connected, (const jack_port_t* p), (p))
COUNTED(int, jack_port_connected_to, (const jack_port_t* p, const char* n), (p, n))
COUNTED(const char**, jack_port_get_connections, (const jack_port_t* p), (p))
COUNTED(const char**, jack_port_get_all_connections, (const jack_client_t* c, const jack_port_t* p),
        (c, p))
COUNTED(const char**, jack_get_ports,
        (jack_client_t * c, const char* n, const char* t, unsigned long f), (c, n, t, f))
COUNTED(jack_port_t*, jack_port_by_name, (jack_client_t * c, const char* n), (c, n))
COUNTED(jack_port_t*, jack_port_by_id, (jack_client_t * c, jack_port_id_t id), (c, id))
COUNTED(const char*, jack_port_name, (const jack_port_t* p), (p))
COUNTED(const char*, jack_port_short_name, (const jack_port_t* p), (p))
COUNTED(int, jack_port_flags, (const jack_port_t* p), (p))
COUNTED(const char*, jack_port_type, (const jack_port_t* p), (p))
COUNTED(jack_uuid_t, jack_port_uuid, (const jack_port_t* p), (p))
COUNTED(int, jack_connect, (jack_client_t * c, const char* a, const char* b), (c, a, b))
COUNTED(int, jack_disconnect, (jack_client_t * c, const char* a, const char* b), (c, a, b))
COUNTED(jack_port_t*, jack_port_register,
        (jack_client_t * c, const char* n, const char* t, unsigned long f, unsigned long s),
        (c, n, t, f, s))
COUNTED(int, jack_port_unregister, (jack_client_t * c, jack_port_t* p), (c, p))
COUNTED(int, jack_set_property,
        (jack_client_t * c, jack_uuid_t s, const char* k, const char* v, const char* t),
        (c, s, k, v, t))
COUNTED(int, jack_get_property, (jack_uuid_t s, const char* k, char** v, char** t), (s, k, v, t))
COUNTED(char*, jack_get_client_name, (jack_client_t * c), (c))
COUNTED(jack_nframes_t, jack_get_buffer_size, (jack_client_t * c), (c))
COUNTED(jack_nframes_t, jack_get_sample_rate, (jack_client_t * c), (c))
COUNTED(float, jack_cpu_load, (jack_client_t * c), (c))
COUNTED(int, jack_activate, (jack_client_t * c), (c))
COUNTED(int, jack_deactivate, (jack_client_t * c), (c))
COUNTED(int, jack_client_close, (jack_client_t * c), (c))
COUNTED(void, jack_free, (void* p), (p))
COUNTED(void, jack_port_get_latency_range,
        (jack_port_t * p, jack_latency_callback_mode_t m, jack_latency_range_t* r), (p, m, r))
COUNTED(int, jack_recompute_total_latencies, (jack_client_t * c), (c))
COUNTED(jack_transport_state_t, jack_transport_query, (const jack_client_t* c, jack_position_t* p),
        (c, p))

// Wraps each process callback so that the calls made inside it are told apart.
extern "C" int jack_set_process_callback(jack_client_t* c, JackProcessCallback callback,
                                         void* arg) {
    static const auto forward =
        real<int (*)(jack_client_t*, JackProcessCallback, void*)>("jack_set_process_callback");
    struct User {
        JackProcessCallback callback;
        void* arg;
    };
    return forward(
        c,
        [](jack_nframes_t n, void* user) {
            const auto* u = static_cast<User*>(user);
            ++processCalls;
            inProcess = true;
            const int r = u->callback(n, u->arg);
            inProcess = false;
            return r;
        },
        new User{callback, arg});  // lives as long as the program: a test's few clients
}
