"""A recovery under Wine against the simulated device's recovery responder,
step by step, for the recovery tests, `scripts/run --recovery` and the
benchmark.

- ``recovery_options``: the simulated device's options for a recovery (its
  serial number, no password, the image it must receive).
- ``RecoveryWalk``: the upgrade Walk of upgrade_flow with the recovery
  dialogs in front: welcome, "Recover Firmware", the recovery dialog (serial
  number typed, PC address chosen), the connecting dialog of the discovery;
  the confirm, transfer, update wait and success steps are the Walk's, with
  the serial number as the device label.
- ``received_messages``: the datagrams the device logged on port 4810.

Waits here are bounds that stop a hung run; no test decides anything on how
long a step took.
"""
import time

from wine import LabError

from upgrade_flow import (DIALOG_S, ERROR_TITLE, IDOK, MESSAGE_TEXT_ID, POLL_S, WELCOME_TITLE, Walk,
                          device_options)

RECOVER_BUTTON_ID = 1029
RECOVERY_TITLE = "QVR Firmware Recovery"
SERIAL_ID = 1027
LOCAL_ADDRESS_LIST_ID = 1017
INTRO_ID = 1031
VERSION_ID = 1032
INSTRUCTION_ID = 1030
CONNECTING_PREFIX = "Connecting with QVR@"
SERIAL_MAX = 19
RECOVERY_DISCOVER = 0
RECOVERY_UPGRADE = 2

INTRO_TEXT = "You can use this utility to recover a QVR unit\r\nwith a corrupted firmware image to:"
STEPS_TEXT = ("Otherwise, restart this utility and select the\r\n"
              "[Upgrade Firmware] option. To continue, you must\r\n"
              "provide the serial number of the QVR unit.\r\n"
              "The serial number is printed on the bar code\r\n"
              "label located at the back cover of the unit.\r\n"
              "Please also make sure that the QVR is in the\r\n"
              "same subnet as this PC.\r\n")
LED_TEXT = ("Before proceeding, please confirm that the QVR's\r\n"
            "Status LED is blinking repeatedly with the pattern:\r\n"
            "short-short-short-long-long-short-short-short.\r\n" + STEPS_TEXT)
PHONE_TEXT = ("Before proceeding, please confirm that the IP\r\n"
              "Phone screen is showing the message:\r\n"
              "\"S.O.S. Phone In Recovery Mode\"\r\n" + STEPS_TEXT)
NOT_FOUND = "Recovery Failed: Cannot find the specified device!"


def recovery_options(serial, image_paths, *extra):
    return device_options(image_paths, "--recovery", "--serial-number", serial, *extra, password=None)


def received_messages(device):
    """[(source address, source port, bytes)] of every datagram the device
    logged on its recovery port, in order."""
    return [(e["source"][0], e["source"][1], bytes.fromhex(e["hex"])) for e in device.events("recovery-datagram")]


def serial_field(data):
    return data[8:28]


class RecoveryWalk(Walk):
    def __init__(self, driver, program, product, version, say=None):
        super().__init__(driver, program, "recovery", product, version, say)
        self.label = None

    def open_recovery_dialog(self):
        """Welcome, "Recover Firmware", then the recovery dialog; returns its
        three texts (intro, version, instruction)."""
        d = self.driver
        d.wait_dialog(WELCOME_TITLE)
        self.note(WELCOME_TITLE, 'pressed "Recover Firmware"')
        d.click(WELCOME_TITLE, RECOVER_BUTTON_ID)
        d.wait_dialog(RECOVERY_TITLE)
        return tuple(d.get_text(RECOVERY_TITLE, cid) for cid in (INTRO_ID, VERSION_ID, INSTRUCTION_ID))

    def enter_serial(self, typed, pc_index=0):
        """Types `typed` where the focus is (the serial number field), picks
        the PC address and presses Continue.  Returns (field text, PC
        address chosen)."""
        d = self.driver
        items = d.combo_items(RECOVERY_TITLE, LOCAL_ADDRESS_LIST_ID)
        if pc_index:
            d.select(RECOVERY_TITLE, LOCAL_ADDRESS_LIST_ID, pc_index)
        assert d.combo_sel(RECOVERY_TITLE, LOCAL_ADDRESS_LIST_ID) == pc_index
        assert d.focus_id(RECOVERY_TITLE) == SERIAL_ID
        d.cmd("type", RECOVERY_TITLE, typed)
        assert d.sync(RECOVERY_TITLE)
        field = d.get_text(RECOVERY_TITLE, SERIAL_ID)
        self.label = field[:SERIAL_MAX]
        self.note(RECOVERY_TITLE, f"typed {typed!r} (shows {field!r}), PC address {items[pc_index]}, "
                                  "pressed Continue")
        d.click(RECOVERY_TITLE, IDOK)
        return field, items[pc_index]

    def discovery(self, bound_s=DIALOG_S):
        """Follows the discovery until the confirm dialog, a message box or
        the end of the program.  Returns (outcome, box text, connecting
        title): outcome "confirm", "error" (the box's text, box closed) or
        "ended"; the connecting dialog's title if it was seen, else None."""
        d = self.driver
        confirm = f"Confirm Upgrade to Ver. {self.version}"
        seen_connecting = None
        deadline = time.monotonic() + bound_s
        while time.monotonic() < deadline:
            titles = [w["title"] for w in d.list_windows()]
            connecting = [t for t in titles if t.startswith(CONNECTING_PREFIX)]
            if connecting and seen_connecting is None:
                seen_connecting = connecting[0]
                self.note(seen_connecting, "discovery under way")
            if confirm in titles:
                return "confirm", None, seen_connecting
            if ERROR_TITLE in titles:
                return "error", self.read_and_close(ERROR_TITLE, MESSAGE_TEXT_ID), seen_connecting
            if not self.program.running():
                return "ended", None, seen_connecting
            time.sleep(POLL_S / 5)
        raise LabError(f"the discovery did not end within {bound_s} s")

    def wait_connecting(self):
        """The connecting dialog's handle and title, once it shows."""
        return self.driver.wait_window_prefix(CONNECTING_PREFIX)
