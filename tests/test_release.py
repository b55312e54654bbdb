"""The release a user downloads: signed when the environment gives a certificate, and checkable
against the source with tools/verify-release. Certificates are throwaway ones made here."""

import hashlib
import os
import re
import shutil
import subprocess
import zipfile

import pefile
import pytest

from conftest import BUILD, ROOT, package_files, release_build
from test_behaviour import CASE, check_case

TESTED_EXE = BUILD / "windows" / release_build.EXE
VERSION = release_build.project_version(ROOT)
PACKAGE = release_build.package_name(VERSION)
PASSWORD = "correct horse \"battery\" $staple"  # blanks, quotes and a dollar: passed as it is


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True)


def make_certificate(folder, name, subject, password, *extensions, dates=None):
    """A self-signed certificate NAME.pem and, with its key, NAME.pfx."""
    extensions = [a for e in extensions for a in ("-addext", e)]
    if dates is None:
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key", "-out", f"{name}.pem",
                "-days", "7", "-subj", subject, *extensions, cwd=folder)
    else:  # only "openssl ca" sets dates in the past
        db = folder / f"{name}-ca"
        db.mkdir()
        (db / "index.txt").write_text("")
        (db / "serial").write_text("01\n")
        (db / "ca.cnf").write_text(f"[ca]\ndefault_ca = d\n[d]\ndatabase = {db}/index.txt\nnew_certs_dir = {db}\n"
                                   f"serial = {db}/serial\ndefault_md = sha256\npolicy = p\ncopy_extensions = copy\n"
                                   "[p]\ncommonName = supplied\n")
        openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key", "-out", f"{name}.csr",
                "-subj", subject, *extensions, cwd=folder)
        openssl("ca", "-batch", "-config", db / "ca.cnf", "-selfsign", "-keyfile", f"{name}.key", "-in", f"{name}.csr",
                "-out", f"{name}.pem", "-startdate", dates[0], "-enddate", dates[1], cwd=folder)
    openssl("pkcs12", "-export", "-inkey", f"{name}.key", "-in", f"{name}.pem", "-out", f"{name}.pfx",
            "-passout", f"pass:{password}", cwd=folder)
    return folder / f"{name}.pfx"


CODE_SIGNING = ("extendedKeyUsage=codeSigning", "keyUsage=digitalSignature")


@pytest.fixture(scope="module")
def certificates(tmp_path_factory):
    folder = tmp_path_factory.mktemp("certificates")
    make_certificate(folder, "publisher", "/CN=Test Publisher", PASSWORD, *CODE_SIGNING)
    make_certificate(folder, "other", "/CN=Someone Else", PASSWORD, *CODE_SIGNING)
    make_certificate(folder, "server", "/CN=TLS Server", PASSWORD, "extendedKeyUsage=serverAuth")
    make_certificate(folder, "expired", "/CN=Expired Publisher", PASSWORD, *CODE_SIGNING,
                     dates=("20200101000000Z", "20200102000000Z"))
    (folder / "not-pkcs12.pfx").write_bytes(os.urandom(600))
    (folder / "a-folder.pfx").mkdir()
    return folder


def signing(pfx, password=PASSWORD):
    return {"CODE_SIGNING_PKCS12": str(pfx), "CODE_SIGNING_PASSWORD": password}


@pytest.fixture(scope="module")
def signed_tree(tmp_path_factory, certificates):
    """A clean copy of the source with the signed release built in it; the package is kept aside."""
    source = tmp_path_factory.mktemp("signed") / "source"
    release_build.copy_source_tree(ROOT, source)
    build = release_build.build_release(source, signing(certificates / "publisher.pfx"))
    kept = source.parent / f"{PACKAGE}.zip"
    shutil.copy(build / kept.name, kept)
    return source, kept


def sha256sums(files):
    """SHA256SUMS as the release writes it, for these files."""
    return "".join(f"{hashlib.sha256(files[n]).hexdigest()}  {n}\n" for n in (release_build.EXE, "README.md"))


def signature_size(exe):
    directories = pefile.PE(data=exe).OPTIONAL_HEADER.DATA_DIRECTORY
    return directories[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]].Size


def osslsigncode(*args):
    done = subprocess.run(["osslsigncode", *map(str, args)], capture_output=True, text=True)
    return done.returncode, done.stdout + done.stderr


def test_unsigned_release_has_no_signature(release_builds):
    exe = package_files(release_builds[0] / f"{PACKAGE}.zip")[release_build.EXE]
    assert signature_size(exe) == 0
    assert exe == TESTED_EXE.read_bytes()


