// qvr-upgrade: upgrades and recovers QVR devices from a Linux terminal, on
// the same portable core as the Windows programs.
#include <cstdio>
#include <string>

#include "cli/commands.h"
#include "cli/fleet.h"
#include "cli/interrupt.h"
#include "cli/options.h"
#include "cli/privileges.h"
#include "cli/results.h"
#include "cli/scan.h"

#ifndef QVR_VERSION
#define QVR_VERSION "1.0.0"
#endif

int main(int argc, char** argv) {
    using namespace qvr::cli;
    // Before any password can be held.
    forbid_core_dumps();
    CliConfig config{};
    std::string error;
    switch (parse_command_line(argc, argv, config, error)) {
        case ParseOutcome::help:
            std::fputs(HELP_TEXT, stdout);
            return EXIT_ALL_PASSED;
        case ParseOutcome::version:
            std::printf("qvr-upgrade %s\n", QVR_VERSION);
            return EXIT_ALL_PASSED;
        case ParseOutcome::usage_error:
            std::fprintf(stderr, "qvr-upgrade: %s\nTry 'qvr-upgrade --help'.\n", inert_text(error).c_str());
            return EXIT_USAGE;
        case ParseOutcome::run:
            break;
    }
    install_interrupt_handler();
    // info and scan bind nothing that needs a privilege: they give up every
    // one before they send anything.  upgrade and recover bind the TFTP
    // server's port first, then do the same.
    if (config.command == Command::info || config.command == Command::scan) {
        if (!drop_privileges(error)) {
            std::fprintf(stderr, "qvr-upgrade: cannot give up this process's privileges (%s)\n", error.c_str());
            return EXIT_SOME_FAILED;
        }
    }
    switch (config.command) {
        case Command::info:
            return run_info(config);
        case Command::upgrade:
            return run_upgrade(config);
        case Command::recover:
            return run_recover(config);
        case Command::scan:
            return run_scan(config);
    }
    return EXIT_USAGE;
}
