"""The program's behaviour, one table of cases run against every target (see conftest.py)."""

import re
from dataclasses import dataclass

import pytest

from conftest import WINE_THREAD, wait_for

CMD1 = "netsh interface tcp set global timestamps=enabled"
CMD2 = "netsh interface tcp show global"
DISPLAY_LINE = 'powershell netsh interface tcp show global | findstr "RFC 1323"'

# What a consented run shows: the one listing line that passes the filter "RFC 1323". The value
# may still be the old one, since the program does not wait for the elevated netsh.
DISPLAY = re.compile(r"RFC 1323 Timestamps +: (enabled|disabled)\n")

# Every field of the launch request as the program must hand it over (hInstApp is checked apart).
REQUEST = {
    "cbSize": 112,
    "fMask": 0x400,
    "hwnd": 0,
    "lpVerb": "runas",
    "lpFile": "powershell.exe",
    "lpDirectory": None,
    "nShow": 0,
    "lpIDList": 0,
    "lpClass": 0,
    "hkeyClass": 0,
    "dwHotKey": 0,
    "hIcon": 0,
    "hProcess": 0,
}

NO_CONSENT_UNDER_WINE = "Wine shows no consent prompt and every launch it is asked for is made"


@dataclass
class Case:
    id: str
    stdout: object  # the exact text, or DISPLAY
    status: int
    asked: tuple  # the parameters of each launch the program asks for
    started: tuple  # the parameters of each elevated PowerShell that actually starts
    args: tuple = ()
    consent: str = None  # the stand-in's scripted answers, one per launch
    setup: str = None  # "plant" or "no-powershell"
    system_dir: str = "set"  # or "unset" / "missing": the system folder can't be had or entered
    host_only: str = None  # why the case can't be produced under Wine


CASES = [
    Case("both launches consented", DISPLAY, 0, (CMD1, CMD2), (CMD1, CMD2), consent="yes,yes"),
    Case("arguments of any kind are ignored", DISPLAY, 0, (CMD1, CMD2), (CMD1, CMD2),
         args=("/?", "--help", "-x", "", "timestamps=disabled", "two words", 'a"quote', "C:\\Windows")),
    Case("powershell planted in the starting folder is not run", DISPLAY, 0, (CMD1, CMD2), (CMD1, CMD2),
         setup="plant"),
    Case("first launch declined", "Exec failed: 1223\n", 1, (CMD1,), (), consent="no",
         host_only=NO_CONSENT_UNDER_WINE),
    Case("second launch declined, first left running", "Exec failed: 1223\n", 1, (CMD1, CMD2), (CMD1,),
         consent="yes,no", host_only=NO_CONSENT_UNDER_WINE),
    Case("powershell not found", "Exec failed: 2\n", 1, (CMD1,), (), setup="no-powershell"),
    Case("code with the top bit set is printed signed", "Exec failed: -2147024891\n", 1, (CMD1,), (),
         consent="0x80070005", host_only="only the stand-in shell can be told to fail with a given code"),
    Case("second launch fails with another code", "Exec failed: 1155\n", 1, (CMD1, CMD2), (CMD1,),
         consent="yes,1155", host_only="only the stand-in shell can be told to fail with a given code"),
    Case("system folder unknown: runs as before", DISPLAY, 0, (CMD1, CMD2), (CMD1, CMD2), system_dir="unset",
         host_only="Wine always knows its system folder"),
    Case("system folder cannot be entered: runs as before", DISPLAY, 0, (CMD1, CMD2), (CMD1, CMD2),
         system_dir="missing", host_only="Wine's system folder always exists"),
]


CASE = {case.id: case for case in CASES}


@pytest.mark.parametrize("case", CASES, ids=lambda c: c.id)
def test_run(machine, case):
    if case.host_only and not machine.target.stand_in_shell:
        pytest.skip(case.host_only)
    check_case(machine, case)


