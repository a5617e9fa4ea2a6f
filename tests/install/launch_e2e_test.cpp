#include <windows.h>

#include "install_run.h"

using namespace testing_support;

namespace {

using Launch = InstallEndToEnd;

TEST_F(Launch, ClassesRunStrictlyOneAfterAnother)
{
    buildMedia(kMedia, "[CLASS]\nfirst.Class\nsecond.Class\nthird.Class\n");
    const ScopedEnvironment sleep("LAUNCH_STUB_SLEEP_MS", "400");
    const ScopedEnvironment exitCode("LAUNCH_STUB_EXIT", "3");
    const InstallRun run = runMedia();
    ASSERT_EQ(run.events.size(), 6u);
    for (std::size_t i = 0; i < run.events.size(); i += 2) {
        EXPECT_EQ(run.events[i].rfind("begin ", 0), 0u) << i;
        EXPECT_EQ(run.events[i + 1], "end " + run.events[i].substr(6)) << i;
    }
}

} // namespace
