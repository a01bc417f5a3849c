#include "base/processor_count.h"
#include "table/shard_count.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string_view>
#include <utility>

namespace galtro {
namespace {

TEST(ShardCount, FourPerProcessorRoundedUpToAPowerOfTwo) {
  const std::size_t processors[] = {1, 2, 3, 4, 6, 8, 12, 16};
  const std::size_t shards[] = {4, 8, 16, 16, 32, 32, 64, 64};
  for (std::size_t i = 0; i < std::size(processors); ++i) {
    EXPECT_EQ(shard_count_for_processors(processors[i]), shards[i]) << processors[i];
  }
  EXPECT_EQ(shard_count_for_processors(0), 4u);  // unknown counts as one
  EXPECT_EQ(shard_count_for_processors(5), 32u);
  EXPECT_EQ(shard_count_for_processors(~std::size_t{0}), std::size_t{1} << 63);
}

TEST(ShardCount, DefaultIsTheRuleAppliedToAvailableProcessors) {
  const std::size_t processors = available_processors();
  EXPECT_GE(processors, 1u);
  EXPECT_EQ(default_shard_count(), shard_count_for_processors(processors));
  std::printf("available processors %zu, default shard count %zu\n", processors,
              default_shard_count());
}

TEST(ProcessorCount, Cgroup2CpuMax) {
  EXPECT_EQ(parse_cgroup2_cpu_max("max 100000\n"), std::nullopt);
  EXPECT_EQ(parse_cgroup2_cpu_max("150000 100000\n"), 2u);
  EXPECT_EQ(parse_cgroup2_cpu_max("200000 100000"), 2u);
  EXPECT_EQ(parse_cgroup2_cpu_max("50000 100000"), 1u);  // half a processor is still one
  EXPECT_EQ(parse_cgroup2_cpu_max("600000 100000"), 6u);
  EXPECT_EQ(parse_cgroup2_cpu_max("1 1000000"), 1u);
  EXPECT_EQ(parse_cgroup2_cpu_max(""), std::nullopt);
  EXPECT_EQ(parse_cgroup2_cpu_max("150000"), std::nullopt);
  EXPECT_EQ(parse_cgroup2_cpu_max("lots 100000"), std::nullopt);
  EXPECT_EQ(parse_cgroup2_cpu_max("150000 0"), std::nullopt);
}

TEST(ProcessorCount, Cgroup1Quota) {
  EXPECT_EQ(parse_cgroup1_cpu_quota("-1\n", "100000\n"), std::nullopt);
  EXPECT_EQ(parse_cgroup1_cpu_quota("150000\n", "100000\n"), 2u);
  EXPECT_EQ(parse_cgroup1_cpu_quota("400000", "100000"), 4u);
  EXPECT_EQ(parse_cgroup1_cpu_quota("20000", "100000"), 1u);
  EXPECT_EQ(parse_cgroup1_cpu_quota("", "100000"), std::nullopt);
  EXPECT_EQ(parse_cgroup1_cpu_quota("150000", "0"), std::nullopt);
}

// A hybrid host: v1 controllers plus a v2 hierarchy under "unified".
constexpr std::string_view kHybridCgroup =
    "9:name=systemd:/user.slice/session-1.scope\n"
    "4:memory:/user.slice\n"
    "2:cpu,cpuacct:/user.slice/session-1.scope\n"
    "0::/user.slice/session-1.scope\n";
constexpr std::string_view kHybridMountinfo =
    "31 23 0:28 / /sys/fs/cgroup ro,nosuid - tmpfs tmpfs ro,mode=755\n"
    "32 31 0:29 / /sys/fs/cgroup/unified rw,nosuid shared:10 - cgroup2 cgroup2 rw\n"
    "35 31 0:32 / /sys/fs/cgroup/memory rw shared:14 - cgroup cgroup rw,memory\n"
    "36 31 0:33 / /sys/fs/cgroup/cpu,cpuacct rw shared:15 - cgroup cgroup rw,cpu,cpuacct\n"
    "37 31 0:34 / /sys/fs/cgroup/cpuset rw shared:16 - cgroup cgroup rw,cpuset\n";

// Pure v2, with the container's group mounted as the root of the hierarchy.
constexpr std::string_view kContainerCgroup = "0::/\n";
constexpr std::string_view kContainerMountinfo =
    "612 540 0:26 /docker/abc /sys/fs/cgroup ro,nosuid - cgroup2 cgroup rw,nsdelegate\n";
// A v1 mount of a sub-tree that the process's path lies under.
constexpr std::string_view kPodCgroup = "3:cpu:/kubepods/pod1/ctr\n";
constexpr std::string_view kPodMountinfo =
    "40 31 0:40 /kubepods/pod1 /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\n";

TEST(ProcessorCount, LocatesTheCpuGroup) {
  using Place = std::pair<std::string_view, std::string_view>;  // mount point, group path
  struct Case {
    std::string_view cgroup, mountinfo;
    int version;
    std::optional<Place> place;
  };
  const Case cases[] = {
      // cpu,cpuacct's mount, not cpuset's.
      {kHybridCgroup, kHybridMountinfo, 1,
       Place{"/sys/fs/cgroup/cpu,cpuacct", "/user.slice/session-1.scope"}},
      {kHybridCgroup, kHybridMountinfo, 2,
       Place{"/sys/fs/cgroup/unified", "/user.slice/session-1.scope"}},
      {kContainerCgroup, kContainerMountinfo, 2, Place{"/sys/fs/cgroup", ""}},
      {kContainerCgroup, kContainerMountinfo, 1, std::nullopt},
      {kPodCgroup, kPodMountinfo, 1, Place{"/sys/fs/cgroup/cpu", "/ctr"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.mountinfo << "v" << c.version);
    const auto found = locate_cgroup_cpu(c.cgroup, c.mountinfo, c.version);
    ASSERT_EQ(found.has_value(), c.place.has_value());
    if (found) {
      EXPECT_EQ(Place(found->mount_point, found->group_path), *c.place);
    }
  }
}

TEST(ProcessorCount, AffinityOfOneProcessorGivesOne) {
  cpu_set_t current;
  CPU_ZERO(&current);
  ASSERT_EQ(sched_getaffinity(0, sizeof current, &current), 0);
  int first = 0;
  while (!CPU_ISSET(first, &current)) ++first;

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(first, &one);
    if (sched_setaffinity(0, sizeof one, &one) != 0) _exit(2);
    const std::size_t processors = available_processors();
    _exit(processors == 1 && shard_count_for_processors(processors) == 4 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace galtro
