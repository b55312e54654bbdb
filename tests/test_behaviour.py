"""The program's behaviour, one table of cases run against every target (see conftest.py)."""

import re
from dataclasses import dataclass

import pytest

from conftest import wait_for

CMD1 = "netsh interface tcp set global timestamps=enabled"
CMD2 = "netsh interface tcp show global"

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


@pytest.mark.parametrize("case", CASES, ids=lambda c: c.id)
def test_run(machine, case):
    if case.host_only and not machine.target.stand_in_shell:
        pytest.skip(case.host_only)
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

    # Nothing ever runs from the folder the user started in.
    assert not [r for r in result.powershells() if machine.in_folder(r["image"], start)]

    if machine.target.stand_in_shell:
        check_requests(result.launches(), case, machine, result)


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
