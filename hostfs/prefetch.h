// Small files read ahead by directory: when a program opens a small file of a directory the
// mount has listed, the files that follow it in the listing are opened, read and closed on the
// host in the same two round trips (one with the extension calls), and their contents wait here
// for the program's next opens.
#pragma once
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace hostfs {

class Preloads {
public:
    static constexpr size_t kMostBytes = 16u << 20;

    // Keeps data for path, valid while the mount's data generation is generation and until
    // the clock passes until.
    void put(const std::string &path, std::string data, uint64_t generation, double until);
    // The data for path, taken out, when still valid at generation and now.
    std::optional<std::string> take(const std::string &path, uint64_t generation, double now);
    bool has(const std::string &path);
    void clear();

private:
    struct Entry {
        std::string data;
        uint64_t generation;
        double until;
    };
    std::mutex mu_;
    std::map<std::string, Entry> entries_;
    size_t bytes_ = 0;
};

} // namespace hostfs
