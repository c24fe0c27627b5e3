"""Our TFTP server (tftp_serve: the programs' listener and session code)
serving the simulated device's own TFTP client on loopback, with each of the
device's faults.  A transfer that can recover must deliver the image byte
for byte (checked by the device and again here on the copy it kept); one
that cannot must end in the server's time-out, which tftp_serve reports as
the programs do.  The retransmissions are counted on the device side.

tftp_serve is built with the recovery-upgrader's constants: a retransmission
period of 100 polls, 300 periods without progress before the time-out, so
299 retransmissions of the unacknowledged packet.
"""
import re
import signal
import time

import pytest

from harness import SAMPLE, FetchingDevice, Server, cut_image, needs_serve

pytestmark = needs_serve

RETRANSMISSIONS_BEFORE_TIME_OUT = 299
TIME_OUT_REPORT = "Upgrade Failed: TFTP time out"


# Faults the transfer survives: the device's options, the image size (None:
# the sample), the counts its record must show given the ACKs a lock-step
# transfer wants (one per block and the OACK's), and at most how many
# packets may come twice.  The session must answer from the listener's port,
# and no ACK from another port may move it on.
SURVIVED = {
    "nothing lost": ([], None, lambda wanted: {"acks_sent": wanted}, None),
    # The server acknowledges tsize and timeout whatever the request asked;
    # the device takes it and acknowledges block 0.
    "request without options": (["--tftp-no-options"], None, lambda wanted: {"unsolicited_oack": True}, None),
    # The first lost ACK is that of the OACK: the OACK must come again.
    "first ACK lost": (["--drop-first-acks", "1"], None, lambda wanted: {"acks_dropped": 1}, None),
    "first 5 ACKs lost": (["--drop-first-acks", "5"], None, lambda wanted: {"acks_dropped": 5}, None),
    "every 4th ACK lost": (["--drop-every-ack", "4"], 65536, lambda wanted: {"acks_dropped": wanted // 4}, None),
    # A duplicate ACK must not be answered with the next block again (the
    # Sorcerer's Apprentice fault would send nearly every block twice).
    "duplicate ACKs": (["--duplicate-acks"], None, lambda wanted: {"acks_sent": 2 * wanted}, 10),
    "every 3rd ACK from another port": (["--acks-from-other-port", "3"], 65536,
                                        lambda wanted: {"acks_other_port": wanted // 3}, None),
    # The device ignores the OACK through two of its own waits and sends its
    # RRQ again after each; the repeated RRQs must not disturb the session.
    "OACK ignored twice": (["--ignore-oack", "2", "--tftp-wait", "0.5"], None, lambda wanted: {"rrq_sent": 3}, None),
}


@pytest.mark.parametrize("case", SURVIVED)
def test_transfer_survives(tftp_pair, tmp_path, case):
    options, size, counts, most_duplicates = SURVIVED[case]
    server, device = tftp_pair(SAMPLE if size is None else cut_image(tmp_path, size), *options)
    [tftp] = device.wait_event("tftp")
    code, out, err = server.finish()
    image = server.image.read_bytes()
    assert tftp["ok"], tftp["error"]
    assert device.received() == image
    assert code == 0 and out.splitlines()[-1].startswith("success "), (out, err)
    assert tftp["oack"] == {"tsize": str(len(image)), "timeout": "5"}
    assert tftp["blocks"] == len(image) // 512 + 1
    assert tftp["notes"] == []
    expected = dict(counts(tftp["acks_wanted"]), server_port=server.port, stranger_ack_accepted=0, unknown_tid=0)
    assert {key: tftp[key] for key in expected} == expected
    assert tftp["duplicates_received"] >= tftp["acks_dropped"], "a lost ACK was not answered by the packet again"
    assert most_duplicates is None or tftp["duplicates_received"] <= most_duplicates, tftp["duplicates_received"]


def test_wrong_file_name_is_not_served(tmp_path):
    # A device asking for another name gets nothing: its fetch fails by its
    # own retransmission limit, and the server still waits for its file.
    image = cut_image(tmp_path, 4096)
    server = Server(image)
    device = FetchingDevice(tmp_path, image, "--tftp-wait", "0.2", "--tftp-retries", "2")
    try:
        assert device.upgrade(server.port, name="/QVR1A2B.BI1")[0] == 200
        [tftp] = device.wait_event("tftp")
        assert not tftp["ok"] and tftp["rrq_sent"] == 3
        assert tftp["server_port"] is None, "the server answered a request for another name"
        assert device.upgrade(server.port)[0] == 200
        [_, second] = device.wait_event("tftp", 2)
        assert second["ok"], second["error"]
        assert device.received(2) == image.read_bytes()
        code, out, _ = server.finish()
        assert code == 0 and "success" in out
    finally:
        server.kill()
        device.stop()


# ---------------------------------------------------------------------------
# Faults the transfer cannot survive.  Each takes the server's full time-out
# (30 s), so they are all started together and each test collects its own.

# What the device must have seen: an ERROR from it is dropped like any other
# packet that is not the expected ACK, and the server repeats its last packet
# until it gives up; no block may follow an ACK it must not take.
REPEATED_TO_THE_END = {"after_end": {"packets": RETRANSMISSIONS_BEFORE_TIME_OUT,
                                     "repeats": RETRANSMISSIONS_BEFORE_TIME_OUT, "other": 0, "errors": 0}}
TIME_OUT_CASES = {
    "error on the OACK": (["--error-at-block", "0"], REPEATED_TO_THE_END),
    "error on block 3": (["--error-at-block", "3"], REPEATED_TO_THE_END),
    "ACKs stop after block 5": (["--stop-after-block", "5"], REPEATED_TO_THE_END),
    # The device's own patience (8 waits of 5 s without progress) outlasts
    # the server's, so it sees every retransmission of the OACK, and answers
    # each again.
    "every ACK from another port": (["--acks-from-other-port", "1", "--tftp-wait", "5", "--tftp-retries", "8"],
                                    {"stranger_ack_accepted": 0, "blocks": 0,
                                     "duplicates_received": RETRANSMISSIONS_BEFORE_TIME_OUT}),
    "OACK never heard": (["--ignore-oack", "1000", "--tftp-wait", "1", "--tftp-limit", "45"],
                         {"oacks_ignored": 1 + RETRANSMISSIONS_BEFORE_TIME_OUT, "blocks": 0}),
}


@pytest.fixture(scope="module")
def time_out_runs(tmp_path_factory):
    directory = tmp_path_factory.mktemp("time-outs")
    image = cut_image(directory, 16 * 1024)
    runs = {}
    try:
        for case, (options, _) in TIME_OUT_CASES.items():
            server = Server(image)
            device = FetchingDevice(directory, image, *options)
            runs[case] = (server, device)
            assert device.upgrade(server.port)[0] == 200
        yield runs
    finally:
        for server, device in runs.values():
            server.kill()
            device.stop()


@pytest.mark.parametrize("case", TIME_OUT_CASES)
def test_server_retransmits_then_times_out(time_out_runs, case):
    server, device = time_out_runs[case]
    code, out, err = server.finish()
    [tftp] = device.wait_event("tftp")
    assert code == 0, "the programs end with exit code 0 after a failure too"
    assert TIME_OUT_REPORT in err and "success" not in out, err
    assert not tftp["ok"]
    expected = TIME_OUT_CASES[case][1]
    assert {key: tftp[key] for key in expected} == expected


# ---------------------------------------------------------------------------
# Floods at full speed (the device's flood_after_block fault: two threads of
# sendmmsg bursts), of stale ACKs from the requester's own address and port
# or of ACKs from another port.  The server must keep its clock: repeat its
# block once per period, give up after its usual time-out, and take a Cancel
# (SIGUSR1 to tftp_serve) posted meanwhile.  The figures are printed; the
# checks are on counts and on order (the server ended while the flood still
# ran), and the time bounds only stop a hang.

TIME_OUT_S = 30  # 300 periods of at least 100 ms


def flood_figures(tftp, ended_at):
    flood = tftp["flood"]
    times = flood["repeat_s"]
    gaps = [b - a for a, b in zip(times, times[1:])] or [0]
    return (f"{flood['kind']} flood: {flood['sent']} datagrams, {len(times)} repeats, period "
            f"mean {1000 * sum(gaps) / len(gaps):.0f} ms max {1000 * max(gaps):.0f} ms, "
            f"server ended {ended_at - flood['started']:.2f} s into the flood")


def test_stale_ack_flood_keeps_retransmissions_and_time_out(tftp_pair, tmp_path):
    server, device = tftp_pair(cut_image(tmp_path, 16 * 1024), "--flood-after-block", "3")
    code, out, err = server.finish()
    ended_at = time.time()
    [tftp] = device.wait_event("tftp")
    print("\n" + flood_figures(tftp, ended_at))
    assert code == 0 and TIME_OUT_REPORT in err, err
    assert tftp["after_end"] == {"packets": RETRANSMISSIONS_BEFORE_TIME_OUT,
                                 "repeats": RETRANSMISSIONS_BEFORE_TIME_OUT, "other": 0, "errors": 0}
    assert tftp["flood"]["ended"] > ended_at, "the flood stopped before the server gave up"
    # Repeats every period (100 ms): at least one in each second of the flood.
    times = [0] + tftp["flood"]["repeat_s"]
    assert max(b - a for a, b in zip(times, times[1:])) < 1, "a second of the flood without a repeat"
    assert ended_at - tftp["flood"]["started"] < 2 * TIME_OUT_S


def cancel_during(server):
    """Posts Cancel and waits for the server's end: (when it was posted, when
    the server ended, the milliseconds tftp_serve took to see it)."""
    posted_at = time.time()
    server.proc.send_signal(signal.SIGUSR1)
    code, out, err = server.finish()
    ended_at = time.time()
    assert code == 0 and "Upgrade Failed: User Abort" in err, err
    taken = re.search(r"cancel taken (\d+) ms", err)
    return posted_at, ended_at, int(taken.group(1))


@pytest.mark.parametrize("kind", ["stale", "strangers"])
def test_cancel_during_a_session_flood(tftp_pair, tmp_path, kind):
    server, device = tftp_pair(cut_image(tmp_path, 16 * 1024), "--flood-after-block", "3", "--flood-kind", kind)
    device.wait_event("flood")
    time.sleep(0.5)  # well into the flood, past a few periods
    posted_at, ended_at, taken_ms = cancel_during(server)
    [tftp] = device.wait_event("tftp")
    print(f"\n{flood_figures(tftp, ended_at)}; Cancel taken after {taken_ms} ms")
    flood = tftp["flood"]
    assert flood["ended"] > ended_at, "Cancel was taken only after the flood"
    repeated_at = [flood["started"] + t for t in flood["repeat_s"]]
    assert sum(t < posted_at for t in repeated_at) >= 3, "no retransmission during the flood"
    # Taken before the period then running was over: at most that one repeat.
    assert sum(t > posted_at for t in repeated_at) <= 1, "the server went on after the Cancel"
    assert tftp["after_end"]["other"] == 0, tftp["after_end"]

