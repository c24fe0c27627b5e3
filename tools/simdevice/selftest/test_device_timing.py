"""The device's timing switches: an upgrade command answered late, with the
status page from before it, after a given time or while a later status
page is being sent; and answers dribbled in small pieces."""
import socket
import threading
import time

from simdevice.testbed import Device

OLD_VERSION = "7.5.5"


def ask(port, target):
    """(answer bytes, seconds until the first byte, seconds until the end)."""
    started = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=20) as s:
        s.sendall(f"GET {target} HTTP/1.1\r\nHost: 192.168.2.110\r\n\r\n".encode())
        answer, first = b"", None
        while piece := s.recv(4096):
            first = first or time.monotonic() - started
            answer += piece
    return answer, first, time.monotonic() - started


COMMAND = "/admin/upgrade?tftp://127.0.0.1:9/qvr1a2b.bi1"


def test_upgrade_answer_held_for_a_time(tmp_path):
    device = Device(tmp_path, "--auth", "none", "--no-fetch", "--hold-upgrade-answer", "1.5")
    try:
        answer, first, _ = ask(device.port, COMMAND)
        assert first >= 1.5
        assert answer.startswith(b"HTTP/1.1 200 OK")
        assert f"Software Version:</td><td>{OLD_VERSION}<".encode() in answer
        [held] = device.events("upgrade-held")
        [answered] = device.events("upgrade-answered")
        assert answered["time"] - held["time"] >= 1.5
    finally:
        device.stop()


def test_upgrade_answer_held_until_a_status_page_is_being_sent(tmp_path):
    device = Device(tmp_path, "--auth", "none", "--no-fetch", "--hold-upgrade-answer", "status",
                    "--dribble-ms", "40")
    try:
        late = {}
        command = threading.Thread(target=lambda: late.update(zip(("answer", "first", "end"), ask(device.port, COMMAND))))
        command.start()
        device.wait_event("upgrade-held")
        time.sleep(1)
        assert command.is_alive(), "answered before any status request"
        page, _, status_took = ask(device.port, "/admin/advanced")
        command.join(20)
        # The page dribbles: 64 bytes each 40 ms.
        assert status_took >= (len(page) // 64) * 0.04
        assert b"Software Version:" in page and b"Software Version:" in late["answer"]
        [answered] = device.events("upgrade-answered")
        status_event = [e for e in device.events("request") if e.get("target") == "/admin/advanced"][0]
        # The held answer began while the status page was still going.
        assert 0 < answered["time"] - status_event["time"] < status_took
    finally:
        device.stop()
