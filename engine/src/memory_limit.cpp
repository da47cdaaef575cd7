#include "talvik/memory_limit.h"

#include <sys/resource.h>

#include <algorithm>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

namespace talvik {
namespace {

constexpr uint64_t kUnknown = std::numeric_limits<uint64_t>::max();

// The number after `key` in a "key value [kB]" file such as /proc/meminfo.
uint64_t field(const char* path, const std::string& key, uint64_t unit) {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, key.size(), key) != 0) continue;
        std::istringstream rest(line.substr(key.size()));
        uint64_t value = 0;
        if (rest >> value) return value * unit;
    }
    return kUnknown;
}

uint64_t number_in(const std::string& path) {
    std::ifstream in(path);
    uint64_t value = 0;
    if (in >> value) return value;
    return kUnknown;  // absent, or "max"
}

// Room under a limit read from `limit_file`, with `usage_file` in use.
uint64_t room(const std::string& dir, const char* limit_file, const char* usage_file) {
    const uint64_t limit = number_in(dir + limit_file);
    const uint64_t usage = number_in(dir + usage_file);
    if (limit == kUnknown || usage == kUnknown) return kUnknown;
    return limit > usage ? limit - usage : 0;
}

// The cgroup of this process, version 2 ("0::/path") or the version 1
// memory controller ("N:memory:/path"); its directory may also be mounted
// as the root of the hierarchy inside a container.
uint64_t cgroup_room() {
    std::ifstream in("/proc/self/cgroup");
    uint64_t best = kUnknown;
    for (std::string line; std::getline(in, line);) {
        const size_t first = line.find(':');
        const size_t second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string path = line.substr(second + 1);
        if (controllers.empty()) {
            for (const std::string& dir : {"/sys/fs/cgroup" + path, std::string("/sys/fs/cgroup")}) {
                best = std::min(best, room(dir, "/memory.max", "/memory.current"));
            }
        } else if (controllers == "memory") {
            for (const std::string& dir : {"/sys/fs/cgroup/memory" + path, std::string("/sys/fs/cgroup/memory")}) {
                best = std::min(best, room(dir, "/memory.limit_in_bytes", "/memory.usage_in_bytes"));
            }
        }
    }
    return best;
}

uint64_t address_space_room_or_throw() {
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kUnknown;
    const uint64_t used = field("/proc/self/status", "VmSize:", 1024);
    if (used == kUnknown) return kUnknown;
    return limit.rlim_cur > used ? limit.rlim_cur - used : 0;
}

}  // namespace

uint64_t memory_available() noexcept {
    try {
        return std::min({field("/proc/meminfo", "MemAvailable:", 1024), cgroup_room(), address_space_room_or_throw()});
    } catch (...) {
        return kUnknown;  // no figure to go by: let the allocations decide
    }
}

uint64_t address_space_room() noexcept {
    try {
        return address_space_room_or_throw();
    } catch (...) {
        return kUnknown;
    }
}

}  // namespace talvik