def check_case(machine, case):
    """Runs one case of the table on a machine and checks everything it shows."""
    start = machine.tmp / "Downloads"
    start.mkdir()
    if case.setup == "plant":
        machine.plant_powershell(start)
    elif case.setup == "no-powershell":
        machine.remove_powershell()

    result = machine.run(args=case.args, cwd=start, consent=case.consent, system_dir=case.system_dir)

    # The program's own output is the failure line or nothing; a consented run shows the filtered line.
    if case.stdout is DISPLAY:
        assert DISPLAY.fullmatch(result.stdout), result.stdout
    else:
        assert result.stdout == case.stdout
    assert result.stderr == ""
    assert result.status == case.status

    # The elevated PowerShells run on after the program has ended: wait for each one that started.
    wait_for(lambda: len([r for r in result.powershells() if machine.is_launched(r)]) >= len(case.started),
             f"{len(case.started)} elevated powershell starts")
    launched = [r for r in result.powershells() if machine.is_launched(r)]
    assert sorted(r["commandLine"] for r in launched) == sorted(case.started)
    if CMD1 in case.started:
        wait_for(lambda: machine.timestamps_state() == "enabled", "netsh to switch timestamps on")
    else:
        assert machine.timestamps_state() == "disabled"

    displays = [r for r in result.powershells() if machine.is_display(r)]
    assert [r["commandLine"] for r in displays] == ([CMD2] if case.stdout is DISPLAY else [])
    if case.stdout is DISPLAY:
        check_display(machine, displays[0], result.findstrs())
    else:
        assert result.findstrs() == []

    # Nothing ever runs from the folder the user started in.
    assert not [r for r in result.powershells() if machine.in_folder(r["image"], start)]

    if machine.target.stand_in_shell:
        check_requests(result.launches(), case, machine, result)
    else:
        check_wine_requests(result, case)


def check_requests(requests, case, machine, result):
    """What the stand-in shell received, call by call."""
    assert [r["lpParameters"] for r in requests] == list(case.asked)
    for r in requests:
        assert {k: r[k] for k in REQUEST} == REQUEST
    # Created zeroed, and not cleared between the launches: the second call gets what the first left.
    assert requests[0]["hInstApp"] == 0
    if len(requests) > 1:
        assert requests[1]["hInstApp"] == requests[0]["hInstAppAfter"] != 0
    if case.system_dir == "set":
        assert all(r["cwd"] == str(machine.system) for r in requests)
    else:
        assert all(r["cwd"] == str(machine.tmp / "Downloads") for r in requests)
    if case.stdout is DISPLAY:
        journal = result.journal()
        display = next(i for i, r in enumerate(journal) if r["event"] == "powershell" and machine.is_display(r))
        assert journal.index(requests[0]) < journal.index(requests[1]) < display


# The listing that the stand-in netsh prints, whichever value the setting has at that moment.
LISTING = re.compile(r"""Querying active state...

TCP Global Parameters
----------------------------------------------
Receive-Side Scaling State          : enabled
Receive Window Auto-Tuning Level    : normal
Add-On Congestion Control Provider  : default
ECN Capability                      : disabled
RFC 1323 Timestamps                 : (enabled|disabled)
Initial RTO                         : 1000
Receive Segment Coalescing State    : enabled
Non Sack Rtt Resiliency             : disabled
Max SYN Retransmissions             : 4
Fast Open                           : enabled
Fast Open Fallback                  : enabled
HyStart                             : enabled
Proportional Rate Reduction         : enabled
Pacing Profile                      : off

""")


def check_display(machine, powershell, findstrs):
    """The display command line, word for word: the shell that ran it, each program it started with
    its words, and the pipe between them."""
    assert len(findstrs) == 1, findstrs
    findstr = findstrs[0]
    shell = machine.shell_command_line(DISPLAY_LINE)
    assert powershell["parentCommandLine"] == shell
    assert findstr["parentCommandLine"] == shell
    assert powershell["argv"] == ["powershell", *CMD2.split()]
    assert findstr["argv"] == ["findstr", "RFC 1323"]
    assert machine.is_system_tool(powershell["image"], "powershell"), powershell["image"]
    assert machine.is_system_tool(findstr["image"], "findstr"), findstr["image"]
    # findstr reads what powershell wrote, and that is netsh's listing.
    assert findstr["stdin"] == powershell["stdout"] and findstr["stdin"].startswith(("pipe:", "file:"))
    assert LISTING.fullmatch(findstr["input"].replace("\r\n", "\n")), findstr["input"]


