"""The dialog templates compiled into both programs, read back from the .exe
files of both architectures and compared with the layouts the dialogs are
designed for: ids, control kinds and styles, texts, titles, fonts and
geometry in dialog units.
"""
import pytest

from programs import ARCHS, built_program, dialog, resource_list

WS_POPUP=0x80000000; WS_CHILD=0x40000000; WS_VISIBLE=0x10000000; WS_CAPTION=0x00C00000
WS_BORDER=0x00800000; WS_SYSMENU=0x00080000; WS_VSCROLL=0x00200000; WS_TABSTOP=0x00010000; WS_GROUP=0x00020000
DS_MODALFRAME=0x80; DS_SETFONT=0x40
ES_CENTER=1; ES_MULTILINE=4; ES_UPPERCASE=8; ES_PASSWORD=0x20; ES_AUTOHSCROLL=0x80; ES_READONLY=0x800
SS_CENTER=1; SS_RIGHT=2; SS_ICON=3; BS_DEFPUSHBUTTON=1; CBS_DROPDOWNLIST=3

# Expected, written from the tables. Kinds:
B, DB = 'button', 'default button'
TA, TAN, TL, VF, VFC = 'text area', 'text area notab', 'text line', 'value', 'value centred'
EF, EFP, EFU = 'edit', 'edit password', 'edit upper'
L, LR, LC, ICON, LIST, IP, PB = 'label', 'label right', 'label centre', 'icon', 'list', 'ip', 'progress'
TL142 = 'text line tab'

def style_for(kind):
    base = WS_CHILD | WS_VISIBLE
    return {
        B: ('BUTTON', base | WS_TABSTOP),
        DB: ('BUTTON', base | WS_TABSTOP | BS_DEFPUSHBUTTON),
        TA: ('EDIT', base | ES_MULTILINE | ES_READONLY | WS_TABSTOP),
        TAN: ('EDIT', base | ES_MULTILINE | ES_READONLY),
        TL: ('EDIT', base | ES_READONLY | ES_AUTOHSCROLL),
        TL142: ('EDIT', base | ES_READONLY | ES_AUTOHSCROLL | WS_TABSTOP),
        VF: ('EDIT', base | ES_READONLY | ES_AUTOHSCROLL | WS_BORDER),
        VFC: ('EDIT', base | ES_READONLY | ES_AUTOHSCROLL | WS_BORDER | ES_CENTER),
        EF: ('EDIT', base | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP),
        EFP: ('EDIT', base | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP | ES_PASSWORD),
        EFU: ('EDIT', base | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP | ES_UPPERCASE),
        L: ('STATIC', base | WS_GROUP),
        LR: ('STATIC', base | WS_GROUP | SS_RIGHT),
        LC: ('STATIC', base | WS_GROUP | SS_CENTER),
        ICON: ('Static', base | SS_ICON),
        LIST: ('COMBOBOX', base | CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP),
        IP: ('SysIPAddress32', base | WS_TABSTOP),
        PB: ('msctls_progress32', base | WS_BORDER),
    }[kind]

def g(s):  # "x,y w×h"
    p, sz = s.split(' ')
    x, y = map(int, p.split(',')); w, h = map(int, sz.split('x'))
    return (x, y, w, h)

def addr(pos, size, ok, cancel, t1007, t1008, t1015, t1017, lab, icon, ip):
    c = [(1, DB, 'OK', ok), (2, B, 'Cancel', cancel), (1007, TA, '', t1007), (1008, TA, '', t1008),
         (1015, TL, '', t1015), (1017, LIST, '', t1017), (-1, L, 'Your IP Address', lab)]
    if icon: c.append((-1, ICON, icon[0], icon[1]))
    c.append((1000, IP, '', ip))
    return (pos, size, c)

def confirm(pos, size, up, cancel, t1007, fx, fys, lx, lys):
    c = [(1, DB, 'Upgrade', up), (2, B, 'Cancel', cancel), (1007, TA, '', t1007)]
    names = ['Serial Number', 'MAC Address', 'Software Version', 'Hardware Version', 'Product Name']
    for i, (fid, name) in enumerate(zip(range(1002, 1007), names)):
        c.append((-1, LR, name, f'{lx},{lys[i]} 72x8'))
        c.append((fid, VF, '', f'{fx},{fys[i]} 67x14'))
    return (pos, size, c)