def test_signed_release_verifies_against_its_certificate(signed_tree, certificates, tmp_path):
    exe = tmp_path / release_build.EXE
    exe.write_bytes(package_files(signed_tree[1])[release_build.EXE])
    assert signature_size(exe.read_bytes()) > 0
    status, report = osslsigncode("verify", "-in", exe, "-CAfile", certificates / "publisher.pem")
    assert status == 0, report
    assert re.search(r"Message digest algorithm\s*: SHA256", report), report
    assert re.search(r"Text description: enable-tcp-timestamps\n", report), report
    # The verification means something: another certificate does not vouch for it.
    assert osslsigncode("verify", "-in", exe, "-CAfile", certificates / "other.pem")[0] != 0


def test_signed_release_is_the_clean_build_plus_a_signature(signed_tree, tmp_path):
    source, package = signed_tree
    signed = tmp_path / "signed.exe"
    signed.write_bytes(package_files(package)[release_build.EXE])
    status, report = osslsigncode("remove-signature", "-in", signed, "-out", tmp_path / "stripped.exe")
    assert status == 0, report
    stripped = (tmp_path / "stripped.exe").read_bytes()
    assert stripped == (source / "build" / "release" / release_build.EXE).read_bytes()
    assert stripped == TESTED_EXE.read_bytes()


def test_signed_release_sums_list_the_files_as_shipped(signed_tree):
    files = package_files(signed_tree[1])
    assert files["SHA256SUMS"].decode() == sha256sums(files)


def test_signed_executable_runs(signed_tree, wine, tmp_path):
    (tmp_path / "signed").mkdir()
    exe = tmp_path / "signed" / release_build.EXE
    exe.write_bytes(package_files(signed_tree[1])[release_build.EXE])
    (tmp_path / "case").mkdir()
    check_case(wine.with_exe(exe).new_machine(tmp_path / "case"), CASE["both launches consented"])


@pytest.mark.parametrize("pfx, password, error", [
    ("missing.pfx", PASSWORD, "CODE_SIGNING_PKCS12: no such file: {certificates}/missing.pfx"),
    ("a-folder.pfx", PASSWORD, "CODE_SIGNING_PKCS12: cannot read {certificates}/a-folder.pfx"),
    ("", PASSWORD, "CODE_SIGNING_PKCS12 is set but empty"),
    ("not-pkcs12.pfx", PASSWORD, "{certificates}/not-pkcs12.pfx is not a PKCS#12 file that OpenSSL can read"),
    ("publisher.pfx", "not the password", "wrong password for {certificates}/publisher.pfx (CODE_SIGNING_PASSWORD)"),
    ("publisher.pfx", "", "wrong password for {certificates}/publisher.pfx (CODE_SIGNING_PASSWORD)"),
    ("server.pfx", PASSWORD, "the certificate of CN=TLS Server is not for code signing "
                             "(extended key usage: TLS Web Server Authentication)"),
    ("expired.pfx", PASSWORD,
     "the certificate of CN=Expired Publisher has expired (notAfter=Jan  2 00:00:00 2020 GMT)"),
], ids=["missing", "a folder", "empty path", "not PKCS#12", "wrong password", "no password", "not for code signing",
        "expired"])
def test_bad_signing_input(signed_tree, certificates, pfx, password, error):
    source, good = signed_tree
    package = source / "build" / "release" / good.name
    shutil.copy(good, package)  # a package from an earlier run, which must not survive a failed one
    env = signing(certificates / pfx if pfx else "", password)
    with pytest.raises(release_build.BuildFailed) as failed:
        release_build.build_release(source, env)
    output = failed.value.output
    assert "sign-exe: " + error.format(certificates=certificates) + "\n" in output
    assert not package.exists()
    assert PASSWORD not in output and (not password or password not in output)


# tools/verify-release, on the good packages and on each kind of bad one.

def run_verify(package, *args):
    before = checkout_files()
    done = subprocess.run([ROOT / "tools" / "verify-release", package, *map(str, args)], cwd=ROOT,
                          capture_output=True, text=True)
    assert checkout_files() == before, "verify-release left files in the checkout"
    lines = done.stdout.splitlines()
    assert lines, done.stderr
    return done.returncode, lines[-1]


def checkout_files():
    return sorted(str(p.relative_to(ROOT)) for p in ROOT.rglob("*"))


def repack(package, folder, name=None, changes=None, extra=None, rehash=True):
    """A copy of a package with some files replaced or added, its sums made anew or not."""
    files = package_files(package)
    files.update(changes or {})
    if rehash:
        files["SHA256SUMS"] = sha256sums(files).encode()
    files.update(extra or {})
    out = folder / (name or package.name)
    with zipfile.ZipFile(out, "w") as z:
        for member, data in files.items():
            z.writestr(f"{(name or package.name).removesuffix('.zip')}/{member}", data)
    return out


