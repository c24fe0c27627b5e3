#!/usr/bin/env python3
"""How many faults of the kinds the suite is for the unit and integration
tests catch: block arithmetic, wire formats, Digest fields, missing or
misplaced NULs, dialog and report texts, lost Cancels, floods, recovery
messages, the listener's name match and the waits, state shared between
the two threads' web requests, the stage flip, and the terminal program's
trust: the sender check, the transition image's product, the HTTP deadline
and a core that ends the process instead of handing its failure back; and
its fleet runs: the shared server's routing, --max-fail, up-to-date devices
and --check.

    git worktree add /tmp/qvr-faults && cd /tmp/qvr-faults
    bench/planted_faults.py [--out FILE] [ID ...]

It edits product sources in place, so run it in a worktree of its own, not
in the checkout you work in.  Each fault is planted alone: the text is
replaced, build/native is rebuilt, every unit test runs (ctest) and then
the integration folders of the fault's area; the source is put back
whatever happens.  A fault counts as caught when any of those tests fails.
Prints one line per fault and the total, and writes the details as JSON
lines (default build/planted-faults.jsonl).  About an hour on two cores.
"""
import argparse
import json
import pathlib
import re
import subprocess
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]

# (id, what, file, text, replacement, integration folders)
T = ["tftp", "tftp_faults"]
W = ["web"]
R = []  # the recovery exchange's tests are unit tests
C = ["cli"]
FAULTS = [
    ("F01", "block count rounds up: no empty last block at a multiple of 512", "tftp/decisions.h",
     "return image_size / tftp_block_size + 1;", "return (image_size + tftp_block_size - 1) / tftp_block_size;", T),
    ("F02", "transfer ends one ACK early (last block never acknowledged)", "tftp/transfer.cpp",
     "bool all_done = transfer.awaited_block > transfer.block_count;",
     "bool all_done = transfer.awaited_block >= transfer.block_count;", T),
    ("F03", "session takes a future ACK (block > expected) as the expected one", "tftp/decisions.cpp",
     "if (packet.block != awaited_block) return SessionAction::stale_ack;",
     "if (packet.block < awaited_block) return SessionAction::stale_ack;", T),
    ("F04", "Digest nc written with 8 digits", "web/digest.cpp",
     '"%09x", static_cast<unsigned>(state.nc)', '"%08x", static_cast<unsigned>(state.nc)', W),
    ("F05", "Digest response hash leaves out qop", "web/digest.cpp",
     "        md5_add(md5, qop);\n", "", W),
    ("F06", "Digest header sends the nonce as cnonce", "web/digest.cpp",
     "append_text(line, field_text(state.cnonce));", "append_text(line, field_text(state.nonce));", W),
    ("F07", "Digest: a new nonce does not restart nc", "web/digest.cpp",
     "        state.nc = 0;\n", "", W),
    ("F08", "copy_text leaves out the NUL when the text fits", "common/text.h",
     "    dst[n] = '\\0';\n", "    if (n != src.size()) dst[n] = '\\0';\n", W + R),
    ("F09", "MAC hex writes its NUL one past the capacity", "recovery/messages.cpp",
     "at + 2 < capacity", "at + 2 <= capacity", R),
    ("F10", "status page value cut one character early", "web/http_exchange.cpp",
     "identity_value_limit = identity_field_size - 1;", "identity_value_limit = identity_field_size - 2;", W),
    ("F11", "status page label: only one tag skipped before the value", "web/http_exchange.cpp",
     "while (value < text.size() && text[value] == '<') {", "if (value < text.size() && text[value] == '<') {", W),
    ("F12", "wrong time-out report text", "tftp/texts.h",
     '"Upgrade Failed: TFTP time out"', '"Upgrade Failed: TFTP timeout"', T),
    ("F13", "wrong waiting-dialog text", "tftp/texts.h",
     "starting at port number 69.", "starting at port number 96.", T),
    ("F14", "session ignores Cancel from the pump", "tftp/session.cpp",
     "if (ui.pump_all_messages(ui.context)) return TransferEnd::cancelled;", "ui.pump_all_messages(ui.context);", T),
    ("F15", "listener ignores Cancel from the pump", "tftp/listener.cpp",
     "if (ui.pump_all_messages(ui.context)) return Requester{false, 0, 0};", "ui.pump_all_messages(ui.context);", T),
    ("F16", "session: a flood holds back the clock (no idle step while datagrams arrive)", "tftp/transfer.cpp",
     "action.idle_poll_due = clock_step_due(transfer.last_step_ms, now_ms, tftp_clock_step_ms);",
     "action.idle_poll_due = false;", T),
    ("F17", "listener: a flood holds back the clock", "tftp/listener.cpp",
     "if (!clock_step_due(last_step, server.clock(), tftp_clock_step_ms)) continue;", "continue;", T),
    ("F18", "recovery messages sent to the PC port", "recovery/exchange.cpp",
     "to, timing.device_port)", "to, timing.pc_port)", R),
    ("F19", "recovery sends one cycle too many", "recovery/exchange.cpp",
     "cycle < timing.send_cycles;", "cycle <= timing.send_cycles;", R),
    ("F20", "recovery magic not written", "recovery/exchange.cpp",
     "    std::memcpy(copy.magic, recovery_magic, sizeof copy.magic);\n", "", R),
    ("F21", "recovery TFTP port little-endian", "recovery/messages.cpp",
     "put_u16_be(m.tftp_port, tftp_port);",
     "m.tftp_port[0] = static_cast<std::uint8_t>(tftp_port); m.tftp_port[1] = static_cast<std::uint8_t>(tftp_port >> 8);", R),
    ("F22", "reply address read in the wrong byte order", "recovery/messages.cpp",
     "return (std::uint32_t{a[0]} << 24) | (std::uint32_t{a[1]} << 16) | (std::uint32_t{a[2]} << 8) | a[3];",
     "return (std::uint32_t{a[3]} << 24) | (std::uint32_t{a[2]} << 16) | (std::uint32_t{a[1]} << 8) | a[0];", R),
    ("F23", "listener accepts a longer name that starts with ours", "tftp/decisions.cpp",
     "packet.file_name == expected_name", "packet.file_name.substr(0, expected_name.size()) == expected_name", T),
    ("F24", "listener accepts a name without its NUL", "tftp/decisions.cpp",
     "if (packet.well_formed && packet.file_name == expected_name)",
     "if (packet.file_name == expected_name || (!packet.well_formed && packet.opcode == TFTP_RRQ))", T),
    ("F25", "one retransmission period too many before the time-out", "tftp/decisions.cpp",
     "if (clock.periods >= timing.period_limit)", "if (clock.periods > timing.period_limit)", T),
    ("F26", "port search tries one port fewer", "tftp/listener.cpp",
     "i < attempts &&", "i + 1 < attempts &&", T),
    ("F27", "update wait across the clock wrap forgets the wrap length", "tftp/decisions.h",
     "now_tick + update_ticks_per_wrap - start_tick", "now_tick - start_tick", T),
    ("F28", "OACK tsize off by one", "tftp/packets.cpp",
     '"%u", static_cast<unsigned>(image_size)', '"%u", static_cast<unsigned>(image_size + 1)', T),
    ("F29", "block number put little-endian on the wire", "tftp/packets.cpp",
     "put_u16_be(buffer + 2, block_number);",
     "buffer[2] = static_cast<std::uint8_t>(block_number); buffer[3] = static_cast<std::uint8_t>(block_number >> 8);", T),
    ("F30", "staged: 9 status requests instead of 10", "common/deliverable.h",
     ".status_request_attempts = 10,", ".status_request_attempts = 9,", T),
    ("F31", "check after the upload shares the upgrade command's buffer and state", "web/exchange_space.cpp",
     "    return spaces.after_upload;\n", "    return spaces.main;\n", W),
    ("F32", "upgrade command's Digest state not handed to the check (nonce count reused)", "web/http_exchange.cpp",
     "    if (hand_over != nullptr) post_digest(*hand_over, digest);\n", "", W),
    ("F33", "handed-over state takes the check's nonce count back", "web/exchange_space.cpp",
     "    if (same_nonce && own_count > digest.nc) digest.nc = own_count;\n", "", W),
    ("F34", "stage flips with the transition name still served", "tftp/listener.cpp",
     "        server.file_name->store(nullptr, std::memory_order_release);\n", "", T),
    ("F35", "listener's switch to non-blocking mode unchecked", "tftp/listener.cpp",
     "if (!set_nonblocking(listener.socket, true)) return tftp_failed(MESSAGE_NONBLOCKING);",
     "set_nonblocking(listener.socket, true);", T),
    ("F36", "session serves a stage without its image", "tftp/session.cpp",
     "    if (session.image == nullptr) return false;\n", "", T),
    ("F37", "listener serves a stranger's request when only the device is to be", "tftp/decisions.h",
     "return only == 0 || from == only;", "return true;", T + C),
    ("F38", "a transition image for another product than the target's is taken", "cli/image_source.cpp",
     "if (images.has_transition && image_product_id(images.transition.header) != image_product_id(images.target.header)) {",
     "if (false) {", C),
    ("F39", "the HTTP deadline does not bound the answer", "web/http_exchange.cpp",
     "int ready = left == 0 ? 0 : wait_readable(s, static_cast<int>(left));", "int ready = 1;", W + C),
    ("F40", "the portable HTTP exchange ends the process when it cannot bind", "web/http_exchange.cpp",
     "        outcome.failure = \"Upgrade Failed: Can't bind HTTP socket\";\n",
     "        std::_Exit(0);\n", W + C),
    ("F41", "the shared server routes a read request by its name alone: a device may take another's file",
     "tftp/routing.cpp", "            if (entry.address != from_address) continue;\n", "", T + C),
    ("F42", "the shared server routes an ACK by the address alone, whatever its port", "tftp/routing.cpp",
     "if (entry.state != RouteState::transferring || entry.address != from_address ||\n"
     "            entry.session_port != from_port)",
     "if (entry.state != RouteState::transferring || entry.address != from_address)", T + C),
    ("F43", "--max-fail is not kept: new devices start after the limit", "cli/fleet.cpp",
     "if (!may_start_another(run.failed.load(), config.max_fail)) {", "if (false) {", C),
    ("F44", "a device that already runs the image's version is upgraded again", "cli/fleet_plan.cpp",
     "if (!reinstall && !version_now.empty() && version_now == image_version)", "if (false)", C),
    ("F45", "--check goes on to the upgrades", "cli/fleet.cpp",
     "                if (config.check)\n", "                if (false)\n", C),
]


