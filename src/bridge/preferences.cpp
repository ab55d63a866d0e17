#include "bridge/preferences.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <system_error>

namespace tessaryn {

namespace fs = std::filesystem;

namespace {

constexpr off_t kMaxFileSize = 16 << 20;   // settings are a few KB; anything this big is not ours
constexpr const char* kDataTag = "$data";  // a data value is stored as {"$data": "<base64>"}
// Settings nest two levels; a deeper file is not ours. Writing or copying a value recurses once
// per level, so a file nested 100,000 deep would overflow the stack.
constexpr int kMaxDepth = 64;

// The value at `key` when it has the type `is` checks, else none.
template <typename T>
std::optional<T> typed(const nlohmann::json& values, std::string_view key,
                       bool (nlohmann::json::*is)() const noexcept) {
    auto it = values.find(key);
    if (it == values.end() || !((*it).*is)()) return std::nullopt;
    return it->get<T>();
}

const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64(std::string_view in) {
    std::string out;
    out.reserve((in.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(in[i]) << 16) |
                           (static_cast<unsigned char>(in[i + 1]) << 8) |
                           static_cast<unsigned char>(in[i + 2]);
        out += {kB64[v >> 18], kB64[(v >> 12) & 63], kB64[(v >> 6) & 63], kB64[v & 63]};
    }
    if (i + 1 == in.size()) {
        const unsigned v = static_cast<unsigned char>(in[i]) << 16;
        out += {kB64[v >> 18], kB64[(v >> 12) & 63], '=', '='};
    } else if (i + 2 == in.size()) {
        const unsigned v = (static_cast<unsigned char>(in[i]) << 16) |
                           (static_cast<unsigned char>(in[i + 1]) << 8);
        out += {kB64[v >> 18], kB64[(v >> 12) & 63], kB64[(v >> 6) & 63], '='};
    }
    return out;
}

std::optional<std::string> unbase64(std::string_view in) {
    if (in.size() % 4 != 0) return std::nullopt;
    std::string out;
    unsigned v = 0;
    int bits = 0;
    for (std::size_t i = 0; i < in.size(); ++i) {
        const char c = in[i];
        if (c == '=') {
            if (i + 2 < in.size()) return std::nullopt;
            break;
        }
        const char* p = std::char_traits<char>::find(kB64, 64, c);
        if (!p) return std::nullopt;
        v = (v << 6) | static_cast<unsigned>(p - kB64);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((v >> bits) & 0xFF);
        }
    }
    return out;
}

std::string errorText(int e) {
    return std::generic_category().message(e);
}

}  // namespace

fs::path Preferences::defaultDir() {
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/')
        return fs::path(xdg) / "tessaryn";
    const char* home = std::getenv("HOME");
    return fs::path(home && *home ? home : "/tmp") / ".config" / "tessaryn";
}

Preferences::Preferences(fs::path dir) : dir_(std::move(dir)), file_(dir_ / "preferences.json") {
    read(values_, problem_);
}

bool Preferences::read(nlohmann::json& into, std::string& problem) const {
    std::string text;
    // O_NONBLOCK: a FIFO in the file's place must not hang the program at start.
    const int fd = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    int error = fd < 0 ? errno : 0;
    if (error == ENOENT) {
        into = nlohmann::json::object();
        return true;
    }
    struct stat st {};
    if (!error && ::fstat(fd, &st) != 0) error = errno;
    if (!error && (!S_ISREG(st.st_mode) || st.st_size > kMaxFileSize)) {
        ::close(fd);
        problem = "Cannot read " + file_.string() +
                  (S_ISREG(st.st_mode) ? ": larger than 16 MiB" : ": not a regular file");
        return false;
    }
    for (char buf[4096]; !error;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0) break;
        if (n > 0) {
            text.append(buf, static_cast<std::size_t>(n));
        } else if (errno != EINTR) {
            error = errno;  // EISDIR for a directory in the file's place
        }
    }
    if (fd >= 0) ::close(fd);
    if (error) {
        problem = "Cannot read " + file_.string() + ": " + errorText(error);
        return false;
    }
    // The parser itself keeps its nesting on the heap; the callback only drops what is too deep
    // so that no deep value is ever built.
    bool tooDeep = false;
    const nlohmann::json::parser_callback_t limit = [&tooDeep](int depth, auto, auto&) {
        if (depth <= kMaxDepth) return true;
        tooDeep = true;
        return false;
    };
    nlohmann::json doc = nlohmann::json::parse(text, limit, false);
    if (doc.is_object() && !tooDeep) {
        into = std::move(doc);
        return true;
    }
    // Keep the damaged file for the user and start from the defaults.
    const auto stamp = std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
    const fs::path aside = dir_ / ("preferences.json.damaged-" + std::to_string(stamp));
    std::error_code ec;
    fs::rename(file_, aside, ec);
    if (ec) {
        problem = "Damaged preferences in " + file_.string() +
                  " could not be kept aside: " + ec.message();
        return false;
    }
    problem = "Damaged preferences kept as " + aside.string();
    into = nlohmann::json::object();
    return true;
}

