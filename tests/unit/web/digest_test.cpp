// Digest: known answers from RFC 2617 and from hashlib (web_vectors.cpp), the
// challenge reader's rules, and the nonce count across challenges.
#include "web/digest.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

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
        SCOPED_TRACE(v.line);
        char ha1[digest_hex_size], response[digest_hex_size], nc_text[16] = "";
        digest_session_key(v.algorithm, v.username, v.realm, v.password, v.nonce, v.cnonce, ha1);
        EXPECT_STREQ(ha1, v.ha1);
        if (v.qop[0] != '\0') std::snprintf(nc_text, sizeof nc_text, "%09x", v.nc);
        digest_response(ha1, v.nonce, nc_text, v.cnonce, v.qop, "GET", v.uri, response);
        EXPECT_STREQ(response, v.response);

        DigestState state{};
        state.nc = v.nc;
        copy_text(state.username, v.username);
        copy_text(state.password, v.password);
        copy_text(state.realm, v.realm);
        copy_text(state.nonce, v.nonce);
        copy_text(state.cnonce, v.cnonce);
        copy_text(state.algorithm, v.algorithm);
        copy_text(state.qop, v.qop);
        copy_text(state.opaque, v.opaque);
        char line[1024];
        EXPECT_EQ(compose_authorization(state, v.uri, line, sizeof line), std::strlen(v.line));
        EXPECT_STREQ(line, v.line);
        EXPECT_STREQ(state.uri, v.uri);
        EXPECT_EQ(compose_authorization(state, v.uri, line, std::strlen(v.line)), 0u) << "no room for the NUL";
        EXPECT_STREQ(line, "");
    }
}

std::string hex(unsigned n) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", n);
    return text;
}

// nc restarts only with a new nonce; the client nonce is redrawn from the
// seeded generator at every challenge.
TEST(Digest, NonceCountAndClientNonceAcrossChallenges) {
    seed_random(4242);
    std::string draws[3];
    for (std::string& d : draws) d = hex(next_random());
    seed_random(4242);

    DigestState state{};
    copy_text(state.username, "admin");
    copy_text(state.password, "secret");
    char request[2048];
    auto request_nc = [&] {
        compose_http_request(state, "/admin/advanced", request, sizeof request);
        std::string text = request;
        return text.substr(text.find(",nc=") + 4, 9);
    };
    ASSERT_TRUE(parse_digest_challenge(state, R"(WWW-Authenticate: Digest realm="QVR", nonce="n1", qop="auth")"));
    EXPECT_EQ(state.nc, 0u);
    EXPECT_EQ(state.cnonce, draws[0]);
    EXPECT_EQ(request_nc(), "000000001");
    EXPECT_EQ(request_nc(), "000000002");
    ASSERT_TRUE(parse_digest_challenge(state, R"(WWW-Authenticate: Digest nonce="n1",realm="QVR",qop="auth")"));
    EXPECT_EQ(state.cnonce, draws[1]);
    EXPECT_EQ(request_nc(), "000000003") << "the same nonce keeps counting";
    ASSERT_TRUE(parse_digest_challenge(state, R"(WWW-Authenticate: Digest realm="QVR",nonce="n2",qop="auth")"));
    EXPECT_EQ(state.nc, 0u);
    EXPECT_STREQ(state.last_nonce, "n2");
    EXPECT_EQ(state.cnonce, draws[2]);
    EXPECT_EQ(request_nc(), "000000001");
}

TEST(Digest, ChallengeWithoutRealmOrNonceFails) {
    DigestState before{};
    copy_text(before.realm, "old");
    copy_text(before.nonce, "old-nonce");
    copy_text(before.qop, "auth");
    DigestState state = before;
    EXPECT_FALSE(parse_digest_challenge(state, R"(WWW-Authenticate: Digest Realm="x", nonce="y")"));
    EXPECT_EQ(std::memcmp(&state, &before, sizeof state), 0) << "nothing may change";
    EXPECT_FALSE(parse_digest_challenge(state, R"(WWW-Authenticate: Digest realm="new", nonce=y)"));
    copy_text(before.realm, "new");
    EXPECT_EQ(std::memcmp(&state, &before, sizeof state), 0) << "only the realm may change";
}

// Only name="..." counts; anything else leaves its field empty, and a plain
// MD5 header without qop, nc or cnonce follows.
TEST(Digest, UnquotedAndMissingParametersGiveEmptyFields) {
    DigestState state{};
    copy_text(state.qop, "auth");
    copy_text(state.opaque, "stale");
    ASSERT_TRUE(parse_digest_challenge(state, "WWW-Authenticate: Digest qop=auth, algorithm=MD5\r\n"
                                              "\r\n<p>realm=\"in the body\" nonce=\"abc"));
    EXPECT_STREQ(state.realm, "in the body");
    EXPECT_STREQ(state.nonce, "abc") << "an unterminated value runs to the end of the text";
    EXPECT_STREQ(state.qop, "");
    EXPECT_STREQ(state.algorithm, "");
    EXPECT_STREQ(state.opaque, "");
    char line[1024];
    ASSERT_GT(compose_authorization(state, "/admin/advanced", line, sizeof line), 0u);
    std::string text = line;
    EXPECT_NE(text.find(",algorithm=\"\",response=\""), std::string::npos);
    EXPECT_EQ(text.find("qop"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 3), "\"\r\n");
}

// Values longer than their fields are cut to fit; the neighbouring fields
// of the record keep their contents.
TEST(Digest, OverlongValuesAreCutInsideTheirFields) {
    DigestState state{};
    copy_text(state.password, "keep");
    std::string big(5000, 'x');
    std::string text = "realm=\"" + big + "\" nonce=\"" + big + "\" qop=\"" + big + "\" algorithm=\"" + big +
                       "\" opaque=\"" + big + "\"";
    ASSERT_TRUE(parse_digest_challenge(state, text));
    EXPECT_EQ(std::strlen(state.realm), 127u);
    EXPECT_EQ(std::strlen(state.nonce), 127u);
    EXPECT_EQ(std::strlen(state.last_nonce), 127u);
    EXPECT_EQ(std::strlen(state.opaque), 127u);
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

}  // namespace
}  // namespace qvr