TITLES = {101: 'Enter QVR IP Address', 103: 'Confirm Upgrade', 104: 'Enter Password Information', 105: 'Connecting with QVR',
          110: 'Uploading Firmware To QVR', 111: 'QVR Upgrade Successful!', 113: 'QVR Upgrade Successful!',
          114: 'Waiting For Firmware Download Request From QVR', 139: 'QVR-6200 Firmware Upgrade',
          141: 'Morvane QVR Device Firmware Upgrade Utility', 142: 'QVR Firmware Recovery', 168: 'Dialog', 304: 'Confirm Upgrade', 305: 'Dialog'}

common = {
  104: ('200,200', '191x236', [(1, DB, 'OK', '32,210 50x14'), (2, B, 'Cancel', '104,210 50x14'),
        (1003, EF, '', '68,168 85x14'), (1005, EFP, '', '68,186 85x14'),
        (-1, LR, 'User', '18,170 44x8'), (-1, LR, 'Password', '18,191 44x8'), (1007, TA, '', '15,9 165x152')]),
  105: ('200,200', '186x55', [(2, B, 'Cancel', '65,34 50x14'), (1010, PB, '', '22,10 141x14')]),
  139: ('0,0', '204x143', [(1, B, 'Continue', '41,116 50x14'), (2, DB, 'Cancel', '109,116 50x14'), (1021, TAN, '', '12,13 189x95')]),
  113: ('0,0', '171x126', [(1, DB, 'OK', '59,94 50x14'), (1004, VFC, '', '15,69 136x14'), (1007, TA, '', '29,9 111x33'), (-1, L, 'qvr.example', '82,50 53x8')]),
}
UNPLUG = 'Please do not unplug the power of your QVR until the Status Light stops blinking'
rec = dict(common)
rec.update({
  101: addr('200,200', '158x181', '26,126 50x14', '79,126 50x14', '13,6 139x16', '13,42 139x56', '37,28 89x14', '63,153 79x80', '9,156 52x8', (('#', 106), '119,18 20x20'), '26,103 103x15'),
  168: addr('0,0', '165x178', '34,132 50x14', '87,132 50x14', '15,8 139x16', '15,44 144x59', '39,30 89x14', '71,159 79x80', '17,162 52x8', (('#', 106), '121,20 21x20'), '34,108 103x15'),
  103: confirm('200,200', '172x170', '29,146 50x14', '83,146 50x14', '12,6 142x35', 78, [47, 64, 81, 98, 115], 0, [50, 67, 84, 101, 118]),
  110: ('0,0', '320x77', [(2, B, 'Cancel', '95,52 50x14'), (1010, PB, '', '17,35 282x8'), (-1, LC, UNPLUG, '53,12 137x22')]),
  111: ('0,0', '174x119', [(1, DB, 'OK', '61,94 50x14'), (1004, VFC, '', '37,69 96x14'), (1007, TA, '', '31,9 111x33'), (-1, L, 'qvr.example', '78,47 53x8')]),
  114: ('0,0', '294x135', [(2, B, 'Cancel', '119,114 50x14'), (1010, PB, '', '59,91 170x14'), (1032, L, '', '14,9 266x74')]),
  141: ('0,0', '220x149', [(1028, DB, 'Upgrade Firmware ', '61,105 93x14'), (1029, B, 'Recover Firmware', '61,126 93x14'), (1031, TA, '', '17,10 200x84')]),
  142: ('0,0', '186x215', [(1, DB, 'Continue', '32,193 50x14'), (2, B, 'Cancel', '104,193 50x14'),
        (-1, L, 'Enter the serial number of your QVR:', '16,137 117x11'), (1027, EFU, '', '41,151 105x14'),
        (1017, LIST, '', '76,174 79x80'), (-1, L, 'Your IP Address', '22,177 52x8'),
        (1030, TA, '', '14,47 159x81'), (1031, TA, '', '14,12 158x19'), (1032, TL142, '', '14,33 145x12')]),
})
stg = dict(common)
stg.update({
  101: addr('200,200', '165x181', '26,126 50x14', '86,126 50x14', '13,6 139x16', '13,42 148x56', '37,28 89x14', '63,153 79x80', '9,156 52x8', None, '26,103 109x15'),
  305: addr('0,0', '164x178', '26,126 50x14', '86,126 50x14', '13,6 139x16', '13,42 148x56', '37,28 89x14', '63,153 79x80', '9,156 52x8', (('#', 286), '119,18 20x20'), '26,103 109x15'),
  103: confirm('200,200', '172x166', '33,143 50x14', '87,143 50x14', '12,6 142x37', 82, [49, 66, 84, 100, 118], 4, [52, 70, 87, 103, 121]),
  304: confirm('0,0', '186x198', '42,179 50x14', '96,179 50x14', '23,7 142x77', 92, [86, 103, 121, 137, 154], 14, [89, 106, 124, 140, 158]),
  110: ('0,0', '303x77', [(2, B, 'Cancel', '126,52 50x14'), (1010, PB, '', '31,36 242x8'), (-1, LC, UNPLUG, '86,12 137x22')]),
  111: ('0,0', '171x126', [(1, DB, 'OK', '59,94 50x14'), (1004, VFC, '', '15,69 136x14'), (1007, TA, '', '29,9 111x33'), (-1, L, 'qvr.example', '82,50 53x8')]),
  114: ('0,0', '270x141', [(2, B, 'Cancel', '108,115 50x14'), (1010, PB, '', '38,95 191x14'), (1022, L, '', '15,9 244x79')]),
})

