// What a run over many devices decides for each device and for the whole
// run, and how a device's result is told to a script.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/fleet_board.h"
#include "cli/fleet_plan.h"
#include "cli/options.h"
#include "common/text.h"

namespace qvr::cli {
namespace {

TEST(FleetPlan, WhatHappensToADevice) {
    EXPECT_EQ(plan_device(false, true, "7.5.5", "7.5.6a", false), PlanStep::failed);
    EXPECT_EQ(plan_device(true, false, "7.5.5", "7.5.6a", false), PlanStep::refused);
    EXPECT_EQ(plan_device(true, true, "7.5.5", "7.5.6a", false), PlanStep::upgrade);
    EXPECT_EQ(plan_device(true, true, "7.5.6a", "7.5.6a", false), PlanStep::up_to_date);
    EXPECT_EQ(plan_device(true, true, "7.5.6a", "7.5.6a", true), PlanStep::upgrade);
    // The version is compared as the check after an install compares it,
    // byte for byte: a near match is upgraded, never left alone.
    EXPECT_EQ(plan_device(true, true, "7.5.6A", "7.5.6a", false), PlanStep::upgrade);
    EXPECT_EQ(plan_device(true, true, "7.5.6a ", "7.5.6a", false), PlanStep::upgrade);
    // A device that names no version is not taken for an up-to-date one.
    EXPECT_EQ(plan_device(true, true, "", "", false), PlanStep::upgrade);
    // A refused product stays refused with --reinstall.
    EXPECT_EQ(plan_device(true, false, "7.5.6a", "7.5.6a", true), PlanStep::refused);
}

TEST(FleetPlan, FailureLimitAndExitCode) {
    EXPECT_TRUE(may_start_another(5, 0));
    EXPECT_TRUE(may_start_another(1, 2));
    EXPECT_FALSE(may_start_another(2, 2));

    auto with = [](std::vector<Outcome> outcomes) {
        std::vector<DeviceResult> results(outcomes.size());
        for (std::size_t i = 0; i < outcomes.size(); ++i) results[i].outcome = outcomes[i];
        return fleet_exit_code(results);
    };
    EXPECT_EQ(with({Outcome::passed, Outcome::up_to_date}), EXIT_ALL_PASSED);
    EXPECT_EQ(with({Outcome::would_upgrade, Outcome::up_to_date}), EXIT_ALL_PASSED);  // --check
    EXPECT_EQ(with({Outcome::passed, Outcome::failed}), EXIT_SOME_FAILED);
    // A device that never started, or was cut off, is no success.
    EXPECT_EQ(with({Outcome::passed, Outcome::not_started}), EXIT_SOME_FAILED);
    EXPECT_EQ(with({Outcome::interrupted}), EXIT_SOME_FAILED);
    // Without an outcome of its own, a result is what `passed` says.
    std::vector<DeviceResult> plain(1);
    plain[0].passed = false;
    EXPECT_EQ(fleet_exit_code(plain), EXIT_SOME_FAILED);
}

TEST(FleetOutput, ResultLinesAndJson) {
    DeviceResult r{};
    r.label = "10.1.0.13";
    r.address = "10.1.0.13";
    r.image_version = "7.5.6a";
    copy_text(r.before.software_version, "7.5.6a");
    r.have_before = true;
    r.passed = true;
    r.outcome = Outcome::up_to_date;
    EXPECT_EQ(result_line(r), "10.1.0.13 up to date (runs 7.5.6a)");
    std::string json = result_json(r);
    EXPECT_NE(json.find("\"result\":\"up-to-date\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"error\":null"), std::string::npos) << json;
    EXPECT_EQ(json.find("\"phase\""), std::string::npos) << json;

    r.passed = false;
    r.outcome = Outcome::failed;
    r.phase = "request";
    r.error = "the device did not ask\x1b[2J";
    EXPECT_EQ(result_line(r), "10.1.0.13 FAILED (request): the device did not ask\\x1b[2J");
    json = result_json(r);
    EXPECT_NE(json.find("\"result\":\"failed\",\"phase\":\"request\""), std::string::npos) << json;

    r.outcome = Outcome::not_started;
    r.phase.clear();
    r.error.clear();
    EXPECT_EQ(result_line(r), "10.1.0.13 not started");
    EXPECT_NE(result_json(r).find("\"result\":\"not-started\""), std::string::npos);
}

TEST(FleetOutput, LiveLines) {
    EXPECT_EQ(live_line("10.1.0.13", "transfer", 2150000, 4300000, true),
              "10.1.0.13        transfer  2.1 MB of 4.3 MB   50%");
    // Figures past the total (a late count) never show more than 100%.
    EXPECT_EQ(live_line("10.1.0.13", "install", 70000, 60000, false), "10.1.0.13        install   60 of 60 s  100%");
    EXPECT_EQ(live_line("10.1.0.13", "request", 0, 0, true), "10.1.0.13        request ");
}

}  // namespace
}  // namespace qvr::cli
