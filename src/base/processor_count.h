// How many processors the process may use.
//
// The count is the size of the scheduling affinity mask, lowered to the control-group
// CPU quota (cgroup v2 `cpu.max`, or v1 `cpu.cfs_quota_us` over `cpu.cfs_period_us`)
// of the process's group or any group above it; failing that, the number of online
// processors; failing that, 1.
//
// The parsers are separate from the file reading so they can be checked on sample
// contents.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace galtro {

// Processors allowed by the contents of a cgroup v2 `cpu.max` file ("$QUOTA $PERIOD"
// or "max $PERIOD"), rounded up and at least 1. Nothing for "max" (no limit) and for
// contents that do not parse.
std::optional<std::size_t> parse_cgroup2_cpu_max(std::string_view contents) noexcept;

// The same for the cgroup v1 pair `cpu.cfs_quota_us` and `cpu.cfs_period_us`; a
// quota of -1 means no limit.
std::optional<std::size_t> parse_cgroup1_cpu_quota(std::string_view quota,
                                                   std::string_view period) noexcept;

// Where the process's CPU controller lives in one cgroup hierarchy.
struct CgroupCpuLocation {
  std::string mount_point;  // where the hierarchy is mounted, e.g. /sys/fs/cgroup
  std::string group_path;   // the process's group below the mount point ("" for the root)
};

// Finds the process's group in the hierarchy of the given version from the contents
// of /proc/self/cgroup and /proc/self/mountinfo. For version 1 only a hierarchy
// that carries the "cpu" controller counts. Nothing if there is none.
std::optional<CgroupCpuLocation> locate_cgroup_cpu(std::string_view proc_self_cgroup,
                                                   std::string_view proc_self_mountinfo,
                                                   int version);

// The processor count described above; at least 1.
std::size_t available_processors();

}  // namespace galtro