void Preferences::reload() {
    nlohmann::json stored;
    std::string problem;
    if (!read(stored, problem)) return;  // keep what we had; the next save reports it
    for (const auto& [key, value] : changes_) apply(stored, key, value);
    values_ = std::move(stored);
}

void Preferences::apply(nlohmann::json& doc, const std::string& key,
                        const std::optional<nlohmann::json>& value) {
    if (value) {
        doc[key] = *value;
    } else {
        doc.erase(key);
    }
}

std::optional<bool> Preferences::boolean(std::string_view key) const {
    return typed<bool>(values_, key, &nlohmann::json::is_boolean);
}

std::optional<std::int64_t> Preferences::integer(std::string_view key) const {
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    if (it->is_number_unsigned()) {
        const auto u = it->get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
        return static_cast<std::int64_t>(u);
    }
    if (it->is_number_integer()) return it->get<std::int64_t>();
    // Other tools write whole numbers as 31250.0.
    if (it->is_number_float()) {
        const double d = it->get<double>();
        if (std::trunc(d) == d && d >= -0x1p63 && d < 0x1p63) return static_cast<std::int64_t>(d);
    }
    return std::nullopt;
}

std::optional<double> Preferences::real(std::string_view key) const {
    return typed<double>(values_, key, &nlohmann::json::is_number);
}

std::optional<std::string> Preferences::text(std::string_view key) const {
    return typed<std::string>(values_, key, &nlohmann::json::is_string);
}

std::optional<std::string> Preferences::data(std::string_view key) const {
    auto it = values_.find(key);
    if (it == values_.end() || !it->is_object() || it->size() != 1) return std::nullopt;
    auto tag = it->find(kDataTag);
    if (tag == it->end() || !tag->is_string()) return std::nullopt;
    return unbase64(tag->get_ref<const std::string&>());
}

bool Preferences::contains(std::string_view key) const {
    return values_.contains(key);
}

void Preferences::setBoolean(std::string_view key, bool value) {
    put(key, value);
}
void Preferences::setInteger(std::string_view key, std::int64_t value) {
    put(key, value);
}
void Preferences::setReal(std::string_view key, double value) {
    // JSON has no NaN or infinity; such a value is stored as absent rather than as garbage.
    if (!std::isfinite(value)) {
        remove(key);
        return;
    }
    put(key, value);
}
void Preferences::setText(std::string_view key, std::string_view value) {
    put(key, std::string(value));
}
void Preferences::setData(std::string_view key, std::string_view bytes) {
    put(key, nlohmann::json{{kDataTag, base64(bytes)}});
}

void Preferences::remove(std::string_view key) {
    auto it = values_.find(key);
    if (it == values_.end()) return;
    values_.erase(it);
    changes_[std::string(key)] = std::nullopt;
    if (batchDepth_ == 0) save();
}

void Preferences::put(std::string_view key, nlohmann::json value) {
    auto it = values_.find(key);
    // A double 1.0 and an integer 1 compare equal in JSON; keep the type that was written.
    if (it != values_.end() && *it == value && it->type() == value.type()) return;
    values_[std::string(key)] = value;
    changes_[std::string(key)] = std::move(value);
    if (batchDepth_ == 0) save();
}

void Preferences::save() {
    if (changes_.empty()) return;
    std::error_code ec;
    fs::create_directories(dir_, ec);
    // Writers in two processes take turns. Each reads the file again under the lock and writes
    // back only its own changes, so keys another process wrote meanwhile survive.
    const int lock = ::open((dir_ / ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock >= 0) ::flock(lock, LOCK_EX);
    saveProblem_.clear();
    nlohmann::json merged;
    if (std::string problem; !read(merged, problem)) {  // never write over what we could not read
        saveProblem_ = std::move(problem);
        if (lock >= 0) ::close(lock);
        return;
    }
    for (const auto& [key, value] : changes_) apply(merged, key, value);
    const fs::path tmp = dir_ / ("preferences.json.tmp-" + std::to_string(::getpid()));
    const std::string text =
        merged.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool ok = fd >= 0;
    if (ok) {
        std::size_t off = 0;
        while (ok && off < text.size()) {
            const ssize_t n = ::write(fd, text.data() + off, text.size() - off);
            if (n < 0 && errno == EINTR) continue;
            ok = n > 0;
            if (ok) off += static_cast<std::size_t>(n);
        }
        ok = ok && ::fsync(fd) == 0;
        ok = (::close(fd) == 0) && ok;
    }
    if (ok) ok = ::rename(tmp.c_str(), file_.c_str()) == 0;
    if (!ok) {
        saveProblem_ = "Cannot save " + file_.string() + ": " + errorText(errno);
        ::unlink(tmp.c_str());
    } else {
        values_ = std::move(merged);
        changes_.clear();
        if (const int d = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); d >= 0) {
            ::fsync(d);  // the rename itself survives a power cut
            ::close(d);
        }
    }
    if (lock >= 0) ::close(lock);
}

}  // namespace tessaryn
