#include "cli/options.h"

#include <cstdlib>
#include <cstring>

namespace qvr::cli {

const char HELP_TEXT[] =
    R"(Usage: qvr-upgrade COMMAND [OPTIONS]

Installs firmware on QVR devices from this computer, over the LAN, as the
Windows upgrade utilities do.

Commands:
  info DEVICE
      Reads the device's status page and prints its serial number, MAC
      address, software and hardware versions and product name.
  upgrade DEVICE [DEVICE...] (--image FILE | --from-exe PROGRAM.exe) [--transition FILE]
      Upgrades each device in turn, as the staged-upgrader does: reads what
      it runs, asks for confirmation, serves the image from a TFTP server of
      this program, tells the device to fetch it (it does when idle; up to
      5 minutes are waited for), waits while it installs (the product's own
      time), reads its status again and checks that it runs the version
      just served.  With --transition FILE the device gets that image
      first, then the target image.  One summary line per device at the end.
  recover SERIAL (--image FILE | --from-exe PROGRAM.exe) [--pc-address A]
      Recovers a device with corrupt firmware, as the recovery-upgrader does:
      finds it by the serial number on its bar-code label (letters in upper
      case, at most 19 characters) with UDP multicast to 234.4.8.10 port 4810
      from port 4811 of the PC address, shows what it reports, asks for
      confirmation, sends the image to the multicast group, waits while it
      installs and reads its status page.  The device must be on this
      computer's subnet.

DEVICE is the device's IPv4 address (for example 10.1.0.13).

Options:
  --image FILE         the firmware image; refused unless its 128-byte header
                       holds a NUL-terminated version text at offset 92 and it
                       is at most 33,553,919 bytes
  --from-exe PROGRAM.exe
                       take the image one of the Windows programs carries
                       (resource type QVR_FIRMWARE: 726 or 112, and the
                       transition image 319 when the program has one)
  --transition FILE    upgrade: a transition image served first
  --pc-address A       this computer's address on the device's LAN.  upgrade
                       and info: by default the address the system would use
                       to reach the device.  recover: by default the only
                       IPv4 address that is not loopback; with several, the
                       program lists them and stops
  --tftp-port N        serve on port N only.  By default the first free port
                       from 69 to 168, which on Linux needs root or
                       CAP_NET_BIND_SERVICE; as a normal user give a free port
                       from 1024 up (the device is told the port)
  --user NAME          the device's administrator user name (default admin)
  --password-file F    the password is the first line of F.  Or set the
                       environment variable QVR_PASSWORD.  Otherwise, when
                       the device asks, the password is asked for on the
                       terminal, without echo, and again after a refusal (an
                       empty answer gives up).  Never on the command line
  --update-wait S      wait S seconds while the device installs, instead of
                       the product's own time (about 35 s to 200 s)
  --yes                do not ask for confirmation
  --force              upgrade even a device that names another product
  --quiet              print only failures and the summary
  --json               at the end, one JSON object per device on standard
                       output: address, identity before and after, image
                       version, bytes, seconds, result, error
  --help               this text
  --version            the program's version

Wrong-product rule: before anything is sent, the product the image is built
for (its product ID, named by the catalogue) is compared with the product
name the device reports.  A device that clearly names another product is
refused with both names (--force sends the image anyway).  When the
catalogue cannot tell (a product ID or a device name it does not know, or a
name such as QVR7x7g that covers several models), the program says so and
goes on only after the confirmation (or --yes).

Progress bars are drawn when standard output is a terminal, plain lines
otherwise.  Failures are told on standard error, in the utilities' own
words where they have them ("Upgrade Failed: No Response From QVR").

Exit codes:
  0    every device succeeded
  1    one or more devices failed
  2    usage error (nothing was sent)
  130  interrupted (Ctrl-C): sockets closed, one line says where it stopped
)";

namespace {

bool needs_value(const char* option) {
    static const char* const with_value[] = {"--image",     "--from-exe",  "--transition",    "--pc-address",
                                             "--tftp-port", "--user",      "--password-file", "--update-wait",
                                             "--password"};
    for (const char* name : with_value)
        if (std::strcmp(option, name) == 0) return true;
    return false;
}

bool parse_number(const std::string& text, double& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    out = std::strtod(text.c_str(), &end);
    return end != nullptr && *end == '\0' && out >= 0 && out <= 3600;
}

}  // namespace

