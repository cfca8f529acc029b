// Unit tests of the pool size rules and of the cgroup quota lookup, on strings and on a
// small cgroup tree built in a temporary directory.
#include <gtest/gtest.h>
#include <sched.h>

#include <filesystem>
#include <fstream>

#include "platform/cpu_count.hpp"

namespace vorlane {
namespace {

using Env = std::optional<std::string>;

TEST(PoolSize, FollowsTheEnvironmentThenTheCpuCount) {
    struct Case {
        Env num_threads;
        Env rs_num_cpus;
        std::size_t expected;
    };
    const std::size_t cpus = 6;
    const Case cases[] = {
        {std::nullopt, std::nullopt, cpus},
        {"3", std::nullopt, 3},
        {"3", "5", 3},
        {"0", "5", cpus},  // 0 asks for the CPU count, not for the fallback variable
        {"00", std::nullopt, cpus},
        {std::nullopt, "5", 5},
        {"x", "5", 5},
        {"", "5", 5},
        {"-2", "5", 5},
        {"+2", "5", 5},
        {" 2", "5", 5},
        {"2.0", std::nullopt, cpus},
        {"99999999999999999999999", "4", 4},  // does not fit: not a usable number
        {std::nullopt, "0", cpus},
        {std::nullopt, "abc", cpus},
        {"17", "abc", 17},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(pool_size_from(c.num_threads, c.rs_num_cpus, cpus), c.expected)
            << "RAYON_NUM_THREADS=" << c.num_threads.value_or("<unset>")
            << " RAYON_RS_NUM_CPUS=" << c.rs_num_cpus.value_or("<unset>");
    }
}

TEST(CgroupQuota, ParsesVersion2CpuMax) {
    const std::pair<std::string, std::optional<std::size_t>> cases[] = {
        {"max 100000\n", std::nullopt},
        {"200000 100000\n", 2},
        {"250000 100000", 2},   // rounded down
        {"50000 100000\n", 1},  // never below one CPU
        {"100000 0\n", std::nullopt},
        {"100000\n", std::nullopt},
        {"", std::nullopt},
        {"-1 100000", std::nullopt},
        {"400000 100000 7", std::nullopt},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(cpus_from_cgroup_v2_max(text), expected) << "cpu.max '" << text << "'";
    }
}

TEST(CgroupQuota, ParsesVersion1QuotaAndPeriod) {
    const std::tuple<std::string, std::string, std::optional<std::size_t>> cases[] = {
        {"-1\n", "100000\n", std::nullopt},
        {"300000\n", "100000\n", 3},
        {"150000", "100000", 1},
        {"10000", "100000", 1},
        {"300000", "0", std::nullopt},
        {"junk", "100000", std::nullopt},
        {"-5000", "100000", std::nullopt},
    };
    for (const auto& [quota, period, expected] : cases) {
        EXPECT_EQ(cpus_from_cgroup_v1(quota, period), expected)
            << "quota '" << quota << "', period '" << period << "'";
    }
}

class CgroupTree : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = std::filesystem::temp_directory_path() /
                ("vorlane-cgroup-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(root_);
    }
    void TearDown() override { std::filesystem::remove_all(root_); }

    void write(const std::string& relative, const std::string& text) {
        const auto path = root_ / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path) << text;
    }
    std::optional<std::size_t> limit(std::string_view groups, std::string_view mountinfo) {
        return cgroup_cpu_limit(groups, mountinfo, root_.string());
    }

    std::filesystem::path root_;
};

constexpr std::string_view unified_mountinfo =
    "22 1 0:21 / /proc rw - proc proc rw\n"
    "31 23 0:26 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw,nsdelegate\n";

TEST_F(CgroupTree, Version2TakesTheTightestLevelOnTheWayUp) {
    write("sys/fs/cgroup/cpu.max", "max 100000\n");
    write("sys/fs/cgroup/app.slice/cpu.max", "200000 100000\n");
    write("sys/fs/cgroup/app.slice/job/cpu.max", "max 100000\n");
    EXPECT_EQ(limit("0::/app.slice/job\n", unified_mountinfo), 2u);
    write("sys/fs/cgroup/app.slice/job/cpu.max", "100000 100000\n");
    EXPECT_EQ(limit("0::/app.slice/job\n", unified_mountinfo), 1u);
    EXPECT_EQ(limit("0::/other\n", unified_mountinfo), std::nullopt);
}

TEST_F(CgroupTree, PathsThatClimbOutOnlyReadTheMountPoint) {
    write("sys/fs/cgroup/cpu.max", "300000 100000\n");
    write("sys/fs/cgroup/x/cpu.max", "100000 100000\n");
    EXPECT_EQ(limit("0::/../x\n", unified_mountinfo), 3u);
}

TEST_F(CgroupTree, Version1HybridWithAContainerRoot) {
    // The cpu hierarchy is mounted from the container's own cgroup, so the process's path
    // names the mount point itself.
    const std::string mountinfo =
        "31 23 0:26 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n"
        "32 23 0:27 /docker/abc /sys/fs/cgroup/cpu,cpuacct rw shared:9 - cgroup cgroup "
        "rw,cpu,cpuacct\n";
    write("sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "150000\n");
    write("sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "50000\n");
    const std::string groups = "2:cpuacct,cpu:/docker/abc\n1:name=systemd:/docker/abc\n0::/\n";
    EXPECT_EQ(limit(groups, mountinfo), 3u);
    write("sys/fs/cgroup/unified/cpu.max", "200000 100000\n");  // both versions: the lower
    EXPECT_EQ(limit(groups, mountinfo), 2u);
}

TEST_F(CgroupTree, EscapedMountPointsAreFound) {
    write("my cgroups/cpu.max", "400000 100000\n");
    EXPECT_EQ(limit("0::/\n", "31 23 0:26 / /my\\040cgroups rw - cgroup2 none rw\n"), 4u);
}

TEST_F(CgroupTree, NothingReadableMeansNoLimit) {
    EXPECT_EQ(limit("", unified_mountinfo), std::nullopt);
    EXPECT_EQ(limit("0::/\n", ""), std::nullopt);
    EXPECT_EQ(limit("garbage\n::\n", "garbage - \n"), std::nullopt);
}

TEST(AvailableCpus, IsWithinTheAffinityMask) {
    cpu_set_t set;
    CPU_ZERO(&set);
    ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
    const std::size_t cpus = available_cpus();
    EXPECT_GE(cpus, 1u);
    EXPECT_LE(cpus, static_cast<std::size_t>(CPU_COUNT(&set)));
}

}  // namespace
}  // namespace vorlane