# Wine's exec channel: "ShellExecuteExA <record address>", then on the same thread
# "SHELL_execute mask=... hwnd=... verb=... file=... parm=... dir=... show=... class=...".
WINE_CALL = re.compile(rf"(?P<thread>{WINE_THREAD}):trace:exec:ShellExecuteExA (?P<record>[0-9A-Fa-f]+)")
WINE_TEXT = r'(?:L"(?:[^"\\]|\\.)*"|\(null\))'
WINE_FIELDS = re.compile(
    rf"(?P<thread>{WINE_THREAD}):trace:exec:SHELL_execute mask=0x(?P<mask>[0-9a-fA-F]+) "
    rf"hwnd=(?P<hwnd>[0-9a-fA-F]+) verb=(?P<verb>{WINE_TEXT}) file=(?P<file>{WINE_TEXT}) "
    rf"parm=(?P<parm>{WINE_TEXT}) dir=(?P<dir>{WINE_TEXT}) show=0x(?P<show>[0-9a-fA-F]+) class=.*")
WINE_FORM = "Wine's exec report is not in the form this test reads"


def wine_text(field):
    """A text as Wine's debug output quotes it, or None for (null)."""
    if field == "(null)":
        return None
    escapes = {"\\\\": "\\", '\\"': '"', "\\n": "\n", "\\r": "\r", "\\t": "\t"}
    return re.sub(r"\\x([0-9a-fA-F]{2,4})|\\.", lambda m: chr(int(m.group(1), 16)) if m.group(1)
                  else escapes.get(m.group(0), m.group(0)), field[2:-1])


def wine_launches(report):
    """Each ShellExecuteExA call in Wine's report, with the record's fields as its shell read them."""
    launches = []
    for i, line in enumerate(report):
        call = WINE_CALL.fullmatch(line)
        if not call:
            if ":trace:exec:ShellExecuteExA" in line:
                pytest.fail(f"{WINE_FORM}: {line!r}")
            continue
        following = [later for later in report[i + 1:] if later.startswith(call["thread"] + ":trace:exec:")]
        fields = WINE_FIELDS.fullmatch(following[0]) if following else None
        if not fields:
            pytest.fail(f"{WINE_FORM}: after {line!r} came {following[:1]!r}")
        launches.append({"thread": call["thread"], "record": int(call["record"], 16),
                         "mask": int(fields["mask"], 16), "hwnd": int(fields["hwnd"], 16),
                         "verb": wine_text(fields["verb"]), "file": wine_text(fields["file"]),
                         "parameters": wine_text(fields["parm"]), "directory": wine_text(fields["dir"]),
                         "show": int(fields["show"], 16)})
    return launches


def check_wine_requests(result, case):
    """What Wine's own shell received from the shipped executable, call by call."""
    launches = wine_launches(result.wine_report)
    if not launches:
        pytest.fail(f"{WINE_FORM}: no ShellExecuteExA call in {result.wine_report[:5]!r}")
    assert [r["parameters"] for r in launches] == list(case.asked)
    for r in launches:
        assert {k: r[k] for k in ("mask", "hwnd", "verb", "file", "directory", "show")} == {
            "mask": 0x400, "hwnd": 0, "verb": "runas", "file": "powershell.exe", "directory": None, "show": 0}
    # One thread, one record: the second launch reuses the first's request.
    assert len({(r["thread"], r["record"]) for r in launches}) == 1
    assert not result.manifest_errors(), result.manifest_errors()
