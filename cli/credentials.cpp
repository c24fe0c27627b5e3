#include "cli/credentials.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

#include "cli/interrupt.h"
#include "cli/results.h"
#include "common/text.h"

namespace qvr::cli {

namespace {

// What the terminal may give for one line: more is read and dropped.
constexpr std::size_t terminal_line_size = 1024;

// One line from the terminal into line (NUL-terminated, cut to fit), echo
// off when asked; false at end of input.  While echo is off the signal
// handlers know the settings to put back (interrupt.h).
bool read_terminal_line(const std::string& prompt, bool echo, char (&line)[terminal_line_size]) {
    line[0] = '\0';
    int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty < 0) return false;
    termios saved{};
    bool restore = false;
    if (!echo && ::tcgetattr(tty, &saved) == 0) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        set_terminal_to_restore(tty, &saved, &quiet);
        restore = ::tcsetattr(tty, TCSAFLUSH, &quiet) == 0;
    }
    const std::string shown = inert_text(prompt);  // it may quote the device
    (void)!::write(tty, shown.data(), shown.size());
    std::size_t length = 0;
    bool got = false;
    char c = 0;
    for (;;) {
        ssize_t n = ::read(tty, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got = true;
        if (c == '\n' || c == '\r') break;
        if (length + 1 < terminal_line_size) line[length++] = c;
    }
    wipe_secret(&c, sizeof c);
    line[length] = '\0';
    if (restore) ::tcsetattr(tty, TCSAFLUSH, &saved);
    set_terminal_to_restore(-1, nullptr, nullptr);
    ::close(tty);
    return got;
}

}  // namespace

void wipe_secret(void* bytes, std::size_t n) {
    if (bytes != nullptr && n != 0) ::explicit_bzero(bytes, n);
}

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
    wipe_secret(out.password, sizeof out.password);
    if (!password_file.empty()) {
        std::FILE* f = std::fopen(password_file.c_str(), "r");
        if (f == nullptr) {
            error = password_file + ": " + std::strerror(errno);
            return false;
        }
        // No stdio buffer of its own: the file's bytes are read straight
        // into line, so no unwiped copy is left behind in the FILE.
        std::setvbuf(f, nullptr, _IONBF, 0);
        char line[512] = "";
        if (std::fgets(line, sizeof line, f) == nullptr) line[0] = '\0';
        std::fclose(f);
        std::size_t n = std::strlen(line);
        while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) --n;
        copy_text(out.password, std::string_view(line, n));
        wipe_secret(line, sizeof line);
        out.source = "--password-file";
    } else if (char* env = std::getenv("QVR_PASSWORD")) {
        copy_text(out.password, env);
        wipe_secret(env, std::strlen(env));
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
        copy_text(digest.password, field_text(credentials.password));
        return true;
    }
    if (!credentials.may_ask) return false;
    std::string prompt = std::string(refused ? "The password was refused. " : "") + "Password for " +
                         credentials.user + " on QVR@" + device_label + " (empty to give up): ";
    char typed[terminal_line_size];
    if (!read_terminal_line(prompt, false, typed)) {
        wipe_secret(typed, sizeof typed);
        std::fprintf(stderr, "qvr-upgrade: QVR@%s asks for a password and there is no terminal to ask on "
                             "(use --password-file or QVR_PASSWORD)\n", device_label);
        return false;
    }
    bool entered = typed[0] != '\0';
    if (entered) copy_text(digest.password, field_text(typed));
    wipe_secret(typed, sizeof typed);
    return entered;
}

bool ask_password_once(Credentials& credentials, const std::string& devices, bool refused) {
    std::string prompt = std::string(refused ? "The password was refused. " : "") + "Password for " +
                         credentials.user + " on " + devices + " (empty to give up): ";
    char typed[terminal_line_size];
    bool entered = read_terminal_line(prompt, false, typed) && typed[0] != '\0';
    if (entered) {
        copy_text(credentials.password, field_text(typed));
        credentials.source = "the terminal";
    }
    wipe_secret(typed, sizeof typed);
    return entered;
}

void wipe_credentials(Credentials& credentials) {
    wipe_secret(credentials.password, sizeof credentials.password);
}

void wipe_exchange_secrets(RunExchangeSpaces& spaces) {
    wipe_secret(&spaces.main.digest, sizeof spaces.main.digest);
    wipe_secret(&spaces.after_upload.digest, sizeof spaces.after_upload.digest);
    std::lock_guard<std::mutex> hold(spaces.command_digest.lock);
    wipe_secret(&spaces.command_digest.state, sizeof spaces.command_digest.state);
    spaces.command_digest.posted = false;
}

bool confirm_on_terminal(const std::string& question) {
    char answer[terminal_line_size];
    if (!read_terminal_line(question + " [y/N] ", true, answer)) return false;
    std::string_view a = field_text(answer);
    return a == "y" || a == "Y" || a == "yes" || a == "YES" || a == "Yes";
}

}  // namespace qvr::cli
