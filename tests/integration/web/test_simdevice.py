"""The web client against the simulated device: the status page, and a
challenge followed by an authenticated request for each Digest variant."""
import pytest

FIELDS = {"product_name": "QVR7x7g", "mac_address": "00:0E:08:12:34:56", "software_version": "7.5.5",
          "hardware_version": "1.0", "serial_number": "QVR0012345"}


def test_status_page_without_authentication(device, probe):
    d = device("--auth", "none", "--product-name", "QVR 7x7 & <b>", "--serial-number", "S" * 130)
    out = probe(d.port)
    assert out["requests"][0]["attempts"] == [{"result": out["requests"][0]["result"], "nc": 0}]
    assert out["identity"] == dict(FIELDS, product_name="QVR 7x7 & ", serial_number="S" * 127)
    [request] = d.events("request")
    assert request["raw"] == "GET /admin/advanced HTTP/1.1\r\nHost: 192.168.2.110"


@pytest.mark.parametrize("options", [
    ["--qop", "auth"],
    ["--qop", ""],
    ["--qop", "auth", "--algorithm", "MD5", "--opaque", "5ccc069c403ebaf9f0171e9517f40e41"],
    ["--qop", "auth", "--algorithm", "md5-sess"],
    ["--qop", "auth", "--algorithm", "MD5-SESS", "--opaque", "o"],
    ["--qop", "auth-int", "--algorithm", "MD5-sess"],
    ["--qop", "auth", "--nonce-mode", "fresh"],
], ids=lambda o: " ".join(o) or "none")
def test_challenge_then_authenticated_request(device, probe, options):
    d = device("--password", "s3cret", *options)
    out = probe(d.port, "--password", "s3cret")
    assert [a["result"] for a in out["requests"][0]["attempts"]][0] == -1
    assert out["requests"][0]["result"] > 0
    assert out["identity"] == FIELDS
    first, second = d.events("request")
    assert first["authorization"] is None and first["verdict"] == "challenge"
    assert second["verdict"] == "ok", second["verdict"]
    sent = second["authorization"]
    assert sent["uri"] == "/admin/advanced"
    assert ("nc" in sent) == (options[1] != "")
    if "nc" in sent:
        assert sent["nc"] == "000000001"


def test_nonce_count_runs_across_requests(device, probe):
    d = device("--password", "pw", "--opaque", "op")
    target = "/admin/upgrade?tftp://127.0.0.1:69/qvr1a2b.bi1"
    out = probe(d.port, "--password", "pw", "--target", "/admin/advanced", "--target", target,
                "--target", "/admin/advanced")
    assert [r["result"] > 0 for r in out["requests"]] == [True, True, True]
    sent = [e["authorization"] for e in d.events("request")[1:]]
    assert [s["nc"] for s in sent] == ["000000001", "000000002", "000000003"]
    assert len({s["cnonce"] for s in sent}) == 1, "one client nonce until the next challenge"
    assert sent[1]["uri"] == target
    assert [(u["host"], u["port"], u["name"]) for u in d.events("upgrade")] == [("127.0.0.1", 69, "/qvr1a2b.bi1")]


# A refused password draws the same nonce (fixed) and the next password is
# asked for; with a new nonce the stored one is first tried once more.
@pytest.mark.parametrize("mode, verdicts", [
    ("fixed", ["challenge", "rejected: response digest", "ok"]),
    ("fresh", ["challenge", "rejected: response digest", "rejected: response digest", "ok"]),
])
def test_wrong_password_then_right(device, probe, mode, verdicts):
    d = device("--password", "right", "--nonce-mode", mode)
    out = probe(d.port, "--password", "wrong", "--password", "right")
    assert out["identity"] == FIELDS
    assert [e["verdict"] for e in d.events("request")] == verdicts


# md5-sess over the hex text (RFC 2617's prose) is not the device's variant;
# md5-sess without qop hashes a client nonce that the header never carries,
# so no server can check it.  Both are refused.
@pytest.mark.parametrize("options", [["--algorithm", "md5-sess", "--sess-hex"],
                                     ["--algorithm", "MD5-sess", "--qop", ""]])
def test_md5_sess_variants_that_cannot_pass(device, probe, options):
    d = device("--password", "pw", *options)
    out = probe(d.port, "--password", "pw")
    assert out["requests"][0]["end"] == "no password left"
    assert [e["verdict"] for e in d.events("request")] == ["challenge", "rejected: response digest"]
