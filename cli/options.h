// The command line of qvr-upgrade, read into one record.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace qvr::cli {

enum class Command { info, upgrade, recover };

struct CliConfig {
    Command command;
    std::vector<std::string> devices;  // info: one; upgrade: one or more; recover: the serial number
    std::string image_path;
    std::string transition_path;
    std::string from_exe;
    std::string pc_address;  // empty: chosen as the command's rule says
    unsigned tftp_port;      // 0: the first free from 69
    std::string password_file;
    std::string user = "admin";
    std::optional<double> update_wait_seconds;
    bool yes;
    bool force;
    bool quiet;
    bool json;
};

enum class ParseOutcome { run, help, version, usage_error };

// Reads argv.  usage_error leaves the reason in `error`.
ParseOutcome parse_command_line(int argc, char** argv, CliConfig& config, std::string& error);

extern const char HELP_TEXT[];

// Exit codes.
inline constexpr int EXIT_ALL_PASSED = 0;
inline constexpr int EXIT_SOME_FAILED = 1;
inline constexpr int EXIT_USAGE = 2;
inline constexpr int EXIT_INTERRUPTED = 130;

}  // namespace qvr::cli
