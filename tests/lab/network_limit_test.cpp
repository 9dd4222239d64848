// The open-file limit that N nodes need: a soft limit below the need is
// raised to the hard one, a need above the hard limit is refused with both
// limits named, and a soft limit that suffices is left alone.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "../node/test_support.h"
#include "net/network.h"

namespace palaver::lab {
namespace {

// In a child, so that the test program keeps its own limits: soft 64, hard
// 500, then the three needs one after the other.
TEST(OpenFileLimit, RaisedToTheHardLimitWhenNeededAndRefusedAboveIt) {
    palaver::test::TempDir dir;
    const std::filesystem::path result = dir / "result";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::ofstream out(result);
        const rlimit low{64, 500};
        if (::setrlimit(RLIMIT_NOFILE, &low) != 0) {
            out << "setrlimit failed";
            out.close();
            ::_exit(0);
        }
        auto soft = [] {
            rlimit now{};
            ::getrlimit(RLIMIT_NOFILE, &now);
            return std::to_string(now.rlim_cur);
        };
        const std::string within = raiseOpenFileLimit(300);
        out << "[" << within << "] " << soft() << "\n";
        const std::string above = raiseOpenFileLimit(501);
        out << (above.find("the open-file limit is 500 (hard limit 500) and these nodes need 501") != std::string::npos
                    ? "refused"
                    : "[" + above + "]")
            << " " << soft() << "\n";
        out << "[" << raiseOpenFileLimit(10) << "] " << soft() << "\n";
        out.close();
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(palaver::test::readFile(result).value_or("no result"), "[] 500\nrefused 500\n[] 500\n");
}

}  // namespace
}  // namespace palaver::lab
