#include "bridge/preferences.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>

namespace tessaryn {

namespace fs = std::filesystem;

namespace {

constexpr const char* kDataTag = "$data";  // a data value is stored as {"$data": "<base64>"}

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
    std::ifstream in(file_, std::ios::binary);
    if (!in) {
        if (errno != ENOENT) {
            writable_ = false;  // never write over a file we could not read
            problem_ = "Cannot read " + file_.string() + ": " + errorText(errno);
        }
        return;
    }
    std::stringstream text;
    text << in.rdbuf();
    nlohmann::json doc = nlohmann::json::parse(text.str(), nullptr, false);
    if (doc.is_object()) {
        values_ = std::move(doc);
        return;
    }
    // Keep the damaged file for the user and start from the defaults.
    const auto stamp = std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
    const fs::path aside = dir_ / ("preferences.json.damaged-" + std::to_string(stamp));
    std::error_code ec;
    fs::rename(file_, aside, ec);
    if (ec) {
        writable_ = false;
        problem_ = "Damaged preferences in " + file_.string() +
                   " could not be kept aside: " + ec.message();
    } else {
        problem_ = "Damaged preferences kept as " + aside.string();
    }
}

std::optional<bool> Preferences::boolean(std::string_view key) const {
    auto it = values_.find(key);
    if (it == values_.end() || !it->is_boolean()) return std::nullopt;
    return it->get<bool>();
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
    return std::nullopt;
}

std::optional<double> Preferences::real(std::string_view key) const {
    auto it = values_.find(key);
    if (it == values_.end() || !it->is_number()) return std::nullopt;
    return it->get<double>();
}

std::optional<std::string> Preferences::text(std::string_view key) const {
    auto it = values_.find(key);
    if (it == values_.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
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
    dirty_ = true;
    if (batchDepth_ == 0) save();
}

void Preferences::put(std::string_view key, nlohmann::json value) {
    auto it = values_.find(key);
    // A double 1.0 and an integer 1 compare equal in JSON; keep the type that was written.
    if (it != values_.end() && *it == value && it->type() == value.type()) return;
    values_[std::string(key)] = std::move(value);
    dirty_ = true;
    if (batchDepth_ == 0) save();
}

void Preferences::save() {
    dirty_ = false;
    if (!writable_) return;
    std::error_code ec;
    fs::create_directories(dir_, ec);
    // Writers in two processes take turns; each writes a whole file and renames it in place.
    const int lock = ::open((dir_ / ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock >= 0) ::flock(lock, LOCK_EX);
    const fs::path tmp = dir_ / ("preferences.json.tmp-" + std::to_string(::getpid()));
    const std::string text =
        values_.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    saveProblem_.clear();
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
    } else if (const int d = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); d >= 0) {
        ::fsync(d);  // the rename itself survives a power cut
        ::close(d);
    }
    if (lock >= 0) ::close(lock);
}

}  // namespace tessaryn
