// How many CPUs this process may use, and the pool size the environment asks for.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vorlane {

// CPUs in the affinity mask, lowered to the cgroup CPU quota (floored, at least 1); 1 when
// nothing can be read.
std::size_t available_cpus();

// Pool size from RAYON_NUM_THREADS / RAYON_RS_NUM_CPUS (values as read from the environment,
// absent as nullopt) and the available CPU count.
std::size_t pool_size_from(const std::optional<std::string>& num_threads,
                           const std::optional<std::string>& rs_num_cpus, std::size_t cpus);

// cgroup quota helpers, exposed for tests: whole CPUs of "quota period" (v2 cpu.max) or of the
// v1 pair, floored but at least 1; nullopt for no limit or an unreadable value.
std::optional<std::size_t> cpus_from_cgroup_v2_max(const std::string& cpu_max);
std::optional<std::size_t> cpus_from_cgroup_v1(const std::string& quota_us,
                                               const std::string& period_us);

// The tightest quota on the way from the process's cgroups (the text of /proc/self/cgroup) up
// to the roots of their hierarchies, found through the text of /proc/self/mountinfo (standard
// mount points when absent). `prefix` is put before every mount point, for tests.
std::optional<std::size_t> cgroup_cpu_limit(std::string_view proc_self_cgroup,
                                            std::optional<std::string_view> mountinfo,
                                            const std::string& prefix);

}  // namespace vorlane
