"""qvr-upgrade's checks of the images it is given and of the product they
are for: a wrong file or an image for another product is refused before any
device is asked, and what the catalogue cannot tell is said in every output
mode."""
import json
import subprocess
import sys

from cli_paths import QUICK, ROOT, SAMPLE, requests


def image_for(directory, product_id):
    path = directory / f"image-{product_id}.bin"
    subprocess.run([sys.executable, str(ROOT / "tools" / "make_image.py"), str(path), "--product-id", product_id,
                    "--version", "7.0.0", "--size", "30000"], check=True, timeout=60)
    return path


def test_a_windows_program_is_refused_with_a_hint_before_anything_is_sent(lab, tmp_path):
    device = lab.device("127.0.0.2", "--auth", "none")
    program = tmp_path / "program.exe"
    program.write_bytes(b"MZ\x90\x00" + bytes(4092))
    for images in (["--image", program], ["--image", SAMPLE, "--transition", program]):
        code, out, err = lab.run("upgrade", "127.0.0.2", *images, *QUICK)
        assert code == 2 and "--from-exe" in err, err
        assert f"{program}: a Windows program, not a firmware image" in err
    assert requests(device) == [], "the device must not be asked anything"


def test_transition_image_for_another_product_is_refused(lab, tmp_path):
    device = lab.device("127.0.0.2", "--auth", "none")
    other = image_for(tmp_path, "qvr6300")
    code, out, err = lab.run("upgrade", "127.0.0.2", "--image", SAMPLE, "--transition", other, *QUICK)
    assert code == 2 and (f"{other}: the transition image is for product ID 'qvr6300', the image for 'SqUoRe5': both must be "
            "for the same product") in err
    assert requests(device) == []


def test_device_name_with_a_line_end_or_references_is_compared(lab):
    # Regression: "QVR6880\r\n" was taken as an unknown name, so a QVR7x7g
    # image was only questioned instead of refused.
    for n, name in enumerate(("QVR6880\\r\\n", "QVR&#54;880")):
        device = lab.device(f"127.0.0.{2 + n}", "--auth", "none", "--escaped-fields", "--product-name", name)
        code, out, err = lab.run("upgrade", f"127.0.0.{2 + n}", "--image", SAMPLE, *QUICK)
        assert code == 1 and "refused: the image is for QVR7x7g" in err and "(QVR6880)" in err, err
        assert not [t for t in requests(device) if t.startswith("/admin/upgrade")]


def test_what_the_catalogue_cannot_tell_is_said_under_quiet_and_json(lab, tmp_path):
    # "QVR69-00" fits QVR-6900 (the image's product) and QVR6900 alike.
    image = image_for(tmp_path, "qvr6900")
    device = lab.device("127.0.0.2", "--auth", "none", "--product-name", "QVR69-00", "--expect-image", image,
                        "--expect-image", image)
    notice = ("QVR@127.0.0.2: the product name 'QVR69-00' may be QVR-6900 or QVR6900, so the catalogue cannot "
              "tell whether the image for QVR-6900 fits")
    code, out, err = lab.run("upgrade", "127.0.0.2", "--image", image, "--json", *QUICK)
    result = json.loads(out)
    assert code == 0 and notice in err, err
    assert result["result"] == "passed" and f"QVR@127.0.0.2: {result['notice']}" == notice
    code, out, err = lab.run("upgrade", "127.0.0.2", "--image", image, "--quiet", "--reinstall", *QUICK)
    assert code == 0 and notice in err, err
    assert [e["ok"] for e in device.events("tftp")] == [True, True]
