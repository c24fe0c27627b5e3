"""Transfers across a link that loses 10% of the packets in each direction
(lossy_link.py: netem, or a random-drop filter where the kernel has no
netem).  The image must arrive byte for byte all the same: every lost DATA,
OACK or ACK costs one retransmission period of the server, or, for the
device's RRQ, one wait of the device's own.

First our TFTP code natively (tools/native/tftp_serve, no update wait) on
the PC side, then the staged-upgrader under Wine.
"""
import os
import urllib.request

from lossy_link import LossyLink
from native.tftp_serve.process import TftpServe
from upgrade_flow import (BUILD, DEVICE_ADDRESS, ODM_IMAGE, PC_ADDRESS, STAGED_ODM, TRANSITION_IMAGE, SimDevice,
                          Walk, device_options, image_bytes, log_dir)

LOSS_PERCENT = 10
SERVE = os.path.join(BUILD, "native", "tools", "tftp_serve", "tftp_serve")
NAME = "/qvr1a2b.bi1"
# Bounds only.
SERVE_LIMIT_S = 180
TRANSFER_BOUND_S = 240

# The device repeats a lost RRQ after 1 s instead of the negotiated 5.
LOSSY_CLIENT = ["--tftp-wait", "1", "--tftp-retries", "10"]


def test_tftp_serve_across_a_lossy_link(device_ns, tmp_path):
    image = TRANSITION_IMAGE  # 100,000 bytes: 196 blocks
    kept = tmp_path / "received"
    kept.mkdir()
    device = SimDevice(device_ns, "lossy-tftp_serve",
                       device_options([image], "--install-delay", "0", "--keep-received", str(kept),
                                      *LOSSY_CLIENT, password=None))
    with open(os.path.join(log_dir(), "lossy-tftp_serve.err"), "wb") as err:
        server = TftpServe(SERVE, image, NAME, address=PC_ADDRESS, limit_s=SERVE_LIMIT_S, stderr=err)
    try:
        with LossyLink(LOSS_PERCENT) as link:
            url = f"http://{DEVICE_ADDRESS}/admin/upgrade?tftp://{PC_ADDRESS}:{server.port}{NAME}"
            with urllib.request.urlopen(url, timeout=60) as answer:
                assert answer.status == 200
            [tftp] = device.wait_event("tftp", timeout=TRANSFER_BOUND_S)
            _, out, _ = server.finish()
            dropped = link.dropped()
            print(f"\nlossy link ({link.method}): {dropped} packets dropped; "
                  f"{tftp['duplicates_received']} blocks came twice, {tftp['rrq_sent']} RRQs")
    finally:
        server.kill()

    assert tftp["ok"], tftp["error"]
    assert (kept / f"1-{NAME[1:]}").read_bytes() == image_bytes(image)
    assert out.splitlines()[-1].startswith("success "), out
    # The loss was real, in both directions.
    assert dropped["PC"] > 0 and dropped["device"] > 0, dropped


def test_staged_upgrader_across_a_lossy_link(driver, run_program, device_ns, request):
    device = SimDevice(device_ns, request.node.name,
                       device_options([ODM_IMAGE], "--install-delay", "0", *LOSSY_CLIENT))
    program = run_program(STAGED_ODM)
    walk = Walk(driver, program, "staged", "ODM-Product", "1.2.3")
    walk.enter_address()
    walk.give_password()
    with LossyLink(LOSS_PERCENT) as link:
        walk.confirm()
        [tftp] = device.wait_event("tftp", timeout=TRANSFER_BOUND_S)
        dropped = link.dropped()
    print(f"\nlossy link ({link.method}): {dropped} packets dropped; "
          f"{tftp['duplicates_received']} blocks came twice, {tftp['rrq_sent']} RRQs")
    assert tftp["ok"], tftp["error"]
    assert tftp["bytes"] == len(image_bytes(ODM_IMAGE))
    assert dropped["PC"] > 0 and dropped["device"] > 0, dropped
    # The rest of this run (update wait, status) is the lossless tests'.
    walk.wait_transfer()
    walk.cancel_update_wait()
    assert walk.wait_outcome() == ("error", "Upgrade Failed: User Abort")
    assert program.wait_exit() == 0
