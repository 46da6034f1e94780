#include "core/health/schedule_arguments.h"

#include <gtest/gtest.h>

namespace kx {
namespace {

using Args = std::vector<std::string>;

TEST(ScheduleArguments, GivesTheCompleteIngestCommandLineEngineFirst) {
    EXPECT_EQ(ScheduleArguments::ingest("/opt/kelvara/kxctl", "/cfg/sources.json", "/archive root", "/cfg/filters.json",
                                        "machine-7", true),
              (Args{"/opt/kelvara/kxctl", "ingest", "--registry", "/cfg/sources.json", "--root", "/archive root",
                    "--filters", "/cfg/filters.json", "--machine-id", "machine-7", "--copy-attachments"}));
}

TEST(ScheduleArguments, LeavesOutWhatIsAbsentOrEmpty) {
    const Args base{"/k", "ingest", "--registry", "/r", "--root", "/d"};
    EXPECT_EQ(ScheduleArguments::ingest("/k", "/r", "/d", std::nullopt, std::nullopt, false), base);
    // An empty machine identity is none, never an empty argument.
    EXPECT_EQ(ScheduleArguments::ingest("/k", "/r", "/d", std::string(), std::string(), false), base);
    Args withId = base;
    withId.insert(withId.end(), {"--machine-id", "m"});
    EXPECT_EQ(ScheduleArguments::ingest("/k", "/r", "/d", std::nullopt, "m", false), withId);
}

} // namespace
} // namespace kx
