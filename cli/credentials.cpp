#include "cli/credentials.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/interrupt.h"
#include "common/text.h"

namespace qvr::cli {

namespace {

// One line from the terminal, echo off when asked; false at end of input.
bool read_terminal_line(const std::string& prompt, bool echo, std::string& line) {
    int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty < 0) return false;
    termios saved{};
    bool restore = false;
    if (!echo && ::tcgetattr(tty, &saved) == 0) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        set_terminal_to_restore(tty, &saved);
        restore = ::tcsetattr(tty, TCSAFLUSH, &quiet) == 0;
    }
    (void)!::write(tty, prompt.data(), prompt.size());
    line.clear();
    bool got = false;
    for (;;) {
        char c = 0;
        ssize_t n = ::read(tty, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got = true;
        if (c == '\n' || c == '\r') break;
        if (line.size() < 1024) line += c;
    }
    if (restore) ::tcsetattr(tty, TCSAFLUSH, &saved);
    set_terminal_to_restore(-1, nullptr);
    ::close(tty);
    return got;
}

}  // namespace

bool have_terminal() {
    int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty < 0) return false;
    ::close(tty);
    return true;
}

bool load_credentials(const std::string& user, const std::string& password_file, Credentials& out,
                      std::string& error) {
    out.user = user;
    out.source = nullptr;
    if (!password_file.empty()) {
        std::FILE* f = std::fopen(password_file.c_str(), "r");
        if (f == nullptr) {
            error = password_file + ": " + std::strerror(errno);
            return false;
        }
        char line[512] = "";
        if (std::fgets(line, sizeof line, f) == nullptr) line[0] = '\0';
        std::fclose(f);
        out.password = line;
        while (!out.password.empty() && (out.password.back() == '\n' || out.password.back() == '\r'))
            out.password.pop_back();
        out.source = "--password-file";
    } else if (const char* env = std::getenv("QVR_PASSWORD")) {
        out.password = env;
        out.source = "QVR_PASSWORD";
    }
    return true;
}

bool supply_password(const Credentials& credentials, const char* device_label, bool refused, DigestState& digest) {
    copy_text(digest.username, credentials.user);
    if (credentials.source != nullptr) {
        if (refused) {
            std::fprintf(stderr, "qvr-upgrade: QVR@%s refused the password from %s\n", device_label,
                         credentials.source);
            return false;
        }
        copy_text(digest.password, credentials.password);
        return true;
    }
    std::string prompt = std::string(refused ? "The password was refused. " : "") + "Password for " +
                         credentials.user + " on QVR@" + device_label + " (empty to give up): ";
    std::string typed;
    if (!read_terminal_line(prompt, false, typed)) {
        std::fprintf(stderr, "qvr-upgrade: QVR@%s asks for a password and there is no terminal to ask on "
                             "(use --password-file or QVR_PASSWORD)\n", device_label);
        return false;
    }
    if (typed.empty()) return false;
    copy_text(digest.password, typed);
    return true;
}

bool confirm_on_terminal(const std::string& question) {
    std::string answer;
    if (!read_terminal_line(question + " [y/N] ", true, answer)) return false;
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "YES" || answer == "Yes";
}

}  // namespace qvr::cli
