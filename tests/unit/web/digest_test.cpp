// Digest: known answers from RFC 2617 and from hashlib (web_vectors.cpp), the
// challenge reader's rules, and the nonce count across challenges.
#include "web/digest.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/random.h"
#include "common/text.h"
#include "web/http_exchange.h"
#include "web/web_vectors.h"

namespace qvr {
namespace {

TEST(Digest, Rfc2617WorkedExample) {
    char ha1[digest_hex_size], response[digest_hex_size];
    digest_session_key("MD5", "Mufasa", "testrealm@host.com", "Circle Of Life", "", "", ha1);
    EXPECT_STREQ(ha1, "939e7578ed9e3c518a452acee763bce9");
    digest_response(ha1, "dcd98b7102dd2f0e8b11d0f600bfb0c093", "00000001", "0a4f113b", "auth", "GET",
                    "/dir/index.html", response);
    EXPECT_STREQ(response, "6629fae49393a05397450978507c4ef1");
}

// md5-sess over the raw digest in any letter case, auth-int, a qop list used
// whole, an unknown algorithm, nine-digit nc, opaque present or not.
TEST(Digest, AgreesWithIndependentVectors) {
    for (int i = 0; i < qvr_test::digest_vector_count; ++i) {
        const qvr_test::DigestVector& v = qvr_test::digest_vectors[i];
        DigestState state = v.state;
        char line[1024];
        EXPECT_EQ(compose_authorization(state, v.uri, line, sizeof line), std::strlen(v.line)) << v.line;
        EXPECT_STREQ(line, v.line);
        EXPECT_EQ(compose_authorization(state, v.uri, line, std::strlen(v.line)), 0u) << "no room for the NUL";
        EXPECT_STREQ(line, "");
    }
}

// Over an earlier challenge's values: without realm="" nothing changes;
// without nonce="" only the realm does; otherwise every field, empty when
// absent (unquoted values do not count), a value running to the next double
// quote or the end of the text.  A new nonce restarts nc, the same one keeps
// counting; a client nonce ("%x" of the seeded generator: 41, 18467, 6334)
// is drawn at every challenge read.
TEST(Digest, ChallengeFields) {
    const struct {
        std::string text;
        bool ok;
        const char *realm, *nonce, *qop, *algorithm, *opaque, *cnonce;
        unsigned nc;
    } cases[] = {
        {R"(Digest Realm="x", nonce="y")", false, "old", "old-nonce", "auth", "MD5", "op", "", 5},
        {R"(Digest realm="new", nonce=y)", false, "new", "old-nonce", "auth", "MD5", "op", "", 5},
        {"Digest qop=auth, algorithm=MD5\r\n\r\n<p>realm=\"in the body\" nonce=\"abc", true, "in the body", "abc",
         "", "", "", "29", 0},
        {R"(Digest nonce="n",realm="r",opaque="o",algorithm="MD5-sess",qop="auth,auth-int")", true, "r", "n",
         "auth,auth-int", "MD5-sess", "o", "4823", 0},
        {R"(Digest realm="QVR", nonce="old-nonce", qop="auth")", true, "QVR", "old-nonce", "auth", "", "", "18be", 5},
    };
    seed_random(1);
    for (const auto& c : cases) {
        DigestState state{5, "old-nonce", "old-nonce", "", "admin", "pw", "old", "auth", "MD5", "/", "op"};
        EXPECT_EQ(parse_digest_challenge(state, "WWW-Authenticate: " + c.text), c.ok) << c.text;
        EXPECT_STREQ(state.realm, c.realm) << c.text;
        EXPECT_STREQ(state.nonce, c.nonce) << c.text;
        EXPECT_STREQ(state.last_nonce, c.nonce) << c.text;
        EXPECT_STREQ(state.qop, c.qop) << c.text;
        EXPECT_STREQ(state.algorithm, c.algorithm) << c.text;
        EXPECT_STREQ(state.opaque, c.opaque) << c.text;
        EXPECT_STREQ(state.cnonce, c.cnonce) << c.text;
        EXPECT_EQ(state.nc, c.nc) << c.text;
    }
}

// Values longer than their fields are cut to fit; the neighbouring fields
// of the record keep their contents.
TEST(Digest, OverlongValuesAreCutInsideTheirFields) {
    DigestState state{};
    copy_text(state.password, "keep");
    const std::string big(5000, 'x');
    std::string text;
    for (const char* name : {"realm", "nonce", "qop", "algorithm", "opaque"}) text += std::string(name) + "=\"" + big + "\" ";
    ASSERT_TRUE(parse_digest_challenge(state, text));
    for (const char* field : {state.realm, state.nonce, state.last_nonce, state.opaque})
        EXPECT_EQ(std::strlen(field), 127u);
    EXPECT_EQ(std::strlen(state.qop), 15u);
    EXPECT_EQ(std::strlen(state.algorithm), 15u);
    EXPECT_STREQ(state.password, "keep");
    EXPECT_STREQ(state.username, "");
    char line[1024];
    std::size_t n = compose_authorization(state, big, line, sizeof line);
    EXPECT_EQ(std::strlen(state.uri), 127u);
    EXPECT_EQ(n, std::strlen(line));
    EXPECT_LT(n, 1000u);
}

// The request worker's choices after each 401, against a device played here
// that takes an Authorization line only with the password "right" and its
// current nonce, and otherwise challenges with that nonce again (fixed) or
// with a new one every time (fresh).  `typed`: the password dialog's
// answers in turn (nullptr: Cancel).  The letters: R a request, D the
// dialog; then "ok" for the page, "X" for giving up.
std::string dialogue(bool fresh, std::vector<const char*> typed, DigestState state = {}) {
    ChallengeRetry retry{};
    std::string seen;
    int current = 1;
    for (int attempt = 0; attempt < 20; ++attempt) {
        char request[2048];
        if (compose_http_request(state, "/admin/advanced", request, sizeof request) == 0) return seen + " too long";
        seen += "R";
        const std::string nonce = "n" + std::to_string(current);
        if (std::strstr(request, "Authorization: Digest") && std::string(state.password) == "right" &&
            state.nonce == nonce)
            return seen + " ok";
        if (fresh && attempt > 0) ++current;
        const std::string challenge = "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"QVR\", nonce=\"n" +
                                      std::to_string(current) + "\", qop=\"auth\"\r\n\r\n";
        if (!read_digest_challenge(challenge, state)) return seen + " no challenge";
        if (step_after_challenge(state, retry) == ChallengeStep::repeat) continue;
        seen += "D";
        if (typed.empty()) return seen + " no answer";
        const char* answer = typed.front();
        typed.erase(typed.begin());
        if (answer != nullptr) copy_text(state.password, answer);
        if (step_after_password_dialog(answer != nullptr, retry) == ChallengeStep::give_up) return seen + " X";
    }
    return seen + " no end";
}

TEST(DigestChallengeSteps, RepeatOnceForANewNonceOtherwiseAskOrGiveUp) {
    EXPECT_EQ(dialogue(false, {"right"}), "RDR ok");
    EXPECT_EQ(dialogue(false, {"wrong", "right"}), "RDRDR ok") << "a refusal with the same nonce: no automatic repeat";
    EXPECT_EQ(dialogue(true, {"wrong", "right"}), "RDRRDR ok") << "a new nonce each time: exactly one repeat";
    EXPECT_EQ(dialogue(false, {"", "right"}), "RDRDR ok") << "an empty password sends nothing to repeat";
    EXPECT_EQ(dialogue(false, {nullptr}), "RD X");
    EXPECT_EQ(dialogue(true, {"wrong", nullptr}), "RDRRD X");
    // Right credentials whose nonce has gone stale (a later request of the
    // run): the new nonce is answered without asking.
    DigestState stale{3, "n0", "n0", "c", "admin", "right", "QVR", "auth", "", "", ""};
    EXPECT_EQ(dialogue(false, {}, stale), "RR ok");
}

}  // namespace
}  // namespace qvr
