#!/usr/bin/env python3
"""Looks inside a built program's resources, with wrestool (icoutils): what
it carries, one resource's raw bytes, and a dialog template as the dialog
manager reads it (styles, texts, font and geometry in dialog units), for
whoever edits the resource script and wants to see what came out without
starting Wine.

    tools/exe_resources.py list EXE              type, name and language of each
    tools/exe_resources.py dialog EXE ID         one dialog template, as JSON
    tools/exe_resources.py extract EXE TYPE NAME >file
"""
import json
import re
import struct
import subprocess
import sys

DS_SETFONT = 0x40
# The predefined control classes a template names by ordinal.
CLASSES = {0x80: "BUTTON", 0x81: "EDIT", 0x82: "STATIC", 0x83: "LISTBOX", 0x84: "SCROLLBAR", 0x85: "COMBOBOX"}


def resource_list(path):
    """[(type, name, language)] of every resource, in wrestool's order."""
    listing = subprocess.run(["wrestool", "-l", str(path)], capture_output=True, text=True, check=True).stdout
    return [tuple(m.groups()) for m in re.finditer(r"--type='?([^' ]+)'? --name=(\S+) --language=(\S+)", listing)]


def resource(path, rtype, name, language=None):
    """The raw bytes of one resource."""
    args = ["wrestool", "-x", "--raw", f"--type={rtype}", f"--name={name}", str(path)]
    if language:
        args.insert(-1, f"--language={language}")
    return subprocess.run(args, capture_output=True, check=True).stdout


def _text_or_ordinal(data, offset):
    """A template's name field: ("#", n) for an ordinal, else the UTF-16
    text up to its NUL; and the offset after it."""
    if struct.unpack_from("<H", data, offset)[0] == 0xFFFF:
        return ("#", struct.unpack_from("<H", data, offset + 2)[0]), offset + 4
    end = offset
    while struct.unpack_from("<H", data, end)[0] != 0:
        end += 2
    return data[offset:end].decode("utf-16-le"), end + 2


def parse_dialog(data):
    """A DIALOG (not DIALOGEX) template: the dialog's fields and its
    controls', control ids of 0xFFFF as -1 and class ordinals as names."""
    style, ex, count, x, y, w, h = struct.unpack_from("<IIHhhhh", data, 0)
    menu, offset = _text_or_ordinal(data, 18)
    cls, offset = _text_or_ordinal(data, offset)
    title, offset = _text_or_ordinal(data, offset)
    font = None
    if style & DS_SETFONT:
        points = struct.unpack_from("<H", data, offset)[0]
        face, offset = _text_or_ordinal(data, offset + 2)
        font = (points, face)
    controls = []
    for _ in range(count):
        offset = (offset + 3) & ~3
        c_style, c_ex, c_x, c_y, c_w, c_h, c_id = struct.unpack_from("<IIhhhhH", data, offset)
        c_cls, offset = _text_or_ordinal(data, offset + 18)
        c_text, offset = _text_or_ordinal(data, offset)
        offset += 2 + struct.unpack_from("<H", data, offset)[0]  # creation data
        if isinstance(c_cls, tuple):
            c_cls = CLASSES[c_cls[1]]
        controls.append(dict(style=c_style, ex=c_ex, x=c_x, y=c_y, w=c_w, h=c_h, id=-1 if c_id == 0xFFFF else c_id,
                             cls=c_cls, text=c_text))
    return dict(style=style, ex=ex, x=x, y=y, w=w, h=h, menu=menu, cls=cls, title=title, font=font, ctrls=controls)


def dialog(path, name):
    return parse_dialog(resource(path, "5", name))


def main(argv):
    if len(argv) == 2 and argv[0] == "list":
        for row in resource_list(argv[1]):
            print(*row)
    elif len(argv) == 3 and argv[0] == "dialog":
        print(json.dumps(dialog(argv[1], argv[2]), indent=1))
    elif len(argv) == 4 and argv[0] == "extract":
        sys.stdout.buffer.write(resource(*argv[1:]))
    else:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
