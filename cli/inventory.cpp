#include "cli/inventory.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unordered_set>

#include "cli/results.h"
#include "tftp/listener.h"

namespace qvr::cli {

namespace {

constexpr unsigned max_json_depth = 32;
constexpr std::size_t shown_excerpt = 60;

bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool is_address(std::string_view text) {
    std::uint32_t address = 0;
    return parse_dotted_quad(text, address) && address != 0;
}

// A reader over one line of JSON.  Every step checks the end of the text
// before it reads; the first step that fails fails the whole line.
struct JsonCursor {
    std::string_view text;
    std::size_t at;
};

void skip_json_blanks(JsonCursor& c) {
    while (c.at < c.text.size() && (is_blank(c.text[c.at]) || c.text[c.at] == '\n' || c.text[c.at] == '\r')) ++c.at;
}

bool take_char(JsonCursor& c, char wanted) {
    skip_json_blanks(c);
    if (c.at < c.text.size() && c.text[c.at] == wanted) {
        ++c.at;
        return true;
    }
    return false;
}

int hex_value(char h) {
    if (h >= '0' && h <= '9') return h - '0';
    if (h >= 'a' && h <= 'f') return h - 'a' + 10;
    if (h >= 'A' && h <= 'F') return h - 'A' + 10;
    return -1;
}

// A string at the cursor, its escapes undone into out.  A \u escape above
// U+007F is written as UTF-8 (a lone surrogate too: no address holds one,
// so it only has to stay out of the way).
bool read_json_string(JsonCursor& c, std::string& out) {
    out.clear();
    if (!take_char(c, '"')) return false;
    while (c.at < c.text.size()) {
        const char ch = c.text[c.at++];
        if (ch == '"') return true;
        if (static_cast<unsigned char>(ch) < 0x20) return false;
        if (ch != '\\') {
            out += ch;
            continue;
        }
        if (c.at >= c.text.size()) return false;
        const char e = c.text[c.at++];
        switch (e) {
            case '"': case '\\': case '/': out += e; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                if (c.text.size() - c.at < 4) return false;
                unsigned code = 0;
                for (int i = 0; i < 4; ++i) {
                    const int h = hex_value(c.text[c.at++]);
                    if (h < 0) return false;
                    code = code * 16 + static_cast<unsigned>(h);
                }
                if (code < 0x80) {
                    out += static_cast<char>(code);
                } else if (code < 0x800) {
                    out += static_cast<char>(0xC0 | (code >> 6));
                    out += static_cast<char>(0x80 | (code & 0x3F));
                } else {
                    out += static_cast<char>(0xE0 | (code >> 12));
                    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                    out += static_cast<char>(0x80 | (code & 0x3F));
                }
                break;
            }
            default:
                return false;
        }
    }
    return false;  // no closing quote
}

bool skip_json_value(JsonCursor& c, unsigned depth);

// The members of an object whose "{" was taken, to its "}".  With
// `address`, the value of the one "address" member (a string) is stored
// there; a second one, or one that is not a string, fails the line.
bool read_json_members(JsonCursor& c, unsigned depth, std::string* address, bool& have_address) {
    if (take_char(c, '}')) return true;
    std::string key, value;
    do {
        if (!read_json_string(c, key) || !take_char(c, ':')) return false;
        if (address != nullptr && key == "address") {
            if (have_address || !read_json_string(c, value)) return false;
            *address = value;
            have_address = true;
        } else if (!skip_json_value(c, depth + 1)) {
            return false;
        }
    } while (take_char(c, ','));
    return take_char(c, '}');
}

bool skip_json_value(JsonCursor& c, unsigned depth) {
    if (depth > max_json_depth) return false;
    skip_json_blanks(c);
    if (c.at >= c.text.size()) return false;
    const char first = c.text[c.at];
    std::string ignored;
    if (first == '"') return read_json_string(c, ignored);
    if (first == '{') {
        ++c.at;
        bool unused = false;
        return read_json_members(c, depth, nullptr, unused);
    }
    if (first == '[') {
        ++c.at;
        if (take_char(c, ']')) return true;
        do {
            if (!skip_json_value(c, depth + 1)) return false;
        } while (take_char(c, ','));
        return take_char(c, ']');
    }
    for (std::string_view word : {"true", "false", "null"}) {
        if (c.text.substr(c.at, word.size()) == word) {
            c.at += word.size();
            return true;
        }
    }
    // A number: its characters, at least one digit; its exact grammar
    // does not matter for a member that is skipped.
    const std::size_t start = c.at;
    bool digit = false;
    while (c.at < c.text.size() && std::strchr("0123456789+-.eE", c.text[c.at]) != nullptr && c.text[c.at] != '\0') {
        digit = digit || (c.text[c.at] >= '0' && c.text[c.at] <= '9');
        ++c.at;
    }
    return c.at > start && digit;
}

// The "address" of a line that is one JSON object and nothing after it.
bool json_line_address(std::string_view line, std::string& address) {
    JsonCursor c{line, 0};
    bool have_address = false;
    if (!take_char(c, '{') || !read_json_members(c, 0, &address, have_address)) return false;
    skip_json_blanks(c);
    return c.at == line.size() && have_address;
}

std::string excerpt(std::string_view line) {
    if (line.size() <= shown_excerpt) return inert_text(line);
    return inert_text(line.substr(0, shown_excerpt)) + "...";
}

}  // namespace

