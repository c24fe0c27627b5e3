#include "cli/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qvr::cli {
namespace {

using Words = std::vector<std::string>;

struct Parsed {
    ParseOutcome outcome;
    CliConfig config;
    std::string error;
};

Parsed parse(Words words) {
    words.insert(words.begin(), "qvr-upgrade");
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    Parsed p{ParseOutcome::run, CliConfig{}, ""};
    p.outcome = parse_command_line(static_cast<int>(words.size()), argv.data(), p.config, p.error);
    return p;
}

// Expects a usage error whose reason contains `reason`.
void expect_refused(const Words& args, const std::string& reason) {
    Parsed p = parse(args);
    EXPECT_EQ(p.outcome, ParseOutcome::usage_error) << ::testing::PrintToString(args);
    EXPECT_NE(p.error.find(reason), std::string::npos) << ::testing::PrintToString(args) << " -> " << p.error;
}

TEST(Options, AWellFormedRunIsReadWhole) {
    Parsed p = parse({"upgrade", "10.0.0.2", "10.0.0.3", "--image=a.bin", "--transition", "t.bin", "--tftp-port",
                      "6969", "--update-wait", "2.5", "--http-timeout", "0.5", "--user", "root", "-y", "--force",
                      "-q", "--json", "--pc-address", "10.0.0.1", "--password-file", "pw"});
    ASSERT_EQ(p.outcome, ParseOutcome::run) << p.error;
    EXPECT_EQ(p.config.command, Command::upgrade);
    EXPECT_EQ(p.config.devices, (Words{"10.0.0.2", "10.0.0.3"}));
    EXPECT_EQ(p.config.image_path + " " + p.config.transition_path + " " + p.config.user, "a.bin t.bin root");
    EXPECT_EQ(p.config.tftp_port, 6969u);
    EXPECT_EQ(p.config.update_wait_seconds, 2.5);
    EXPECT_EQ(p.config.http_timeout_seconds, 0.5);
    EXPECT_TRUE(p.config.yes && p.config.force && p.config.quiet && p.config.json);

    Parsed defaults = parse({"info", "10.0.0.2"});
    ASSERT_EQ(defaults.outcome, ParseOutcome::run) << defaults.error;
    EXPECT_EQ(defaults.config.http_timeout_seconds, 30);
    EXPECT_FALSE(defaults.config.update_wait_seconds.has_value());
    EXPECT_EQ(defaults.config.tftp_port, 0u);
}

TEST(Options, UsageErrors) {
    const struct {
        Words args;
        std::string reason;
    } cases[] = {
        // Regression: "--force=no" used to turn force on (the value was dropped).
        {{"upgrade", "10.0.0.2", "--image", "a", "--force=no"}, "--force takes no value"},
        {{"info", "10.0.0.2", "--help=x"}, "--help takes no value"},
        {{"upgrade", "10.0.0.2", "--image", "a", "--image", "b"}, "--image is given twice"},
        {{"upgrade", "10.0.0.2", "--image", "a", "--yes", "-y"}, "--yes is given twice"},
        {{"recover", "QVR1", "--image", "a", "--transition", "t"}, "--transition does not apply to recover"},
        // The command may come after the options: the check waits for it.
        {{"--image", "a", "info", "10.0.0.2"}, "--image does not apply to info"},
        // The serial number is refused, not cut.
        {{"recover", "", "--image", "a"}, "1 to 19 characters"},
        {{"recover", "ABCDEFGHIJ0123456789", "--image", "a"}, "has 20"},
        {{"info", "10.0.0.2", "--user"}, "--user needs a value"},
        {{"info", "10.0.0.2", "--password", "x"}, "never given on the command line"},
        {{"info", "10.0.0.2", "--colour"}, "unknown option --colour"},
        {{"info"}, "info takes one device address"},
        {{"upgrade", "--image", "a"}, "at least one device"},
        {{"upgrade", "10.0.0.2"}, "give the image"},
        {{"upgrade", "10.0.0.2", "--image", "a", "--from-exe", "b"}, "not both"},
        {{"flash", "10.0.0.2"}, "unknown command 'flash'"},
    };
    for (const auto& c : cases) expect_refused(c.args, c.reason);
    for (const char* option : {"--image", "--from-exe", "--transition", "--tftp-port", "--update-wait"})
        expect_refused({"info", "10.0.0.2", option, "5"}, std::string(option) + " does not apply to info");
    for (const char* flag : {"--yes", "--force", "--quiet"})
        expect_refused({"info", "10.0.0.2", flag}, std::string(flag) + " does not apply to info");
}

// Each word is taken or refused whole: the accepted ones at either end of
// their range, the refused ones one past it, not finite or not plain.
TEST(Options, NumbersAreInRangeFiniteAndPlain) {
    const struct {
        const char* option;
        Words taken, refused;
    } cases[] = {
        {"--tftp-port", {"1", "65535"}, {"0", "65536", "-1", "+69", "69x", " 69", "0x45", "", "123456"}},
        {"--update-wait", {"0", "3600", ".5", "5."},
         {"nan", "NaN", "inf", "-1", "-0", "3600.5", "1e3", "0x10", "5s", " 5", ".", "1.2.3"}},
        {"--http-timeout", {"3600", "0.5"}, {"0", "0.0", "3601", "inf", "nan", "-5"}},
        {"--parallel", {"1", "64", "08"}, {"0", "65", "+2", "2.0", "1e1", " 2", "0x10", "9999999999"}},
        {"--max-fail", {"1", "100000"}, {"0", "100001", "-1", "1.5", "4294967297"}},
    };
    for (const auto& c : cases) {
        Words run = {"upgrade", "10.0.0.2", "--image", "a", c.option, ""};
        for (const std::string& word : c.taken) {
            run.back() = word;
            EXPECT_EQ(parse(run).outcome, ParseOutcome::run) << ::testing::PrintToString(run);
        }
        for (const std::string& word : c.refused) {
            run.back() = word;
            expect_refused(run, std::string(c.option) + " needs");
        }
    }
}

TEST(Options, FleetAndScan) {
    Parsed p = parse({"upgrade", "--inventory", "-", "--image", "a", "--parallel", "64", "--max-fail", "1", "--check",
                      "--reinstall"});
    ASSERT_EQ(p.outcome, ParseOutcome::run) << p.error;
    EXPECT_TRUE(p.config.devices.empty()) << "the inventory stands for the operands";
    EXPECT_EQ(p.config.inventory_path, "-");
    EXPECT_EQ(p.config.parallel, 64u);
    EXPECT_EQ(p.config.max_fail, 1u);
    EXPECT_TRUE(p.config.check && p.config.reinstall);

    Parsed defaults = parse({"upgrade", "10.0.0.2", "--image", "a"});
    EXPECT_EQ(defaults.config.parallel, 8u);
    EXPECT_EQ(defaults.config.max_fail, 0u) << "no limit";
    EXPECT_FALSE(defaults.config.check || defaults.config.reinstall);

    Parsed scan = parse({"scan", "10.0.0.0/24", "127.0.0.2-9", "--json", "--http-timeout", "2", "--user", "root",
                         "--pc-address", "10.0.0.1", "--password-file", "pw"});
    ASSERT_EQ(scan.outcome, ParseOutcome::run) << scan.error;
    EXPECT_EQ(scan.config.command, Command::scan);
    EXPECT_EQ(scan.config.devices, (Words{"10.0.0.0/24", "127.0.0.2-9"}));
    EXPECT_EQ(scan.config.parallel, 64u) << "a scan probes 64 at once unless told";
    EXPECT_EQ(parse({"scan", "10.0.0.1", "--parallel", "3"}).config.parallel, 3u);

    const struct {
        Words args;
        std::string reason;
    } refused[] = {
        {{"scan"}, "scan needs at least one range"},
        {{"scan", "10.0.0.0/8"}, "'10.0.0.0/8' is too wide"},
        {{"scan", "10.0.0.1", "224.0.0.1"}, "'224.0.0.1' holds an address no device can have"},
        {{"scan", "10.0.0.0/16", "10.1.0.0/24"}, "more than 65536"},
        {{"scan", "10.0.0.1", "--image", "a"}, "--image does not apply to scan"},
        {{"scan", "10.0.0.1", "--yes"}, "--yes does not apply to scan"},
        {{"scan", "10.0.0.1", "--inventory", "f"}, "--inventory does not apply to scan"},
        {{"scan", "10.0.0.1", "--check"}, "--check does not apply to scan"},
        {{"info", "10.0.0.2", "--parallel", "2"}, "--parallel does not apply to info"},
        {{"recover", "QVR1", "--image", "a", "--parallel", "2"}, "--parallel does not apply to recover"},
        {{"recover", "QVR1", "--image", "a", "--inventory", "f"}, "--inventory does not apply to recover"},
        {{"recover", "QVR1", "--image", "a", "--max-fail", "2"}, "--max-fail does not apply to recover"},
        {{"recover", "QVR1", "--image", "a", "--reinstall"}, "--reinstall does not apply to recover"},
        {{"upgrade", "10.0.0.2", "--image", "a", "--check=yes"}, "--check takes no value"},
        {{"upgrade", "10.0.0.2", "--image", "a", "--inventory", ""}, "--inventory needs a value"},
        {{"upgrade", "--image", "a", "--parallel", "4"}, "(or --inventory FILE)"},
        {{"upgrade", "--inventory", "f"}, "give the image"},
    };
    for (const auto& c : refused) expect_refused(c.args, c.reason);
}

TEST(Options, DoubleDashEndsTheOptions) {
    Parsed p = parse({"upgrade", "--image", "a", "--", "10.0.0.2", "--yes"});
    ASSERT_EQ(p.outcome, ParseOutcome::run) << p.error;
    EXPECT_EQ(p.config.devices, (Words{"10.0.0.2", "--yes"}));
    EXPECT_FALSE(p.config.yes);
    EXPECT_EQ(parse({"recover", "--image", "a", "--", "-SERIAL-"}).config.devices, Words{"-SERIAL-"});
    EXPECT_EQ(parse({"--", "info", "10.0.0.2"}).config.command, Command::info);
    EXPECT_EQ(parse({"info", "--", "--"}).config.devices, Words{"--"}) << "a second \"--\" is an operand";
}

TEST(Options, WhatIsTakenAndTheHelp) {
    for (const char* option : {"--pc-address", "--user", "--password-file", "--http-timeout"})
        EXPECT_EQ(parse({"info", "10.0.0.2", option, "5"}).outcome, ParseOutcome::run) << option;
    EXPECT_EQ(parse({"recover", "ABCDEFGHI0123456789", "--image", "a"}).config.devices[0], "ABCDEFGHI0123456789");
    EXPECT_EQ(parse({"info", "--help", "--bogus"}).outcome, ParseOutcome::help);
    EXPECT_EQ(parse({"--version"}).outcome, ParseOutcome::version);
    const std::string help = HELP_TEXT;
    for (const char* word : {"--image", "--from-exe", "--transition", "--pc-address", "--tftp-port", "--user",
                             "--password-file", "--update-wait", "--http-timeout", "--inventory", "--parallel",
                             "--max-fail", "--check", "--reinstall", "\n  scan RANGE", "up-to-date",
                             "would-upgrade", "not-started", "interrupted", "needs_password", "--yes", "--force",
                             "--quiet",
                             "--json", "--help", "--version", "\"--\"", "\n  0 ", "\n  1 ", "\n  2 ", "\n  129 ",
                             "\n  130 ", "\n  131 ", "\n  143 "})
        EXPECT_NE(help.find(word), std::string::npos) << word;
}

}  // namespace
}  // namespace qvr::cli
