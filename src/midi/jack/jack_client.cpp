#include "midi/jack/jack_client.h"

#include <dlfcn.h>
#include <jack/metadata.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string_view>

namespace tessaryn {

bool pipeWireJack() {
    Dl_info info{};
    return ::dladdr(reinterpret_cast<void*>(&jack_client_open), &info) != 0 && info.dli_fname &&
           std::string_view(info.dli_fname).find("pipewire") != std::string_view::npos;
}

void setPipeWireNodeProperties() {
    if (pipeWireJack())
        ::setenv("PIPEWIRE_PROPS",
                 "{ media.type = Midi node.always-process = false node.lock-quantum = false }", 0);
}

std::string openProblem(const std::string& name, jack_status_t status) {
    if (status & JackServerFailed) {
        if (pipeWireJack())
            return "PipeWire is not running, and this program uses PipeWire's JACK; start it "
                   "with `systemctl --user start pipewire wireplumber`";
        const char* server = std::getenv("JACK_DEFAULT_SERVER");
        return std::string("No JACK server") +
               (server && *server ? std::string(" named \"") + server + "\"" : std::string()) +
               " is running; start one with `jackd -d alsa` or use PipeWire's JACK";
    }
    // jackd2 answers a name that is taken with a plain server error.
    if (status & (JackNameNotUnique | JackServerError))
        return "Cannot open the JACK client \"" + name +
               "\": the server refused it (a client of that name may be running already; "
               "give this instance another --name)";
    char code[16];
    std::snprintf(code, sizeof code, "0x%x", static_cast<unsigned>(status));
    return "Cannot open the JACK client \"" + name + "\" (JACK status " + code + ")";
}

bool nameTaken(jack_client_t* c, const std::string& name) {
    const char** all = jack_get_ports(c, nullptr, nullptr, 0);
    bool taken = false;
    for (const char** p = all; p && *p && !taken; ++p)
        taken = std::string_view(*p).starts_with(name + ":");
    jack_free(all);
    return taken;
}

jack_port_t* registerMIDIPort(jack_client_t* c, const std::string& port, unsigned long flags,
                              const char* pretty) {
    jack_port_t* p = jack_port_register(c, port.c_str(), JACK_DEFAULT_MIDI_TYPE, flags, 0);
    if (p) jack_set_property(c, jack_port_uuid(p), JACK_METADATA_PRETTY_NAME, pretty, nullptr);
    return p;
}

std::vector<MIDIService::Endpoint> otherMIDIPorts(jack_client_t* c, const std::string& self,
                                                  unsigned long flags,
                                                  std::map<std::int32_t, std::string>* names) {
    std::vector<MIDIService::Endpoint> out;
    const char** all = jack_get_ports(c, nullptr, JACK_DEFAULT_MIDI_TYPE, 0);
    if (!all) return out;
    struct Port {
        std::string full, client, shortName;
        unsigned long flags;
    };
    std::vector<Port> ports;
    std::set<std::string> instances{self};
    for (const char** p = all; *p; ++p) {
        jack_port_t* port = jack_port_by_name(c, *p);
        if (!port) continue;
        const std::string full = *p;
        const std::string shortName = jack_port_short_name(port);
        if (full.size() <= shortName.size()) continue;
        std::string client = full.substr(0, full.size() - shortName.size() - 1);
        const auto portFlags = static_cast<unsigned long>(jack_port_flags(port));
        // Another instance: a board's port named after its client. Either one: another client
        // may see an instance's "Out" before its "In" (PipeWire announces them one by one).
        const unsigned long board = JackPortIsPhysical | JackPortIsTerminal;
        const char* side = (portFlags & JackPortIsInput) ? " In" : " Out";
        if (shortName == client + side && (portFlags & board) == board) instances.insert(client);
        ports.push_back({full, std::move(client), shortName, portFlags});
    }
    jack_free(all);
    for (const auto& p : ports) {
        if ((p.flags & flags) != flags || instances.count(p.client)) continue;
        const std::int32_t id = stableEndpointID(p.client, p.shortName, 0);
        out.push_back({id, p.full});
        if (names) (*names)[id] = p.full;
    }
    return out;
}

Fd::~Fd() {
    if (fd_ >= 0) ::close(fd_);
}

ServerWatch::ServerWatch() : fd_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {}

void ServerWatch::arm() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    for (const char* dir : {"/dev/shm", runtime ? runtime : ""})
        if (*dir) watches_.push_back(::inotify_add_watch(fd_.get(), dir, IN_CREATE | IN_MOVED_TO));
}

void ServerWatch::disarm() {
    for (int w : watches_) ::inotify_rm_watch(fd_.get(), w);
    watches_.clear();
}

bool ServerWatch::serverAppeared() {
    alignas(inotify_event) char buffer[4096];
    bool seen = false;
    for (;;) {
        const ssize_t n = ::read(fd_.get(), buffer, sizeof buffer);
        if (n <= 0) return seen;
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
            const std::string_view file = e->len ? e->name : "";
            if (file.starts_with("jack_") || file.starts_with("pipewire-")) seen = true;
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
    }
}

}  // namespace tessaryn
