#include "cli/options.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "cli/address_range.h"

namespace qvr::cli {

const char HELP_TEXT[] =
    R"(Usage: qvr-upgrade COMMAND [OPTIONS] [--] OPERANDS

Installs firmware on QVR devices from this computer, over the LAN, as the
Windows upgrade utilities do.

Commands:
  info DEVICE
      Reads the device's status page and prints its serial number, MAC
      address, software and hardware versions and product name.  A page
      without them is a failure.
      Options: --pc-address, --user, --password-file, --http-timeout, --json.
  upgrade DEVICE... (--image FILE | --from-exe PROGRAM.exe)
          [--transition FILE] [--inventory FILE] [--parallel K] [--check]
          [--reinstall] [--max-fail N]
      Upgrades the devices as the staged-upgrader does, several at once.
      First every device is identified (its status page read, at most K at
      once) and one table is shown: address, product, serial number,
      version now, image version and what will happen.  Then one
      confirmation for the whole run, and the upgrades, at most K devices
      at once, all served by one TFTP server of this program: each device
      is told to fetch its image (it does when idle; up to 5 minutes are
      waited for), waited for while it installs (the product's own time),
      read again and checked to run the version just served.  With
      --transition FILE a device gets that image first, then the target
      image.  A device that already runs the image's version (the target's
      in a two-stage run) is left alone unless --reinstall.  The password
      is asked for once, before the upgrades start; with several devices a
      device that refuses it fails (one device alone is asked again).
      Each device ends with one result: passed, failed,
      up-to-date, would-upgrade (--check), not-started (--max-fail or an
      interruption) or interrupted.
      Options: all of them.
  recover SERIAL (--image FILE | --from-exe PROGRAM.exe) [--pc-address A]
      Recovers a device with corrupt firmware, as the recovery-upgrader does:
      finds it by the serial number on its bar-code label (letters in upper
      case, 1 to 19 characters; an empty or longer one is refused) with UDP
      multicast to 234.4.8.10 port 4810 from port 4811 of the PC address,
      shows what it reports, asks for confirmation, sends the image to the
      multicast group, waits while it installs and reads its status page.
      The device must be on this computer's subnet.  One device at a time.
      Options: all but --transition, --inventory, --parallel, --max-fail,
      --check and --reinstall.
  scan RANGE...
      Finds the devices in the ranges: every address whose web server
      answers the status request (/admin/advanced) with a status page or a
      Digest challenge.  At most --parallel addresses are probed at once
      (default 64, the most); a probe gives up after 1 second without a
      connection (or --http-timeout when shorter), and once connected
      after --http-timeout.  With a password (--password-file or
      QVR_PASSWORD) each device's identity is read; without one a device
      that asks for it is listed as needing a password.  Nobody is asked
      on the terminal.  A host whose page names none of the identity
      fields is not listed.  Prints a table sorted by address (address,
      product, serial number, software and hardware versions, MAC
      address) and the count; with --json one object per device and
      nothing else: address, serial_number, mac_address, software_version,
      hardware_version, product_name, needs_password.  That output is an
      inventory for upgrade --inventory as it stands.
      Options: --pc-address, --user, --password-file, --http-timeout,
      --parallel, --json.

DEVICE is the device's IPv4 address (for example 10.1.0.13).  A device
given twice, on the command line or in the inventory, is done once.
RANGE is a.b.c.d/nn (nn from 16 to 32: the network's addresses but its
first and last, which /31 and /32 keep), a.b.c.d-e (the last number from
d to e), or one address; 0.0.0.0 and addresses from 224.0.0.0 up are
refused, and at most 65536 addresses are scanned in all.

Options (each at most once, and only with a command it applies to; a
flag takes no value; "--" ends the options, so an operand may start
with "-"):
  --image FILE         the firmware image; refused unless it begins with the
                       image magic (product ID, a blank, "fIrMwArE"), its
                       header size at offset 80 is 128, the header holds a
                       NUL-terminated version text at offset 92 and it is at
                       most 33,553,919 bytes; a Windows program is refused
                       (give it with --from-exe)
  --from-exe PROGRAM.exe
                       take the image one of the Windows programs carries
                       (resource type QVR_FIRMWARE: 726 or 112, and the
                       transition image 319 when the program has one)
  --transition FILE    upgrade: a transition image served first
  --inventory FILE     upgrade: more devices, from FILE ("-": standard
                       input), at most 1 MB: one device a line, an address
                       and after it anything following a blank or "#"
                       (blank lines and lines that begin with "#" are
                       skipped), or a JSON object a line with an "address"
                       field (what scan --json prints); any other line is
                       refused with its number.  With it the DEVICE
                       operands may be left out
  --parallel K         upgrade: at most K devices at once, identifying or
                       upgrading (1 to 64, default 8); scan: at most K
                       probes at once (default 64)
  --max-fail N         upgrade: once N devices have failed (1 to 100000),
                       no other device starts; those under way finish and
                       the rest are not-started.  By default no limit
  --check              upgrade: identify the devices, show the table and
                       stop: nothing but status requests is sent, and no
                       confirmation is asked for
  --reinstall          upgrade: also a device that already runs the
                       image's version
  --pc-address A       this computer's address on the device's LAN; one that
                       is not an address of this computer is refused with
                       the list of those it has.  upgrade, info and
                       scan: by default the address the system would use
                       to reach the device.  recover: by default the only
                       IPv4 address that is not loopback; with several,
                       the program lists them and stops
  --tftp-port N        serve on port N only (1 to 65535).  By default the
                       first free port from 69 to 168, which on Linux needs
                       root or CAP_NET_BIND_SERVICE; as a normal user give a
                       free port from 1024 up (the device is told the port)
  --user NAME          the device's administrator user name (default admin)
  --password-file F    the password is the first line of F.  Or set the
                       environment variable QVR_PASSWORD.  Otherwise, when
                       the device asks, the password is asked for on the
                       terminal, without echo, and again after a refusal (an
                       empty answer gives up; upgrade asks once for all its
                       devices).  Never on the command line
  --update-wait S      wait S seconds (0 to 3600) while the device installs,
                       instead of the product's own time (about 35 s to 200 s)
  --http-timeout S     each HTTP exchange with a device (connect, request and
                       the whole answer) ends after S seconds (more than 0, at
                       most 3600; default 30)
  --yes                do not ask for confirmation
  --force              upgrade even a device that names another product
  --quiet              print only notices, failures and the summary
  --json               one JSON object per device on standard output as
                       it ends, and nothing else there: device, address,
                       identity before and after, image version, bytes,
                       seconds, result (passed, failed, up-to-date,
                       would-upgrade, not-started, interrupted), phase of a
                       failure (identify, check, command, request,
                       transfer, install, verify), error, and notice when
                       there is one.  scan: see above
  --help               this text
  --version            the program's version
Numbers are plain decimals (5, 2.5); signs, exponents, nan and inf are
refused.

Wrong-product rule: before anything is sent, the product the image is built
for (its product ID, named by the catalogue) is compared with the product
name the device reports.  A device that clearly names another product is
refused with both names (--force sends the image anyway).  When the
catalogue cannot tell (a product ID or a device name it does not know, a
name such as QVR7x7g that covers several models, or one such as QVR69-00
that fits two products), the program says so and goes on only after the
confirmation (or --yes); that notice is repeated on standard error at the
end of the device, under --quiet too, and is the "notice" field of --json.
A transition image is checked the same way, and must be for the same
product as the target image.

On a terminal, upgrade shows one live line per device under way
(address, phase, bytes, percent) and a totals line; otherwise plain
lines, each beginning with the device's address.  Failures are told on
standard error, in the utilities' own words where they have them
("Upgrade Failed: No Response From QVR").
Text that comes from a device is shown with its control characters escaped
(ESC as \x1b; bytes that are not UTF-8 as \xNN), so it cannot drive the
terminal; --json keeps the value, escaped as JSON requires (\u001b), and
writes each byte that is not part of valid UTF-8 as \u00NN.

Exit codes:
  0    every device passed or was up to date (--check: every device could
       be identified; scan: at least one device was found)
  1    one or more devices failed, were refused or did not start (scan:
       no device found)
  2    usage error (nothing was sent)
  129  hung up (SIGHUP), as for 130
  130  interrupted (Ctrl-C, SIGINT): the terminal's echo is put back,
       sockets closed, one line says where it stopped; upgrade first gives
       every device its result (interrupted, or not-started)
  131  quit (Ctrl-\, SIGQUIT), as for 130; no core dump is written
  143  terminated (SIGTERM), as for 130
)";