def run(args, timeout):
    try:
        done = subprocess.run(args, cwd=ROOT, capture_output=True, text=True, timeout=timeout)
        return done.returncode, done.stdout + done.stderr
    except subprocess.TimeoutExpired as e:
        return -1, f"timed out after {timeout} s: {e.stdout or ''}"


def try_fault(fault_id, rel, old, new, folders):
    path = ROOT / rel
    original = path.read_text()
    if original.count(old) != 1:
        raise SystemExit(f"{fault_id}: the text to replace is not in {rel} exactly once; update the list")
    path.write_text(original.replace(old, new))
    try:
        code, log = run(["cmake", "--build", "build/native", "-j2"], 1800)
        if code != 0:
            return {"build": "failed", "log": log[-2000:]}
        _, log = run(["ctest", "--test-dir", "build/native", "-j2", "--timeout", "120"], 2400)
        failed = log.split("The following tests FAILED:")[1] if "The following tests FAILED:" in log else ""
        result = {"unit": [f"{name} ({why})" for name, why in re.findall(r"^\s*\d+ - (\S+) \((\w+)\)", failed, re.M)],
                  "integration": {}}
        for folder in folders:
            code, log = run(["/usr/bin/python3", "-m", "pytest", "-q", "-rf", "-p", "no:cacheprovider",
                             f"tests/integration/{folder}"], 1800)
            result["integration"][folder] = re.findall(r"^FAILED (\S+)", log, re.M) or ([] if code == 0 else [f"exit {code}"])
        return result
    finally:
        path.write_text(original)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", type=pathlib.Path, default=ROOT / "build" / "planted-faults.jsonl")
    parser.add_argument("ids", nargs="*", help="only these faults (F01 ...)")
    args = parser.parse_args()
    if not (ROOT / "build" / "native" / "build.ninja").exists():
        subprocess.run(["cmake", "-S", ".", "-B", "build/native", "-G", "Ninja"], cwd=ROOT, check=True)
    args.out.parent.mkdir(parents=True, exist_ok=True)
    caught = tried = 0
    with args.out.open("w") as out:
        for fault_id, what, rel, old, new, folders in FAULTS:
            if args.ids and fault_id not in args.ids:
                continue
            started = time.monotonic()
            result = try_fault(fault_id, rel, old, new, folders)
            hit = bool(result.get("unit")) or any(result.get("integration", {}).values())
            tried += 1
            caught += hit
            result.update(id=fault_id, what=what, file=rel, caught=hit, seconds=round(time.monotonic() - started))
            out.write(json.dumps(result) + "\n")
            print(f"{fault_id} {'caught' if hit else 'MISSED'}: {what} ({rel})"
                  + (" [build failed]" if "build" in result else ""), flush=True)
    print(f"caught {caught} of {tried} planted faults; details in {args.out}")
    run(["cmake", "--build", "build/native", "-j2"], 1800)  # the tree built as it is again


if __name__ == "__main__":
    main()
