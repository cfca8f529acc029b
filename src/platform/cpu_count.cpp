// CPU counting for the pool size: the affinity mask, lowered to the tightest cgroup CPU quota
// on the way from the process's cgroup up to the root of its hierarchy.
#include "platform/cpu_count.hpp"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

namespace vorlane {
namespace {

// Plain decimal digits only: no sign, no spaces, no overflow.
std::optional<std::uint64_t> parse_decimal(std::string_view text) {
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end || text.front() == '-') return std::nullopt;
    return value;
}

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\n");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\n");
    return text.substr(first, last - first + 1);
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    std::size_t from = 0;
    for (;;) {
        const auto at = text.find(separator, from);
        parts.push_back(text.substr(from, at == std::string_view::npos ? at : at - from));
        if (at == std::string_view::npos) return parts;
        from = at + 1;
    }
}

std::optional<std::size_t> whole_cpus(std::uint64_t quota, std::uint64_t period) {
    if (period == 0) return std::nullopt;
    // A quota below one CPU still leaves the process one CPU to run on.
    return static_cast<std::size_t>(std::max<std::uint64_t>(quota / period, 1));
}

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream file(path);
    if (!file) return std::nullopt;
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad()) return std::nullopt;
    return text;
}

// Mount points in mountinfo escape space, tab, newline and backslash as \ooo.
std::string unescape_octal(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && text.size() - i >= 4) {
            const std::string_view digits = text.substr(i + 1, 3);
            const auto octal = [](char c) { return c >= '0' && c <= '7'; };
            if (std::all_of(digits.begin(), digits.end(), octal)) {
                out.push_back(static_cast<char>((digits[0] - '0') * 64 + (digits[1] - '0') * 8 +
                                                (digits[2] - '0')));
                i += 3;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

struct CgroupMount {
    std::string root;         // the hierarchy's path that is mounted
    std::string mount_point;  // where it is mounted
};

struct Mounts {
    std::optional<CgroupMount> unified;
    std::optional<CgroupMount> cpu_v1;
};

bool lists_cpu(std::string_view comma_list) {
    const auto names = split(comma_list, ',');
    return std::find(names.begin(), names.end(), "cpu") != names.end();
}

Mounts find_mounts(std::string_view mountinfo) {
    Mounts mounts;
    for (std::string_view line : split(mountinfo, '\n')) {
        const auto fields = split(line, ' ');
        // id parent device root mount-point options [optional...] - type source super-options
        const auto dash = std::find(fields.begin(), fields.end(), "-");
        if (fields.size() < 5 || dash == fields.end() || fields.end() - dash < 4 ||
            dash - fields.begin() < 6) {
            continue;
        }
        const std::string_view type = dash[1];
        CgroupMount mount{unescape_octal(fields[3]), unescape_octal(fields[4])};
        if (type == "cgroup2" && !mounts.unified) mounts.unified = std::move(mount);
        if (type == "cgroup" && lists_cpu(dash[3]) && !mounts.cpu_v1) {
            mounts.cpu_v1 = std::move(mount);
        }
    }
    return mounts;
}

struct ProcessCgroups {
    std::optional<std::string> unified;
    std::optional<std::string> cpu_v1;
};

ProcessCgroups parse_proc_cgroup(std::string_view text) {
    // hierarchy-id:controllers:path, the path itself possibly containing ':'.
    ProcessCgroups groups;
    for (std::string_view line : split(text, '\n')) {
        const auto first = line.find(':');
        if (first == std::string_view::npos) continue;
        const auto second = line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        const std::string_view id = line.substr(0, first);
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        const std::string path(line.substr(second + 1));
        if (id == "0" && controllers.empty()) groups.unified = path;
        if (lists_cpu(controllers)) groups.cpu_v1 = path;
    }
    return groups;
}

// Directories from the process's cgroup up to the mount point, deepest first. A path outside
// the mounted root, or one that climbs with "..", leaves only the mount point itself.
std::vector<std::string> cgroup_directories(const CgroupMount& mount, std::string_view path,
                                            const std::string& prefix) {
    std::string_view relative;
    if (mount.root == "/") {
        relative = path;
    } else if (path.substr(0, mount.root.size()) == mount.root &&
               (path.size() == mount.root.size() || path[mount.root.size()] == '/')) {
        relative = path.substr(mount.root.size());
    }
    std::vector<std::string_view> components;
    for (std::string_view part : split(relative, '/')) {
        if (part == "..") {
            components.clear();
            break;
        }
        if (!part.empty() && part != ".") components.push_back(part);
    }
    std::string directory = prefix + mount.mount_point;
    std::vector<std::string> directories{directory};
    for (std::string_view part : components) {
        directory += '/';
        directory += part;
        directories.push_back(directory);
    }
    std::reverse(directories.begin(), directories.end());
    return directories;
}

void lower_to(std::optional<std::size_t>& limit, std::optional<std::size_t> level) {
    if (level && (!limit || *level < *limit)) limit = level;
}

std::size_t affinity_cpus() {
    // The mask may be larger than the fixed cpu_set_t on very large machines.
    for (int cpus = 1024; cpus <= (1 << 20); cpus *= 2) {
        const auto free_set = [](cpu_set_t* s) { CPU_FREE(s); };
        const std::unique_ptr<cpu_set_t, decltype(free_set)> set(CPU_ALLOC(cpus), free_set);
        if (!set) return 0;
        const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(bytes, set.get());
        if (sched_getaffinity(0, bytes, set.get()) == 0) {
            return static_cast<std::size_t>(CPU_COUNT_S(bytes, set.get()));
        }
        if (errno != EINVAL) return 0;
    }
    return 0;
}

}  // namespace

std::optional<std::size_t> cpus_from_cgroup_v2_max(const std::string& cpu_max) {
    const auto fields = split(trim(cpu_max), ' ');
    if (fields.size() != 2) return std::nullopt;
    const auto quota = parse_decimal(fields[0]);  // "max" fails here: no limit
    const auto period = parse_decimal(fields[1]);
    if (!quota || !period) return std::nullopt;
    return whole_cpus(*quota, *period);
}

std::optional<std::size_t> cpus_from_cgroup_v1(const std::string& quota_us,
                                               const std::string& period_us) {
    const auto quota = parse_decimal(trim(quota_us));  // "-1" fails here: no limit
    const auto period = parse_decimal(trim(period_us));
    if (!quota || !period) return std::nullopt;
    return whole_cpus(*quota, *period);
}

std::optional<std::size_t> cgroup_cpu_limit(std::string_view proc_self_cgroup,
                                            std::optional<std::string_view> mountinfo,
                                            const std::string& prefix) {
    const ProcessCgroups groups = parse_proc_cgroup(proc_self_cgroup);
    Mounts mounts;
    if (mountinfo) {
        mounts = find_mounts(*mountinfo);
    } else {
        mounts.unified = CgroupMount{"/", "/sys/fs/cgroup"};
        mounts.cpu_v1 = CgroupMount{"/", "/sys/fs/cgroup/cpu"};
    }
    std::optional<std::size_t> limit;
    if (groups.unified && mounts.unified) {
        for (const auto& directory : cgroup_directories(*mounts.unified, *groups.unified, prefix)) {
            if (const auto text = read_file(directory + "/cpu.max")) {
                lower_to(limit, cpus_from_cgroup_v2_max(*text));
            }
        }
    }
    if (groups.cpu_v1 && mounts.cpu_v1) {
        for (const auto& directory : cgroup_directories(*mounts.cpu_v1, *groups.cpu_v1, prefix)) {
            const auto quota = read_file(directory + "/cpu.cfs_quota_us");
            const auto period = read_file(directory + "/cpu.cfs_period_us");
            if (quota && period) lower_to(limit, cpus_from_cgroup_v1(*quota, *period));
        }
    }
    return limit;
}

std::size_t available_cpus() {
    std::size_t cpus = affinity_cpus();
    if (cpus == 0) return 1;
    if (const auto groups = read_file("/proc/self/cgroup")) {
        const auto mountinfo = read_file("/proc/self/mountinfo");
        const auto limit = cgroup_cpu_limit(
            *groups, mountinfo ? std::optional<std::string_view>(*mountinfo) : std::nullopt, "");
        if (limit) cpus = std::min(cpus, *limit);
    }
    return std::max<std::size_t>(cpus, 1);
}

std::size_t pool_size_from(const std::optional<std::string>& num_threads,
                           const std::optional<std::string>& rs_num_cpus, std::size_t cpus) {
    if (num_threads) {
        if (const auto value = parse_decimal(*num_threads)) {
            return *value > 0 ? static_cast<std::size_t>(*value) : cpus;
        }
    }
    if (rs_num_cpus) {
        if (const auto value = parse_decimal(*rs_num_cpus); value && *value > 0) {
            return static_cast<std::size_t>(*value);
        }
    }
    return cpus;
}

}  // namespace vorlane
