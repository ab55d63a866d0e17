#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tessaryn {

// Several boards are bridged by several instances, each under a name of its own: the MIDI
// client and its ports ("<name> Out", "<name> In"), the preferences folder and the lock that
// keeps a second instance of the same name out.
inline constexpr const char* kDefaultInstanceName = "Halvenor";

// Why `name` cannot name an instance, or none. Names become folder and file names, MIDI client
// names and JACK port names ("client:port"), so they are printable ASCII without '/' or ':',
// not "." or "..", without outer spaces, at most 40 characters.
std::optional<std::string> instanceNameProblem(std::string_view name);

// The default instance keeps Preferences::defaultDir(); another instance NAME uses
// defaultDir()/instances/NAME. `name` must be valid.
std::filesystem::path instanceConfigDir(std::string_view name);

// Held while an instance runs, headless or desktop, so that one name has one set of ports: an
// flock on "<name>.lock" in a folder only the user can enter ($XDG_RUNTIME_DIR/tessaryn, else
// /tmp/tessaryn-UID). The holder writes what it is into the file, so that a later launch can
// say who has the name. The system drops the lock when the process ends, however it ends.
class InstanceLock {
  public:
    enum class Kind { headless, desktop };

    // `runtimeDir` empty: $XDG_RUNTIME_DIR, or /tmp when it is unset. `name` must be valid.
    InstanceLock(std::string_view name, Kind kind, std::filesystem::path runtimeDir = {});
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    bool held() const { return fd_ >= 0; }
    // When not held: who has the name, if it has said so yet.
    std::optional<Kind> holder() const { return holder_; }
    // Why the lock is not held, naming the cause.
    const std::string& problem() const { return problem_; }
    // Beside the lock: where the desktop program listens for later launches.
    const std::filesystem::path& socketFile() const { return socket_; }

  private:
    int fd_ = -1;
    std::optional<Kind> holder_;
    std::string problem_;
    std::filesystem::path socket_;
};

}  // namespace tessaryn
