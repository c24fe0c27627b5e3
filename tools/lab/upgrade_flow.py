"""A whole upgrade under Wine against the simulated device, step by step, for
the upgrade tests, the main job and the benchmark.

- ``SimDevice``: tools/simdevice/device.py started in the device namespace
  on 10.77.0.2 port 80, with a JSON-lines log that the tests read.
- ``Walk``: drives one program through its dialogs (welcome, notice,
  address, password, confirm, waiting, upload, update wait, success or
  failure box), checking each title and noting each dialog it met; the
  driver saves a screenshot of each.

Waits here are bounds that stop a hung run; no test decides anything on how
long a step took.
"""
import os
import re
import time

from simdevice.process import DeviceProcess
from wine import LabError, log_dir, slug

import netns

ROOT = os.environ.get("QVR_E2E_ROOT", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
BUILD = os.environ.get("QVR_BUILD_DIR", os.path.join(ROOT, "build"))
FIRMWARE = os.path.join(BUILD, "win64", "firmware")
SAMPLE_IMAGE = os.path.join(FIRMWARE, "sample-7.5.6a.bin")
ODM_IMAGE = os.path.join(FIRMWARE, "odm-1.2.3.bin")
TRANSITION_IMAGE = os.path.join(FIRMWARE, "transition-7.0.0.bin")

STAGED = "staged-upgrader.exe"
RECOVERY = "recovery-upgrader.exe"
STAGED_ODM = "variants/staged-upgrader-odm.exe"
RECOVERY_ODM = "variants/recovery-upgrader-odm.exe"
STAGED_TRANSITION = "variants/staged-upgrader-transition.exe"

DEVICE_ADDRESS = netns.DEVICE_ADDRESS
PC_ADDRESS = netns.PC_ADDRESS
PASSWORD = "s3cret"

IDOK = 1
IDCANCEL = 2
UPGRADE_BUTTON_ID = 1028
NOTICE_TEXT_ID = 1021
IP_ADDRESS_ID = 1000
LOCAL_ADDRESS_LIST_ID = 1017
USER_NAME_ID = 1003
PASSWORD_ID = 1005
CONFIRM_TEXT_ID = 1007
CONFIRM_FIELDS = {"serial_number": 1002, "mac_address": 1003, "software_version": 1004,
                  "hardware_version": 1005, "product_name": 1006}
WAITING_TEXT_ID = {"staged": 1022, "recovery": 1032}
SUCCESS_VERSION_ID = 1004
MESSAGE_TEXT_ID = 0xFFFF

WELCOME_TITLE = "Morvane QVR Device Firmware Upgrade Utility"
PASSWORD_TITLE = "Enter Password Information"
WAITING_TITLE = "Waiting For Firmware Download Request From QVR"
ERROR_TITLE = "QVR Firwmare Upgrade Error"

# Bounds only.
DIALOG_S = 60
# The longest update wait of these programs (QVR7x7g, recovery-upgrader:
# 124.96 s), the status request and Wine's own pace, with room to spare.
UPDATE_WAIT_BOUND_S = 240
POLL_S = 0.25


def image_bytes(path):
    with open(path, "rb") as f:
        return f.read()


class SimDevice(DeviceProcess):
    """The simulated device in the device namespace, on port 80 of `address`."""

    def __init__(self, device_ns, name, options, address=DEVICE_ADDRESS):
        log_path = os.path.join(log_dir(), f"{slug(name)}-device.log")
        with open(log_path[:-4] + ".err", "wb") as err:
            super().__init__(log_path, "--address", address, "--port", "80", *options,
                             popen=device_ns.popen, stderr=err, python="/usr/bin/python3")

    def requests(self):
        return [(e["target"] if "target" in e else e["request_line"], e["verdict"]) for e in self.events("request")]


def device_options(image_paths, *extra, password=PASSWORD):
    options = []
    if password is None:
        options += ["--auth", "none"]
    else:
        options += ["--password", password]
    for path in image_paths:
        options += ["--expect-image", path]
    return options + list(extra)


class Walk:
    """One program driven through its dialogs.  `kind` is "staged" or
    "recovery"; `product` the display name in its titles; `version` the
    target image's version.  `say(line)` receives a line per dialog met."""

    def __init__(self, driver, program, kind, product, version, say=None):
        self.driver = driver
        self.program = program
        self.kind = kind
        self.product = product
        self.version = version
        self.label = DEVICE_ADDRESS
        self.say = say or (lambda line: None)
        self.met = []

    def note(self, title, detail=""):
        self.met.append(title)
        self.say(f'dialog "{title}"' + (f": {detail}" if detail else ""))

    # -- first dialogs -------------------------------------------------------

    def to_address_dialog(self):
        d = self.driver
        if self.kind == "recovery":
            d.wait_dialog(WELCOME_TITLE)
            self.note(WELCOME_TITLE, 'pressed "Upgrade Firmware"')
            d.click(WELCOME_TITLE, UPGRADE_BUTTON_ID)
        notice_title = f"{self.product} Firmware Upgrade"
        notice = d.wait_dialog(notice_title)
        first_line = d.get_text("@" + notice, NOTICE_TEXT_ID).split("\r\n", 1)[0]
        self.note(notice_title, f"{first_line!r}..., pressed Continue")
        d.click("@" + notice, IDOK)
        d.wait_gone("@" + notice)
        address_title = notice_title if self.kind == "staged" else "QVR Firmware Upgrade"
        address = d.wait_dialog(address_title, screenshot=False)
        d.screenshot("@" + address, address_title + "-address")
        return "@" + address, address_title

    def enter_address(self, address=DEVICE_ADDRESS):
        window, title = self.to_address_dialog()
        d = self.driver
        assert d.get_text(window, 1015) == f"Version {self.version}"
        pc = d.combo_items(window, LOCAL_ADDRESS_LIST_ID)[d.combo_sel(window, LOCAL_ADDRESS_LIST_ID)]
        d.set_ip(window, IP_ADDRESS_ID, address)
        self.note(title, f"device address {address}, PC address {pc}, pressed OK")
        d.click(window, IDOK)
        return pc

    def give_password(self, password=PASSWORD):
        d = self.driver
        d.wait_dialog(PASSWORD_TITLE)
        assert d.get_text(PASSWORD_TITLE, USER_NAME_ID) == "admin"
        d.set_text(PASSWORD_TITLE, PASSWORD_ID, password)
        self.note(PASSWORD_TITLE, "user admin, password typed, pressed OK")
        d.click(PASSWORD_TITLE, IDOK)

    def confirm(self):
        d = self.driver
        title = f"Confirm Upgrade to Ver. {self.version}"
        d.wait_dialog(title)
        fields = {name: d.get_text(title, cid) for name, cid in CONFIRM_FIELDS.items()}
        text = d.get_text(title, CONFIRM_TEXT_ID)
        self.note(title, ", ".join(f"{k} {v}" for k, v in fields.items()) + ", pressed Upgrade")
        self.confirmed_fields = fields
        d.click(title, IDOK)
        return fields, text

    # -- the TFTP side -------------------------------------------------------

    def upload_word(self, stage):
        return "" if self.kind == "recovery" else f"{stage} "

    def passing_screenshot(self, handle, name):
        """A picture of a dialog that may close any moment (the driver's
        refusal, when it is already gone, is no failure)."""
        try:
            return self.driver.screenshot("@" + handle, name)
        except AssertionError:  # conftest.DriverError
            return None

    def wait_transfer(self, stage="Target", size=None, bound_s=DIALOG_S):
        """Follows the TFTP side's dialogs until the update wait shows: the
        waiting dialog and the upload dialog are noted (and pictured) when
        they are up long enough to be seen (a device on the same link may
        fetch a small image in a fraction of a second); the update wait must
        come.  Returns the upload title seen, or None."""
        d = self.driver
        upload_prefix = f"Uploading {self.upload_word(stage)}Firmware to QVR@{self.label} "
        updating = f"Updating {self.upload_word(stage)}Firmware to QVR@{self.label}"
        seen_waiting = seen_upload = None
        pictured_upload = False
        deadline = time.monotonic() + bound_s
        while time.monotonic() < deadline:
            for w in d.list_windows():
                title = w["title"]
                if title == WAITING_TITLE and seen_waiting is None:
                    seen_waiting = title
                    self.passing_screenshot(w["hwnd"], f"{WAITING_TITLE}-{stage}")
                    self.note(title, "the device has been told where to fetch")
                elif title.startswith(upload_prefix):
                    done, total = re.fullmatch(r".* (\d+)/(\d+) Bytes", title).groups()
                    if size is not None:
                        assert int(total) == size and int(done) <= size, title
                    if seen_upload is None:
                        seen_upload = title
                        self.note(title, "upload under way")
                    # Pictured once some bytes are through, so the bar shows it.
                    if int(done) > 0 and not pictured_upload:
                        pictured_upload = True
                        self.passing_screenshot(w["hwnd"], f"Uploading {self.upload_word(stage)}Firmware")
                elif title == updating:
                    d.screenshot(updating)
                    self.note(updating, "the device installs the image")
                    return seen_upload
                elif title.startswith("Uploading") and not title.startswith(("Uploading Firmware To QVR",
                                                                             upload_prefix)):
                    raise LabError(f"unexpected upload title {title!r}")
            if not self.program.running():
                raise LabError(f"the program ended before {updating!r}")
            time.sleep(0.05)
        raise LabError(f"{updating!r} did not appear within {bound_s} s")

    def wait_title(self, title, bound_s=UPDATE_WAIT_BOUND_S):
        """Waits for a window with this exact title longer than the driver's
        own waits go (the update waits); saves its screenshot."""
        deadline = time.monotonic() + bound_s
        while time.monotonic() < deadline:
            if any(w["title"] == title for w in self.driver.list_windows()):
                self.driver.screenshot(title)
                return
            if not self.program.running():
                raise LabError(f"the program ended before {title!r} appeared")
            time.sleep(POLL_S)
        raise LabError(f"{title!r} did not appear within {bound_s} s")

    def read_and_close(self, title, text_id, shown="{!r}"):
        """A dialog with a last word (success or failure): its screenshot,
        the text of `text_id`, a note of it and OK."""
        self.driver.screenshot(title)
        text = self.driver.get_text(title, text_id)
        self.note(title, shown.format(text) + ", pressed OK")
        self.driver.click(title, IDOK)
        return text

    def wait_outcome(self, bound_s=UPDATE_WAIT_BOUND_S):
        """Waits for the success dialog or a failure box; returns
        ("success", version) or ("error", text) and closes it with OK."""
        d = self.driver
        # (kind, title, the control holding what it says, how the note shows it)
        endings = [("success", f"QVR@{self.label} Upgrade Successful!", SUCCESS_VERSION_ID, "version {}"),
                   ("error", ERROR_TITLE, MESSAGE_TEXT_ID, "{!r}")]
        deadline = time.monotonic() + bound_s
        while time.monotonic() < deadline:
            titles = {w["title"] for w in d.list_windows()}
            for kind, title, text_id, shown in endings:
                if title in titles:
                    return kind, self.read_and_close(title, text_id, shown)
            if not self.program.running():
                raise LabError("the program ended without a success dialog or a failure box")
            time.sleep(POLL_S)
        raise LabError(f"neither success nor failure within {bound_s} s")

    def cancel_update_wait(self, stage="Target"):
        updating = f"Updating {self.upload_word(stage)}Firmware to QVR@{self.label}"
        self.say(f'dialog "{updating}": pressed Cancel')
        self.driver.click(updating, IDCANCEL)


def check_upgrade_command(event, name_suffix):
    """An upgrade command as the device logged it: from the PC address, to
    the listener's port, for a file name the program made up."""
    assert event["host"] == PC_ADDRESS
    assert 69 <= event["port"] <= 168
    assert re.fullmatch(r"/qvr[0-9a-f]{1,4}\." + re.escape(name_suffix), event["name"]), event["name"]
