// The command line of qvr-upgrade, read into one record.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace qvr::cli {

enum class Command { info, upgrade, recover, scan };

struct CliConfig {
    Command command = Command::info;
    // info: one; upgrade: one or more (or none with --inventory); recover: the
    // serial number; scan: the ranges
    std::vector<std::string> devices;
    std::string inventory_path;  // upgrade: more devices, from a file ("-": standard input)
    unsigned parallel = 8;       // upgrade and scan identify: at most this many devices at once (1..64)
    unsigned max_fail = 0;       // upgrade: no new device starts once this many failed (0: no limit)
    bool check = false;          // upgrade: identify and show the table, send nothing else
    bool reinstall = false;      // upgrade: also a device that already runs the image's version
    std::string image_path;
    std::string transition_path;
    std::string from_exe;
    std::string pc_address;  // empty: chosen as the command's rule says
    unsigned tftp_port = 0;  // 0: the first free from 69
    std::string password_file;
    std::string user = "admin";
    std::optional<double> update_wait_seconds;
    double http_timeout_seconds = 30;  // each HTTP exchange: connect, send and the whole answer
    bool yes = false;
    bool force = false;
    bool quiet = false;
    bool json = false;
};

enum class ParseOutcome { run, help, version, usage_error };

// Reads argv strictly.  A flag given a value (--force=no), a number out of
// its range or not a plain decimal number (nan, inf, 1e3, "5s"), an option
// given twice, an option that does not apply to the command, an empty
// value, and a serial number that is empty or longer than 19 characters
// are all usage errors; nothing is cut or guessed.  "--" ends the options:
// every word after it is the command (when none came yet) or an operand.
// usage_error leaves the reason, one line, in `error`.
ParseOutcome parse_command_line(int argc, char** argv, CliConfig& config, std::string& error);

extern const char HELP_TEXT[];

// Exit codes.  A signal that ends the run gives 128 plus its number.
inline constexpr int EXIT_ALL_PASSED = 0;
inline constexpr int EXIT_SOME_FAILED = 1;
inline constexpr int EXIT_USAGE = 2;
inline constexpr int EXIT_SIGNALLED = 128;
inline constexpr int EXIT_INTERRUPTED = EXIT_SIGNALLED + 2;  // SIGINT, Ctrl-C

}  // namespace qvr::cli
