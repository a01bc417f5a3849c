#include "base/processor_count.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <limits>
#include <vector>

#include "base/platform.h"

namespace galtro {
namespace {

std::string_view trim(std::string_view text) noexcept {
  constexpr std::string_view kSpace = " \t\r\n";
  const auto first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(kSpace);
  return text.substr(first, last - first + 1);
}

template <class Integer>
std::optional<Integer> parse_integer(std::string_view text) noexcept {
  text = trim(text);
  Integer value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// ceil(quota / period), at least 1; nothing unless both are positive.
std::optional<std::size_t> processors_for_quota(std::int64_t quota, std::int64_t period) noexcept {
  if (quota <= 0 || period <= 0) return std::nullopt;
  const auto q = static_cast<std::uint64_t>(quota);
  const auto p = static_cast<std::uint64_t>(period);
  const std::uint64_t processors = q / p + (q % p != 0 ? 1 : 0);
  if (processors > std::numeric_limits<std::size_t>::max()) return std::nullopt;
  return static_cast<std::size_t>(processors < 1 ? 1 : processors);
}

// Splits on `separator`; keeps empty fields.
std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> fields;
  for (;;) {
    const auto at = text.find(separator);
    fields.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return fields;
    text.remove_prefix(at + 1);
  }
}

bool list_contains(std::string_view comma_list, std::string_view item) {
  for (std::string_view field : split(comma_list, ',')) {
    if (field == item) return true;
  }
  return false;
}

// Closes a file descriptor on every way out.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

// The whole of a small file (/proc, /sys), or nothing if it cannot be read.
std::optional<std::string> read_file(const std::string& path) {
  int opened;
  do {
    opened = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (opened < 0 && errno == EINTR);
  if (opened < 0) return std::nullopt;
  const FileDescriptor fd(opened);
  std::string contents;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) return contents;
    contents.append(buffer, static_cast<std::size_t>(got));
  }
}

// The tightest CPU limit on the process's group and the groups above it, up to the
// mount point, in one hierarchy.
std::optional<std::size_t> cgroup_limit(std::string_view proc_self_cgroup,
                                        std::string_view mountinfo, int version) {
  const auto location = locate_cgroup_cpu(proc_self_cgroup, mountinfo, version);
  if (!location) return std::nullopt;
  std::optional<std::size_t> tightest;
  std::string group = location->group_path;
  for (;;) {
    const std::string directory = location->mount_point + group;
    std::optional<std::size_t> limit;
    if (version == 2) {
      if (auto contents = read_file(directory + "/cpu.max"))
        limit = parse_cgroup2_cpu_max(*contents);
    } else {
      auto quota = read_file(directory + "/cpu.cfs_quota_us");
      auto period = read_file(directory + "/cpu.cfs_period_us");
      if (quota && period) limit = parse_cgroup1_cpu_quota(*quota, *period);
    }
    if (limit && (!tightest || *limit < *tightest)) tightest = limit;
    if (group.empty()) return tightest;
    group.resize(group.rfind('/'));
  }
}

}  // namespace

std::optional<std::size_t> parse_cgroup2_cpu_max(std::string_view contents) noexcept {
  contents = trim(contents);
  const auto space = contents.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  const std::string_view quota = contents.substr(0, space);
  if (quota == "max") return std::nullopt;
  const auto quota_value = parse_integer<std::int64_t>(quota);
  const auto period_value = parse_integer<std::int64_t>(contents.substr(space + 1));
  if (!quota_value || !period_value) return std::nullopt;
  return processors_for_quota(*quota_value, *period_value);
}

std::optional<std::size_t> parse_cgroup1_cpu_quota(std::string_view quota,
                                                   std::string_view period) noexcept {
  const auto quota_value = parse_integer<std::int64_t>(quota);
  const auto period_value = parse_integer<std::int64_t>(period);
  if (!quota_value || !period_value) return std::nullopt;
  return processors_for_quota(*quota_value, *period_value);  // -1 gives nothing
}

std::optional<CgroupCpuLocation> locate_cgroup_cpu(std::string_view proc_self_cgroup,
                                                   std::string_view proc_self_mountinfo,
                                                   int version) {
  // /proc/self/cgroup lines: "hierarchy-id:controller-list:path"; the v2 line is "0::path".
  std::optional<std::string_view> path;
  for (std::string_view line : split(proc_self_cgroup, '\n')) {
    const auto fields = split(line, ':');
    if (fields.size() < 3) continue;
    // The path may itself contain ':'; it is everything after the second one.
    const std::string_view group = line.substr(fields[0].size() + 1 + fields[1].size() + 1);
    const bool matches =
        version == 2 ? fields[0] == "0" && fields[1].empty() : list_contains(fields[1], "cpu");
    if (matches) {
      path = trim(group);
      break;
    }
  }
  if (!path) return std::nullopt;

  // mountinfo lines: "id parent major:minor root mount-point options [tags] - type source
  // super-options".
  for (std::string_view line : split(proc_self_mountinfo, '\n')) {
    const auto fields = split(trim(line), ' ');
    std::size_t dash = 0;
    while (dash < fields.size() && fields[dash] != "-") ++dash;
    if (dash < 5 || dash + 3 >= fields.size()) continue;
    const std::string_view type = fields[dash + 1];
    const bool matches = version == 2 ? type == "cgroup2"
                                      : type == "cgroup" && list_contains(fields[dash + 3], "cpu");
    if (!matches) continue;
    const std::string_view root = fields[3];
    CgroupCpuLocation location{std::string(fields[4]), {}};
    // The process's path is relative to the hierarchy's root; the mount shows the
    // part of the hierarchy below `root`. A path outside it (seen from another
    // namespace) leaves only the mount point itself to read.
    std::string_view below = *path;
    if (root == "/") {
      // the whole hierarchy is mounted
    } else if (below.starts_with(root) &&
               (below.size() == root.size() || below[root.size()] == '/')) {
      below.remove_prefix(root.size());
    } else {
      below = {};
    }
    while (below.ends_with('/')) below.remove_suffix(1);
    if (!below.empty() && below.front() != '/') below = {};
    location.group_path = std::string(below);
    return location;
  }
  return std::nullopt;
}

std::size_t available_processors() {
  std::optional<std::size_t> processors = platform::scheduler_processor_count();
  const auto proc_self_cgroup = read_file("/proc/self/cgroup");
  const auto mountinfo = read_file("/proc/self/mountinfo");
  if (proc_self_cgroup && mountinfo) {
    for (int version : {2, 1}) {
      const auto limit = cgroup_limit(*proc_self_cgroup, *mountinfo, version);
      if (limit && (!processors || *limit < *processors)) processors = limit;
    }
  }
  return processors.value_or(1);
}

}  // namespace galtro