namespace {

// Which commands an option applies to.
constexpr unsigned FOR_INFO = 1, FOR_UPGRADE = 2, FOR_RECOVER = 4, FOR_SCAN = 8;
constexpr unsigned FOR_ALL = FOR_INFO | FOR_UPGRADE | FOR_RECOVER | FOR_SCAN;
constexpr unsigned FOR_IMAGE_COMMANDS = FOR_UPGRADE | FOR_RECOVER;

enum class Opt {
    image, from_exe, transition, pc_address, tftp_port, user, password_file, update_wait, http_timeout,
    inventory, parallel, max_fail, password, yes, force, quiet, json, check, reinstall, help, version
};

struct OptionRow {
    Opt id;
    const char* name;
    const char* short_name;  // nullptr: none
    bool takes_value;
    unsigned commands;
};

constexpr OptionRow OPTIONS[] = {
    {Opt::image, "--image", nullptr, true, FOR_IMAGE_COMMANDS},
    {Opt::from_exe, "--from-exe", nullptr, true, FOR_IMAGE_COMMANDS},
    {Opt::transition, "--transition", nullptr, true, FOR_UPGRADE},
    {Opt::pc_address, "--pc-address", nullptr, true, FOR_ALL},
    {Opt::tftp_port, "--tftp-port", nullptr, true, FOR_IMAGE_COMMANDS},
    {Opt::user, "--user", nullptr, true, FOR_ALL},
    {Opt::password_file, "--password-file", nullptr, true, FOR_ALL},
    {Opt::update_wait, "--update-wait", nullptr, true, FOR_IMAGE_COMMANDS},
    {Opt::http_timeout, "--http-timeout", nullptr, true, FOR_ALL},
    {Opt::inventory, "--inventory", nullptr, true, FOR_UPGRADE},
    {Opt::parallel, "--parallel", nullptr, true, FOR_UPGRADE | FOR_SCAN},
    {Opt::max_fail, "--max-fail", nullptr, true, FOR_UPGRADE},
    {Opt::password, "--password", nullptr, true, FOR_ALL},
    {Opt::yes, "--yes", "-y", false, FOR_IMAGE_COMMANDS},
    {Opt::force, "--force", nullptr, false, FOR_IMAGE_COMMANDS},
    {Opt::quiet, "--quiet", "-q", false, FOR_IMAGE_COMMANDS},
    {Opt::json, "--json", nullptr, false, FOR_ALL},
    {Opt::check, "--check", nullptr, false, FOR_UPGRADE},
    {Opt::reinstall, "--reinstall", nullptr, false, FOR_UPGRADE},
    {Opt::help, "--help", "-h", false, FOR_ALL},
    {Opt::version, "--version", nullptr, false, FOR_ALL},
};
constexpr std::size_t OPTION_COUNT = sizeof OPTIONS / sizeof OPTIONS[0];

constexpr std::size_t max_serial_length = 19;  // the recovery message's field, less its NUL
constexpr double max_seconds = 3600;
constexpr unsigned max_parallel = 64;
constexpr unsigned max_fail_limit = 100000;
// scan probes this many addresses at once unless --parallel says fewer:
// a probe mostly waits for a connect that may never come.
constexpr unsigned scan_default_parallel = 64;

const OptionRow* find_option(std::string_view name) {
    for (const OptionRow& row : OPTIONS)
        if (name == row.name || (row.short_name != nullptr && name == row.short_name)) return &row;
    return nullptr;
}

unsigned command_bit(Command command) {
    switch (command) {
        case Command::info:
            return FOR_INFO;
        case Command::upgrade:
            return FOR_UPGRADE;
        case Command::recover:
            return FOR_RECOVER;
        case Command::scan:
            return FOR_SCAN;
    }
    return 0;
}

const char* command_name(Command command) {
    switch (command) {
        case Command::info:
            return "info";
        case Command::upgrade:
            return "upgrade";
        case Command::recover:
            return "recover";
        case Command::scan:
            return "scan";
    }
    return "";
}

// A plain decimal: digits with at most one point and a digit somewhere
// ("5", "2.5", ".5", "5.").  Signs, blanks, exponents, hexadecimal, nan
// and inf are refused, so strtod then reads exactly these characters and
// the value is finite.
bool parse_decimal(std::string_view text, double& out) {
    if (text.empty() || text.size() > 32) return false;
    bool digit = false, point = false;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            digit = true;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            return false;
        }
    }
    if (!digit) return false;
    std::string copy(text);
    char* end = nullptr;
    out = std::strtod(copy.c_str(), &end);
    return end == copy.c_str() + copy.size() && std::isfinite(out);
}