def template_errors(exe, did, table):
    pos, size, ctrls = table[did]
    d = dialog(exe, did)
    want_style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT
    px, py = map(int, pos.split(',')); w, h = map(int, size.split('x'))
    errs = []
    if d['style'] != want_style: errs.append(f'dialog style {d["style"]:#x} != {want_style:#x}')
    if d['ex'] != 0: errs.append('exstyle')
    if (d['x'], d['y'], d['w'], d['h']) != (px, py, w, h): errs.append(f'geom {(d["x"], d["y"], d["w"], d["h"])}')
    if d['title'] != TITLES[did]: errs.append(f'title {d["title"]!r}')
    if d['font'] != (8, 'MS Sans Serif'): errs.append(f'font {d["font"]}')
    if d['menu'] != '' or d['cls'] != '': errs.append('menu/class')
    if len(d['ctrls']) != len(ctrls): errs.append(f'{len(d["ctrls"])} controls, want {len(ctrls)}')
    for got, (cid, kind, text, geom) in zip(d['ctrls'], ctrls):
        cls, st = style_for(kind)
        gg = (got['x'], got['y'], got['w'], got['h'])
        if got['id'] != cid or got['cls'].upper() != cls.upper() or got['style'] != st or got['text'] != text or gg != g(geom) or got['ex'] != 0:
            errs.append(f'ctrl {cid} {kind}: got id {got["id"]} {got["cls"]} {got["style"]:#x} (want {st:#x}) {got["text"]!r} {gg} ex {got["ex"]:#x}')
    return errs


@pytest.mark.parametrize("arch", ARCHS)
@pytest.mark.parametrize("exe,table", [("recovery-upgrader.exe", rec), ("staged-upgrader.exe", stg)])
def test_every_template_matches_its_layout(arch, exe, table):
    path = built_program(arch, exe)
    failures = {did: errs for did in sorted(table) if (errs := template_errors(str(path), did, table))}
    assert failures == {}


@pytest.mark.parametrize("arch", ARCHS)
def test_no_template_of_the_other_program(arch):
    # The welcome and recovery dialogs exist only in the recovery-upgrader,
    # the transition confirm and phone address 305 only in the staged one.
    for exe, table in (("recovery-upgrader.exe", rec), ("staged-upgrader.exe", stg)):
        assert {name for rtype, name, _ in resource_list(built_program(arch, exe)) if rtype == "5"} == set(map(str, table))
