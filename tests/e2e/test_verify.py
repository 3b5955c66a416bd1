"""Every store checked once the server holds it: a changed byte caught by
the digest the server computes (HASH, or an X command), a cut file by its
size, SIZE in place of a digest the server does not offer; a message whose
body is not its cv-file-sha256 never committed. A file that fails is
deleted, its message backed out, the run ends with class 7."""
import hashlib
import os
import zlib

import pytest

from scripted import STORE_FAULTS, ScriptedServer
from session import QUEUE, cvadmin, depth, home, login, run  # noqa: F401

BODY = os.urandom(300 * 1024)  # more than a piece of a store
FLIPPED = STORE_FAULTS["flip"](BODY)
SHA, BAD_SHA = hashlib.sha256(BODY).hexdigest(), hashlib.sha256(FLIPPED).hexdigest()

# FEAT's features (None: FEAT unknown), the store's fault, set verify, safe
# put, the commands sent besides login, PASV and QUIT, the lines that tell.
CUT = "the server holds %d bytes of the %d sent; deleted" % (len(BODY) // 2, len(BODY))
CASES = [
    (["XMD5", "XSHA256"], "flip", "hash", True, ["FEAT", "STOR", "XSHA256", "DELE"],
     "SHA-256 on the server %s differs from the %s sent; deleted" % (BAD_SHA, SHA)),
    (["HASH SHA-1*;SHA-256;MD5"], "flip", "hash", False, ["FEAT", "OPTS", "STOR", "HASH", "DELE"],
     "SHA-256 on the server %s differs from the %s sent; deleted" % (BAD_SHA, SHA)),
    (["XCRC"], "flip", "hash", True, ["FEAT", "STOR", "XCRC", "DELE"],
     "CRC32 on the server %X differs from the %08x sent; deleted" % (zlib.crc32(FLIPPED),
                                                                     zlib.crc32(BODY))),
    (["HASH MD5*;CRC32", "XSHA1"], None, "hash", True, ["FEAT", "STOR", "HASH", "RNFR", "RNTO"],
     "verified by HASH MD5"),
    (None, "truncate", "auto", True, ["STOR", "SIZE", "DELE"], CUT),
    ([], "truncate", "hash", False, ["FEAT", "STOR", "SIZE", "DELE"],
     "the server computes no hash; verified by its size\n" + CUT),
    (None, "bad property", "off", False, ["STOR", "DELE"],
     "the message's body has SHA-256 %s, not the %s of its cv-file-sha256; deleted" % (SHA,
                                                                                     BAD_SHA)),
]


# A safe store first asks what a cut store of the message left (SIZE, MDTM).
def _probed(verbs):
    at = verbs.index("STOR")
    return verbs[:at] + ["SIZE", "MDTM"] + verbs[at:]


CASES = [c[:4] + (_probed(c[4]) if c[3] else c[4],) + c[5:] for c in CASES]


@pytest.mark.parametrize("feat,fault,verify,safe,verbs,told", CASES, ids=[
    "xsha256", "hash-opts", "xcrc", "hash-md5-whole", "size", "no-hash", "property"])
def test_a_store_is_checked_as_set_verify_says(home, feat, fault, verify, safe, verbs, told):
    prop = ["--property", "cv-file-sha256=" + BAD_SHA] if fault == "bad property" else []
    cvadmin(home, "put", QUEUE, *prop, data=BODY)
    with ScriptedServer(step="data", behaviour=fault, feat=feat) as srv:
        status, out = run(home, ["-n", "-p"] + ["-a"] * safe,
                          login(srv) + ["binary", "set verify " + verify, "put f.bin", "bye"])
    whole = fault is None
    assert status == (0 if whole else 7), out
    for line in told.split("\n"):
        assert "cvxfer: [f.bin] %s\n" % line in out
    assert [v for v in srv.verbs() if v not in ("USER", "PASS", "TYPE", "PASV", "QUIT")] == verbs
    assert srv.files == ({"f.bin": BODY} if whole else {}), "no temporary or bad file left"
    assert depth(home) == (0 if whole else 1)
