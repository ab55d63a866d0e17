#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace tessaryn {

// The per-user preferences: typed values under keys, kept in a JSON file in `dir`
// (preferences.json) that several processes share. Reads are typed: an absent key or a value of
// another type gives no value, and text is never taken as a boolean or number (a whole number
// written as 31250.0 is an integer). Every save reads the file again under a lock, applies only
// this store's own changes and replaces the file atomically (temporary file, fsync, rename), so
// another process's keys survive and a crash leaves the old or the new file. The file is written
// compact. A damaged file, or one nested deeper than settings ever are, is kept aside under
// another name and the store starts empty; a file that cannot be read is never written over
// (saveProblem says why). Main thread only.
class Preferences {
  public:
    explicit Preferences(std::filesystem::path dir);

    // $XDG_CONFIG_HOME/tessaryn, or ~/.config/tessaryn.
    static std::filesystem::path defaultDir();

    std::optional<bool> boolean(std::string_view key) const;
    std::optional<std::int64_t> integer(std::string_view key) const;
    std::optional<double> real(std::string_view key) const;  // integers read as doubles too
    std::optional<std::string> text(std::string_view key) const;
    std::optional<std::string> data(std::string_view key) const;
    bool contains(std::string_view key) const;
    // Takes in what other processes saved since; changes not yet saved stay on top.
    void reload();

    void setBoolean(std::string_view key, bool value);
    void setInteger(std::string_view key, std::int64_t value);
    void setReal(std::string_view key, double value);
    void setText(std::string_view key, std::string_view value);
    void setData(std::string_view key, std::string_view bytes);
    void remove(std::string_view key);

    // Defers saving until the outermost batch ends, so a group of writes costs one save.
    class Batch {
      public:
        explicit Batch(Preferences& p) : p_(p) { ++p_.batchDepth_; }
        ~Batch() {
            if (--p_.batchDepth_ == 0) p_.save();
        }
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

      private:
        Preferences& p_;
    };

    const std::filesystem::path& file() const { return file_; }
    // Why the stored file was not used, or empty; the damaged file's new name is in it.
    const std::string& loadProblem() const { return problem_; }
    // The last save error (also a file that could not be read), or empty.
    const std::string& saveProblem() const { return saveProblem_; }

  private:
    void put(std::string_view key, nlohmann::json value);
    void save();
    // The stored object into `into` (empty when there is no file, a damaged one kept aside);
    // false with `problem` when the file cannot be read.
    bool read(nlohmann::json& into, std::string& problem) const;
    static void apply(nlohmann::json& doc, const std::string& key,
                      const std::optional<nlohmann::json>& value);

    std::filesystem::path dir_;
    std::filesystem::path file_;
    nlohmann::json values_ = nlohmann::json::object();
    // This store's writes not yet saved; none removes the key.
    std::map<std::string, std::optional<nlohmann::json>> changes_;
    int batchDepth_ = 0;
    std::string problem_;
    std::string saveProblem_;
};

}  // namespace tessaryn
