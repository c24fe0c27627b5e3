"""The manual page and the bash completion against "qvr-upgrade --help",
the one text the program itself keeps up to date: the same commands,
options and exit codes, so that neither can drift from the program."""
import re
import shutil
import subprocess

import pytest

from cli_paths import CLI, ROOT

MAN_PAGE = ROOT / "docs" / "qvr-upgrade.1"
COMPLETION = ROOT / "packaging" / "bash-completion" / "qvr-upgrade"
OPTION = re.compile(r"--[a-z][a-z-]*[a-z]")
ANYWHERE = {"--help", "--version"}


def help_text():
    done = subprocess.run([str(CLI), "--help"], capture_output=True, text=True, timeout=30)
    assert done.returncode == 0, done.stderr
    return done.stdout


def section(text, heading):
    """The indented lines after the line starting with `heading` (and the
    lines that continue the heading), up to the next line that starts in
    the first column."""
    lines = text.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith(heading)) + 1
    while start < len(lines) and lines[start][:1] not in ("", " "):
        start += 1
    end = next((i for i in range(start, len(lines)) if lines[i][:1] not in ("", " ")), len(lines))
    return lines[start:end]


def help_facts(text):
    """(commands with the options each takes, every option, exit codes)."""
    options = {m.group(1) for line in section(text, "Options (") if (m := re.match(r"  (--[a-z-]+)", line))}
    codes = {m.group(1) for line in section(text, "Exit codes:") if (m := re.match(r"  (\d+) ", line))}
    commands = {}
    command = None
    for line in section(text, "Commands:"):
        if m := re.match(r"  ([a-z]+)\b", line):
            command = m.group(1)
            commands[command] = ""
        elif command and "Options:" in line or (command and commands[command]):
            commands[command] += " " + line.strip()
    for name, said in commands.items():
        said = said.split("Options:", 1)[1]
        if said.startswith(" all of them"):
            commands[name] = options - ANYWHERE
        elif said.startswith(" all but"):
            commands[name] = options - ANYWHERE - set(OPTION.findall(said))
        else:
            commands[name] = set(OPTION.findall(said))
    return commands, options, codes


def man_sections(source):
    """{section heading: its roff source}."""
    parts = re.split(r"^\.SH (.+)$", source, flags=re.M)
    return {parts[i].strip('"'): parts[i + 1] for i in range(1, len(parts), 2)}


def test_man_page_matches_help():
    commands, options, codes = help_facts(help_text())
    assert set(commands) == {"info", "upgrade", "recover", "scan"} and len(options) > 15 and "2" in codes
    source = MAN_PAGE.read_text()
    text = source.replace("\\-", "-")
    parts = {k: v.replace("\\-", "-") for k, v in man_sections(source).items()}

    # Every option --help names is described, and none that it lacks.
    described = {m for m in re.findall(r"^\.BI? (--[a-z-]+)", parts["OPTIONS"], flags=re.M)}
    assert described == options
    assert set(OPTION.findall(text)) == options
    assert set(re.findall(r"^\.BI ([a-z]+) ", parts["COMMANDS"], flags=re.M)) == set(commands)
    assert set(re.findall(r"^\.B (\d+)$", parts["EXIT STATUS"], flags=re.M)) == codes
    # Each command names the options it takes as --help does.
    for name, takes in commands.items():
        said = parts["COMMANDS"].split(f'.BI {name} ', 1)[1].split("\n.TP", 1)[0].split("Options:", 1)[1]
        if "all of them" in said:
            assert takes == options - ANYWHERE, name
        elif "all but" in said:
            assert takes == options - ANYWHERE - set(OPTION.findall(said)), name
        else:
            assert takes == set(OPTION.findall(said)), name
    # An example of each job.
    examples = parts["EXAMPLES"]
    for name in commands:
        assert f"qvr-upgrade {name} " in examples, name


@pytest.mark.skipif(not shutil.which("groff"), reason="groff is not installed")
def test_man_page_renders_without_warnings():
    done = subprocess.run(["groff", "-man", "-ww", "-z", str(MAN_PAGE)], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0 and done.stderr == ""


def completions(*words):
    """What bash completion offers after `words` (the last one being
    completed), with the package's completion file loaded."""
    script = (f'source "{COMPLETION}"; COMP_WORDS=(qvr-upgrade "$@"); COMP_CWORD=$#; '
              '_qvr_upgrade; printf "%s\\n" "${COMPREPLY[@]}"')
    done = subprocess.run(["bash", "-c", script, "complete", *words], capture_output=True, text=True, timeout=30)
    assert done.returncode == 0, done.stderr
    return set(done.stdout.split())


def test_completion_matches_help():
    commands, _, _ = help_facts(help_text())
    assert completions("") == set(commands) | ANYWHERE
    for name, takes in commands.items():
        assert completions(name, "--") - ANYWHERE == takes, name
    # An option already given is not offered again; after one that names a
    # file, no option is offered.
    assert completions("upgrade", "--yes", "--") == commands["upgrade"] - {"--yes"} | {"--help"}
    assert not completions("upgrade", "--image", "--")
