// A run that needs nftables rules where no network namespace can be made is
// refused before any node starts: exit status 2, one line with the reason.
// The test takes the right away: a user namespace of its own, in which no
// further user namespace may be made and CAP_SYS_ADMIN is gone.
#include <gtest/gtest.h>

#include "analyze_support.h"

namespace palaver::labtest {
namespace {

// The command line run where neither kind of network namespace can be made.
std::string withoutNamespaces(const std::string& command) {
    return "unshare -U -r sh -c 'echo 0 > /proc/sys/user/max_user_namespaces && exec setpriv "
           "--bounding-set=-sys_admin " +
           command + "'";
}

TEST(NoNamespace, LossOrAPartitionIsRefusedBeforeAnyNodeStarts) {
    test::TempDir dir;
    Outcome probe = runCommand(withoutNamespaces("true"), dir.path());
    if (probe.status != 0) GTEST_SKIP() << "cannot take the namespaces away here: " << probe.err;

    const std::string scenario = std::string(PALAVER_SOURCE_DIR) + "/lab/scenarios/partition.toml";
    const struct {
        std::string args;
        std::string source;
    } cases[] = {
        {"run " + scenario, scenario},
        {"run --nodes 3 --loss 5", "flags"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const fs::path out = dir / "run";
        Outcome o = runCommand(withoutNamespaces(lab() + " " + c.args + " --out " + out.string()), dir.path());
        EXPECT_EQ(o.status, 2) << o.out << o.err;
        EXPECT_EQ(o.err.rfind("palaver-lab: " + c.source + ": loss and partitions need a private network namespace "
                                                           "and none can be made: ",
                              0),
                  0u)
            << o.err;
        EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
        EXPECT_FALSE(fs::exists(out)) << "a run folder was made";
    }
}

}  // namespace
}  // namespace palaver::labtest