ParseOutcome parse_command_line(int argc, char** argv, CliConfig& config, std::string& error) {
    std::vector<std::string> words;
    bool have_command = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        std::size_t equals = arg.find('=');
        std::string name = arg.rfind("--", 0) == 0 && equals != std::string::npos ? arg.substr(0, equals) : arg;
        bool inline_value = name.size() != arg.size();
        if (name == "--help" || name == "-h") return ParseOutcome::help;
        if (name == "--version") return ParseOutcome::version;
        if (needs_value(name.c_str())) {
            if (inline_value) {
                value = arg.substr(equals + 1);
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                error = name + " needs a value";
                return ParseOutcome::usage_error;
            }
        }
        if (name == "--password") {
            error = "the password is never given on the command line (it would show in the process list): "
                    "use --password-file F, the environment variable QVR_PASSWORD, or answer the prompt";
            return ParseOutcome::usage_error;
        } else if (name == "--image") {
            config.image_path = value;
        } else if (name == "--from-exe") {
            config.from_exe = value;
        } else if (name == "--transition") {
            config.transition_path = value;
        } else if (name == "--pc-address") {
            config.pc_address = value;
        } else if (name == "--tftp-port") {
            unsigned long n = std::strtoul(value.c_str(), nullptr, 10);
            if (value.empty() || value.size() > 5 || value.find_first_not_of("0123456789") != std::string::npos ||
                n < 1 || n > 65535) {
                error = "--tftp-port needs a port number from 1 to 65535";
                return ParseOutcome::usage_error;
            }
            config.tftp_port = static_cast<unsigned>(n);
        } else if (name == "--user") {
            config.user = value;
        } else if (name == "--password-file") {
            config.password_file = value;
        } else if (name == "--update-wait") {
            double seconds = 0;
            if (!parse_number(value, seconds)) {
                error = "--update-wait needs a number of seconds from 0 to 3600";
                return ParseOutcome::usage_error;
            }
            config.update_wait_seconds = seconds;
        } else if (name == "--yes" || name == "-y") {
            config.yes = true;
        } else if (name == "--force") {
            config.force = true;
        } else if (name == "--quiet" || name == "-q") {
            config.quiet = true;
        } else if (name == "--json") {
            config.json = true;
        } else if (name.size() > 1 && name[0] == '-') {
            error = "unknown option " + name;
            return ParseOutcome::usage_error;
        } else if (!have_command) {
            have_command = true;
            if (arg == "info") {
                config.command = Command::info;
            } else if (arg == "upgrade") {
                config.command = Command::upgrade;
            } else if (arg == "recover") {
                config.command = Command::recover;
            } else {
                error = "unknown command '" + arg + "' (info, upgrade or recover)";
                return ParseOutcome::usage_error;
            }
        } else {
            words.push_back(arg);
        }
    }
    if (!have_command) {
        error = "no command given (info, upgrade or recover)";
        return ParseOutcome::usage_error;
    }
    config.devices = words;
    bool image_given = !config.image_path.empty() || !config.from_exe.empty();
    switch (config.command) {
        case Command::info:
            if (words.size() != 1) {
                error = "info takes one device address";
                return ParseOutcome::usage_error;
            }
            break;
        case Command::upgrade:
            if (words.empty()) {
                error = "upgrade needs at least one device address";
                return ParseOutcome::usage_error;
            }
            break;
        case Command::recover:
            if (words.size() != 1) {
                error = "recover takes one serial number";
                return ParseOutcome::usage_error;
            }
            if (!config.transition_path.empty()) {
                error = "--transition is for upgrade only";
                return ParseOutcome::usage_error;
            }
            break;
    }
    if (config.command != Command::info) {
        if (!image_given) {
            error = "give the image with --image FILE or --from-exe PROGRAM.exe";
            return ParseOutcome::usage_error;
        }
        if (!config.image_path.empty() && !config.from_exe.empty()) {
            error = "give either --image or --from-exe, not both";
            return ParseOutcome::usage_error;
        }
    }
    return ParseOutcome::run;
}

}  // namespace qvr::cli