bool parse_port(std::string_view text, unsigned& out) {
    if (text.empty() || text.size() > 5) return false;
    unsigned long n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + static_cast<unsigned>(c - '0');
    }
    if (n < 1 || n > 65535) return false;
    out = static_cast<unsigned>(n);
    return true;
}

// A count from low to high: plain decimal digits only (no sign, no point,
// no blank), so "08" is 8 and "1e2" is refused.
bool parse_count(std::string_view text, unsigned low, unsigned high, unsigned& out) {
    if (text.empty() || text.size() > 9) return false;
    unsigned long n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + static_cast<unsigned>(c - '0');
    }
    if (n < low || n > high) return false;
    out = static_cast<unsigned>(n);
    return true;
}

ParseOutcome usage(std::string& error, std::string text) {
    error = std::move(text);
    return ParseOutcome::usage_error;
}

// Stores one option's value; false with the reason when it is refused.
bool take_value(Opt id, const std::string& name, const std::string& value, CliConfig& config, std::string& error) {
    if (value.empty()) {
        error = name + " needs a value";
        return false;
    }
    double seconds = 0;
    switch (id) {
        case Opt::image:
            config.image_path = value;
            return true;
        case Opt::from_exe:
            config.from_exe = value;
            return true;
        case Opt::transition:
            config.transition_path = value;
            return true;
        case Opt::pc_address:
            config.pc_address = value;
            return true;
        case Opt::tftp_port:
            if (parse_port(value, config.tftp_port)) return true;
            error = "--tftp-port needs a port number from 1 to 65535, not '" + value + "'";
            return false;
        case Opt::user:
            config.user = value;
            return true;
        case Opt::password_file:
            config.password_file = value;
            return true;
        case Opt::update_wait:
            if (parse_decimal(value, seconds) && seconds <= max_seconds) {
                config.update_wait_seconds = seconds;
                return true;
            }
            error = "--update-wait needs a number of seconds from 0 to 3600, not '" + value + "'";
            return false;
        case Opt::http_timeout:
            if (parse_decimal(value, seconds) && seconds > 0 && seconds <= max_seconds) {
                config.http_timeout_seconds = seconds;
                return true;
            }
            error = "--http-timeout needs a number of seconds more than 0 and at most 3600, not '" + value + "'";
            return false;
        case Opt::inventory:
            config.inventory_path = value;
            return true;
        case Opt::parallel:
            if (parse_count(value, 1, max_parallel, config.parallel)) return true;
            error = "--parallel needs a number of devices from 1 to 64, not '" + value + "'";
            return false;
        case Opt::max_fail:
            // 0 would stop the run before its first device; no limit is
            // what leaving the option out means.
            if (parse_count(value, 1, max_fail_limit, config.max_fail)) return true;
            error = "--max-fail needs a number of devices from 1 to 100000, not '" + value + "'";
            return false;
        default:
            break;
    }
    return true;
}

