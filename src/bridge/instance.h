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

// Held while an instance runs: an flock on "<name>.lock" in a folder only the user can enter
// ($XDG_RUNTIME_DIR/tessaryn, else /tmp/tessaryn-UID). The system drops it when the process
// ends, however it ends.
class HeadlessLock {
  public:
    // `runtimeDir` empty: $XDG_RUNTIME_DIR, or /tmp when it is unset. `name` must be valid.
    explicit HeadlessLock(std::string_view name, std::filesystem::path runtimeDir = {});
    ~HeadlessLock();
    HeadlessLock(const HeadlessLock&) = delete;
    HeadlessLock& operator=(const HeadlessLock&) = delete;

    bool held() const { return fd_ >= 0; }
    // Why the lock is not held, naming the cause.
    const std::string& problem() const { return problem_; }

  private:
    int fd_ = -1;
    std::string problem_;
};

}  // namespace tessaryn