bool parse_inventory(std::string_view text, std::string_view name, std::vector<std::string>& out,
                     std::string& error) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    std::size_t number = 0;
    while (!text.empty()) {
        ++number;
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        const std::string where = std::string(name) + " line " + std::to_string(number) + ": ";
        if (line.size() > max_inventory_line) {
            error = where + "longer than " + std::to_string(max_inventory_line) + " characters";
            return false;
        }
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        while (!line.empty() && is_blank(line.front())) line.remove_prefix(1);
        if (line.empty() || line.front() == '#') continue;
        if (line.front() == '{') {
            std::string address;
            if (!json_line_address(line, address)) {
                error = where + "'" + excerpt(line) + "' is not a JSON object with an \"address\" string";
                return false;
            }
            if (!is_address(address)) {
                error = where + "the \"address\" '" + excerpt(address) + "' is not an IPv4 address (a.b.c.d)";
                return false;
            }
            out.push_back(address);
            continue;
        }
        std::size_t token_end = 0;
        while (token_end < line.size() && !is_blank(line[token_end]) && line[token_end] != '#') ++token_end;
        const std::string_view token = line.substr(0, token_end);
        if (!is_address(token)) {
            error = where + "'" + excerpt(line) +
                    "' is neither an IPv4 address (a.b.c.d) nor a JSON object with an \"address\"";
            return false;
        }
        out.emplace_back(token);
    }
    return true;
}

bool read_inventory(const std::string& path, std::vector<std::string>& out, std::string& error) {
    const bool from_stdin = path == "-";
    const std::string name = from_stdin ? "the inventory on standard input" : path;
    std::FILE* f = from_stdin ? stdin : std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        error = "cannot read the inventory " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string text;
    char block[16384];
    bool too_large = false, failed = false;
    for (;;) {
        const std::size_t n = std::fread(block, 1, sizeof block, f);
        if (text.size() + n > max_inventory_bytes) {
            too_large = true;
            break;
        }
        text.append(block, n);
        if (n < sizeof block) {
            failed = std::ferror(f) != 0;
            break;
        }
    }
    if (!from_stdin) std::fclose(f);
    if (too_large) {
        error = name + " is larger than 1 MB (" + std::to_string(max_inventory_bytes) + " bytes)";
        return false;
    }
    if (failed) {
        error = "cannot read " + name;
        return false;
    }
    return parse_inventory(text, name, out, error);
}

std::vector<std::string> merged_devices(const std::vector<std::string>& operands,
                                        const std::vector<std::string>& inventory) {
    std::vector<std::string> merged;
    std::unordered_set<std::uint32_t> addresses;
    std::unordered_set<std::string> unread;
    auto add = [&](const std::string& text) {
        std::uint32_t address = 0;
        const bool fresh = parse_dotted_quad(text, address) ? addresses.insert(address).second
                                                            : unread.insert(text).second;
        if (fresh) merged.push_back(text);
    };
    for (const std::string& text : operands) add(text);
    for (const std::string& text : inventory) add(text);
    return merged;
}

}  // namespace qvr::cli