void set_flag(Opt id, CliConfig& config) {
    switch (id) {
        case Opt::yes:
            config.yes = true;
            break;
        case Opt::force:
            config.force = true;
            break;
        case Opt::quiet:
            config.quiet = true;
            break;
        case Opt::json:
            config.json = true;
            break;
        case Opt::check:
            config.check = true;
            break;
        case Opt::reinstall:
            config.reinstall = true;
            break;
        default:
            break;
    }
}

}  // namespace

ParseOutcome parse_command_line(int argc, char** argv, CliConfig& config, std::string& error) {
    std::vector<std::string> words;
    bool have_command = false;
    bool options_ended = false;
    bool given[OPTION_COUNT] = {};
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool is_option = !options_ended && arg.size() > 1 && arg[0] == '-';
        if (is_option && arg == "--") {
            options_ended = true;
            continue;
        }
        if (!is_option) {
            if (!have_command) {
                have_command = true;
                if (arg == "info") {
                    config.command = Command::info;
                } else if (arg == "upgrade") {
                    config.command = Command::upgrade;
                } else if (arg == "recover") {
                    config.command = Command::recover;
                } else if (arg == "scan") {
                    config.command = Command::scan;
                } else {
                    return usage(error, "unknown command '" + arg + "' (info, upgrade, recover or scan)");
                }
            } else {
                words.push_back(arg);
            }
            continue;
        }

        // --name=value for long options; a short option never carries one.
        std::size_t equals = arg.rfind("--", 0) == 0 ? arg.find('=') : std::string::npos;
        std::string name = equals != std::string::npos ? arg.substr(0, equals) : arg;
        const OptionRow* row = find_option(name);
        if (row == nullptr) return usage(error, "unknown option " + name);
        if (row->id == Opt::password)
            return usage(error, "the password is never given on the command line (it would show in the process "
                                "list): use --password-file F, the environment variable QVR_PASSWORD, or answer "
                                "the prompt");
        if (!row->takes_value && equals != std::string::npos)
            return usage(error, std::string(row->name) + " takes no value (given '" + arg + "')");
        if (row->id == Opt::help) return ParseOutcome::help;
        if (row->id == Opt::version) return ParseOutcome::version;
        std::size_t index = static_cast<std::size_t>(row - OPTIONS);
        if (given[index]) return usage(error, std::string(row->name) + " is given twice");
        given[index] = true;
        if (!row->takes_value) {
            set_flag(row->id, config);
            continue;
        }
        std::string value;
        if (equals != std::string::npos) {
            value = arg.substr(equals + 1);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            return usage(error, std::string(row->name) + " needs a value");
        }
        if (!take_value(row->id, row->name, value, config, error)) return ParseOutcome::usage_error;
    }
    if (!have_command) return usage(error, "no command given (info, upgrade, recover or scan)");

    const unsigned command = command_bit(config.command);
    for (std::size_t i = 0; i < OPTION_COUNT; ++i)
        if (given[i] && (OPTIONS[i].commands & command) == 0)
            return usage(error, std::string(OPTIONS[i].name) + " does not apply to " + command_name(config.command));

    config.devices = words;
    switch (config.command) {
        case Command::info:
            if (words.size() != 1) return usage(error, "info takes one device address");
            break;
        case Command::upgrade:
            if (words.empty() && config.inventory_path.empty())
                return usage(error, "upgrade needs at least one device address (or --inventory FILE)");
            break;
        case Command::recover:
            if (words.size() != 1) return usage(error, "recover takes one serial number");
            if (words[0].empty() || words[0].size() > max_serial_length)
                return usage(error, "the serial number must have 1 to 19 characters ('" + words[0] + "' has " +
                                        std::to_string(words[0].size()) + ")");
            break;
        case Command::scan: {
            if (words.empty()) return usage(error, "scan needs at least one range of addresses");
            std::vector<std::uint32_t> addresses;
            if (!expand_ranges(words, addresses, error)) return ParseOutcome::usage_error;
            if (!given[static_cast<std::size_t>(find_option("--parallel") - OPTIONS)])
                config.parallel = scan_default_parallel;
            return ParseOutcome::run;
        }
    }
    if (config.command != Command::info) {
        if (config.image_path.empty() && config.from_exe.empty())
            return usage(error, "give the image with --image FILE or --from-exe PROGRAM.exe");
        if (!config.image_path.empty() && !config.from_exe.empty())
            return usage(error, "give either --image or --from-exe, not both");
    }
    return ParseOutcome::run;
}

}  // namespace qvr::cli
