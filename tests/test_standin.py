"""The stand-in findstr and netsh: the display's filtered line is only as honest as they are."""

import subprocess

import pytest

from conftest import BUILD, ROOT

TOOLS = BUILD / "host" / "standin"


@pytest.fixture
def system(tmp_path):
    folder = tmp_path / "System32"
    subprocess.run([ROOT / "standin" / "make-system-dir", TOOLS, folder], check=True)
    return folder


@pytest.mark.parametrize("search, given, shown, status", [
    ("RFC 1323", "Initial RTO : 1000\nRFC 1323 Timestamps : enabled\n", "RFC 1323 Timestamps : enabled\n", 0),
    ("RFC 1323", "only 1323 here\nRFC alone\nneither\n", "only 1323 here\nRFC alone\n", 0),  # any word
    ("RFC 1323", "rfc lower case\n", "", 1),  # case-sensitive
    ("RFC 1323", "RFC with CR LF\r\nnot this\r\n", "RFC with CR LF\n", 0),
    ("RFC 1323", "RFC without a final line break", "RFC without a final line break\n", 0),
    ("RFC 1323", "", "", 1),
], ids=["the line", "any word", "case-sensitive", "CR LF", "no final break", "no input"])
def test_findstr(system, search, given, shown, status):
    done = subprocess.run([system / "findstr", search], input=given.encode(), capture_output=True)
    assert (done.stdout.decode(), done.returncode) == (shown, status)


def netsh(system, *args):
    done = subprocess.run([system / "netsh", *args], capture_output=True)
    return done.stdout.decode(), done.returncode


def timestamps_line(listing):
    return [line for line in listing.splitlines() if "RFC 1323" in line]


@pytest.mark.parametrize("steps, shown", [
    ([], "disabled"),
    (["enabled"], "enabled"),
    (["enabled", "disabled"], "disabled"),
    (["Enabled"], "enabled"),
])
def test_netsh_keeps_the_setting(system, steps, shown):
    for value in steps:
        assert netsh(system, "interface", "tcp", "set", "global", f"timestamps={value}") == ("Ok.\n\n", 0)
    listing, status = netsh(system, "Interface", "TCP", "show", "global")
    assert status == 0
    assert timestamps_line(listing) == [f"RFC 1323 Timestamps                 : {shown}"]


@pytest.mark.parametrize("args", [
    ("interface", "tcp", "set", "global", "timestamps=maybe"),
    ("interface", "tcp", "show"),
    ("interface", "udp", "show", "global"),
    (),
])
def test_netsh_refuses_what_it_does_not_know(system, args):
    output, status = netsh(system, *args)
    assert status == 1 and output
    assert timestamps_line(netsh(system, "interface", "tcp", "show", "global")[0])[0].endswith(": disabled")
