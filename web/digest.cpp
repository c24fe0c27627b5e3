#include "web/digest.h"

#include <cstdio>
#include <optional>

#include "common/random.h"
#include "common/text.h"
#include "web/text_out.h"

namespace qvr {

namespace {

bool equals_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// The value of the first name="..." in text (marker is name=" itself): up
// to the next double quote or the end of the text.
std::optional<std::string_view> quoted_parameter(std::string_view text, std::string_view marker) {
    std::size_t at = text.find(marker);
    if (at == std::string_view::npos) return std::nullopt;
    std::size_t start = at + marker.size();
    std::size_t end = text.find('"', start);
    if (end == std::string_view::npos) end = text.size();
    return text.substr(start, end - start);
}

// The hex MD5 of the empty body, the only body a GET of ours has.
constexpr std::string_view empty_body_hash = "d41d8cd98f00b204e9800998ecf8427e";

}  // namespace

void hex_lower(const std::uint8_t (&digest)[md5_digest_size], char (&text)[digest_hex_size]) {
    constexpr char digits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < md5_digest_size; ++i) {
        text[2 * i] = digits[digest[i] >> 4];
        text[2 * i + 1] = digits[digest[i] & 0x0F];
    }
    text[2 * md5_digest_size] = '\0';
}

void digest_session_key(std::string_view algorithm, std::string_view username, std::string_view realm,
                        std::string_view password, std::string_view nonce, std::string_view cnonce,
                        char (&ha1)[digest_hex_size]) {
    Md5Context md5;
    std::uint8_t digest[md5_digest_size];
    md5_start(md5);
    md5_add(md5, username);
    md5_add(md5, ":");
    md5_add(md5, realm);
    md5_add(md5, ":");
    md5_add(md5, password);
    md5_finish(md5, digest);
    if (equals_ignoring_case(algorithm, "md5-sess")) {
        // The device hashes the raw digest here, where RFC 2617's prose has
        // its hex text.
        md5_start(md5);
        md5_add(md5, digest, sizeof digest);
        md5_add(md5, ":");
        md5_add(md5, nonce);
        md5_add(md5, ":");
        md5_add(md5, cnonce);
        md5_finish(md5, digest);
    }
    hex_lower(digest, ha1);
}

void digest_response(std::string_view ha1, std::string_view nonce, std::string_view nc_text,
                     std::string_view cnonce, std::string_view qop, std::string_view method,
                     std::string_view uri, char (&response)[digest_hex_size]) {
    Md5Context md5;
    std::uint8_t digest[md5_digest_size];
    char ha2[digest_hex_size];
    md5_start(md5);
    md5_add(md5, method);
    md5_add(md5, ":");
    md5_add(md5, uri);
    if (equals_ignoring_case(qop, "auth-int")) {
        md5_add(md5, ":");
        md5_add(md5, empty_body_hash);
    }
    md5_finish(md5, digest);
    hex_lower(digest, ha2);

    md5_start(md5);
    md5_add(md5, ha1);
    md5_add(md5, ":");
    md5_add(md5, nonce);
    md5_add(md5, ":");
    if (!qop.empty()) {
        md5_add(md5, nc_text);
        md5_add(md5, ":");
        md5_add(md5, cnonce);
        md5_add(md5, ":");
        md5_add(md5, qop);
        md5_add(md5, ":");
    }
    md5_add(md5, std::string_view(ha2, 2 * md5_digest_size));
    md5_finish(md5, digest);
    hex_lower(digest, response);
}

bool parse_digest_challenge(DigestState& state, std::string_view text) {
    std::optional<std::string_view> realm = quoted_parameter(text, "realm=\"");
    if (!realm) return false;
    copy_text(state.realm, *realm);
    std::optional<std::string_view> nonce = quoted_parameter(text, "nonce=\"");
    if (!nonce) return false;
    copy_text(state.nonce, *nonce);

    if (field_text(state.nonce) != field_text(state.last_nonce)) {
        copy_text(state.last_nonce, field_text(state.nonce));
        state.nc = 0;
    }
    std::snprintf(state.cnonce, sizeof state.cnonce, "%x", next_random());

    copy_text(state.algorithm, quoted_parameter(text, "algorithm=\"").value_or(std::string_view()));
    copy_text(state.qop, quoted_parameter(text, "qop=\"").value_or(std::string_view()));
    copy_text(state.opaque, quoted_parameter(text, "opaque=\"").value_or(std::string_view()));
    return true;
}

std::size_t compose_authorization(DigestState& state, std::string_view target, char* out, std::size_t capacity) {
    copy_text(state.uri, target);
    std::string_view qop = field_text(state.qop);
    char nc_text[16] = "";
    // Nine digits: the device counts with "%09x", not RFC 2617's eight.
    if (!qop.empty()) std::snprintf(nc_text, sizeof nc_text, "%09x", static_cast<unsigned>(state.nc));

    char ha1[digest_hex_size];
    char response[digest_hex_size];
    digest_session_key(field_text(state.algorithm), field_text(state.username), field_text(state.realm),
                       field_text(state.password), field_text(state.nonce), field_text(state.cnonce), ha1);
    digest_response(ha1, field_text(state.nonce), nc_text, field_text(state.cnonce), qop, "GET",
                    field_text(state.uri), response);

    TextOut line = text_out(out, capacity);
    append_text(line, "Authorization: Digest username=\"");
    append_text(line, field_text(state.username));
    append_text(line, "\",realm=\"");
    append_text(line, field_text(state.realm));
    append_text(line, "\",nonce=\"");
    append_text(line, field_text(state.nonce));
    append_text(line, "\",uri=\"");
    append_text(line, field_text(state.uri));
    append_text(line, "\",algorithm=\"");  // always present, quoted even when empty
    append_text(line, field_text(state.algorithm));
    append_text(line, "\",response=\"");
    append_text(line, response);
    append_text(line, "\"");
    if (state.opaque[0] != '\0') {
        append_text(line, ",opaque=\"");
        append_text(line, field_text(state.opaque));
        append_text(line, "\"");
    }
    if (!qop.empty()) {
        append_text(line, ",qop=");
        append_text(line, qop);
        append_text(line, ",nc=");
        append_text(line, nc_text);
        append_text(line, ",cnonce=\"");
        append_text(line, field_text(state.cnonce));
        append_text(line, "\"");
    }
    append_text(line, "\r\n");
    if (line.cut) {
        text_out(out, capacity);
        return 0;
    }
    return line.length;
}

ChallengeStep step_after_challenge(const DigestState& state, ChallengeRetry& retry) {
    if (state.password[0] != '\0' && state.nc == 0 && retry.automatic_repeats == 0) {
        retry.automatic_repeats = 1;
        return ChallengeStep::repeat;
    }
    return ChallengeStep::ask_password;
}

ChallengeStep step_after_password_dialog(bool entered, ChallengeRetry& retry) {
    if (!entered) return ChallengeStep::give_up;
    retry.automatic_repeats = 0;
    return ChallengeStep::repeat;
}

}  // namespace qvr