def resign(exe, pfx, folder):
    """The executable signed anew (over any signature it had) with the given certificate."""
    (folder / "in.exe").write_bytes(exe)
    if signature_size(exe):
        assert osslsigncode("remove-signature", "-in", folder / "in.exe", "-out", folder / "bare.exe")[0] == 0
    else:
        shutil.copy(folder / "in.exe", folder / "bare.exe")
    status, report = osslsigncode("sign", "-pkcs12", pfx, "-pass", PASSWORD, "-h", "sha256", "-in", folder / "bare.exe",
                                  "-out", folder / "out.exe")
    assert status == 0, report
    return (folder / "out.exe").read_bytes()


def test_verify_release_accepts_the_packages(signed_tree, release_builds, certificates):
    status, verdict = run_verify(signed_tree[1])
    assert (status, verdict) == (0, f"verify-release: OK: {PACKAGE}.zip is enable-tcp-timestamps {VERSION}, "
                                    "signed by CN=Test Publisher, identical to this checkout's build")
    assert run_verify(signed_tree[1], "--ca", certificates / "publisher.pem")[0] == 0
    status, verdict = run_verify(release_builds[0] / f"{PACKAGE}.zip")
    assert (status, verdict) == (0, f"verify-release: OK: {PACKAGE}.zip is enable-tcp-timestamps {VERSION}, "
                                    "unsigned, identical to this checkout's build")


def tampered(kind, good, unsigned, certificates, folder):
    """A bad package of the given kind, made from the good signed one (or the unsigned one)."""
    files = package_files(good)
    exe = files[release_build.EXE]
    changed = exe.replace(b"timestamps=enabled", b"timestamps=Enabled")  # what netsh is told, a letter off
    if kind == "not a zip":
        (folder / good.name).write_bytes(b"MZ this is not a zip file\n")
        return folder / good.name, []
    if kind == "other version":
        return repack(good, folder, name=release_build.package_name("9.9.9") + ".zip"), []
    if kind == "README changed, hash left":
        return repack(good, folder, changes={"README.md": b"Run me as administrator.\n"}, rehash=False), []
    if kind == "a file added":
        return repack(good, folder, extra={"setup.cmd": b"@echo off\n"}), []
    if kind == "sums missing a file":
        return repack(good, folder, changes={"SHA256SUMS": files["SHA256SUMS"].splitlines(True)[0]},
                      rehash=False), []
    if kind == "executable changed after signing":
        return repack(good, folder, changes={release_build.EXE: changed}), []
    if kind == "signature damaged":
        at = len(exe) - 300  # inside the signature's own bytes, at the end of the file
        return repack(good, folder, changes={release_build.EXE: exe[:at] + bytes([exe[at] ^ 0xFF]) + exe[at + 1:]}), []
    if kind == "executable changed and re-signed":
        resigned = resign(changed, certificates / "publisher.pfx", folder)
        return repack(good, folder, changes={release_build.EXE: resigned}), []
    if kind == "signed by someone else, --ca":
        return good, ["--ca", certificates / "other.pem"]
    if kind == "unsigned, --ca":
        return unsigned, ["--ca", certificates / "publisher.pem"]
    raise ValueError(kind)


@pytest.mark.parametrize("kind, reason", [
    ("not a zip", f"{PACKAGE}.zip is not a zip file"),
    ("other version",
     f"enable-tcp-timestamps-9.9.9-win64.zip is not the package of version {VERSION} checked out here"),
    ("README changed, hash left", "the SHA-256 of README.md does not match its line in SHA256SUMS"),
    ("a file added", f"should hold just {PACKAGE}/README.md, {PACKAGE}/SHA256SUMS, "
                     f"{PACKAGE}/enable-tcp-timestamps.exe; it also holds {PACKAGE}/setup.cmd"),
    ("sums missing a file", "SHA256SUMS should list enable-tcp-timestamps.exe and README.md"),
    ("executable changed after signing", "enable-tcp-timestamps.exe was changed after it was signed"),
    ("signature damaged", "enable-tcp-timestamps.exe: its signature is not"),
    ("executable changed and re-signed",
     "enable-tcp-timestamps.exe (signature removed) differs from this checkout's build"),
    ("signed by someone else, --ca", "its signature does not verify against"),
    ("unsigned, --ca", "enable-tcp-timestamps.exe is not signed, but --ca asks for a signature"),
])
def test_verify_release_refuses(signed_tree, release_builds, certificates, tmp_path, kind, reason):
    package, args = tampered(kind, signed_tree[1], release_builds[0] / f"{PACKAGE}.zip", certificates, tmp_path)
    status, verdict = run_verify(package, *args)
    assert status == 1
    assert verdict.startswith("verify-release: FAILED: ") and reason in verdict, verdict
