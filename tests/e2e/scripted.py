"""A scripted FTP server on loopback for what real servers will not do on
demand: fail at a chosen step in a chosen manner, speak only EPSV/EPRT,
pause inside a reply or a listing, send replies a byte at a time, announce
sizes it does not send.

    with ScriptedServer(files={"a": b"..."}, step="data", behaviour="close") as srv:
        ... srv.port ... srv.lines ... srv.files

Sessions are served one after another until the block ends; each fault
and each pause happens once, at its first occasion."""
import hashlib
import ipaddress
import os
import random
import socket
import ssl
import threading
import time
import zlib

PAYLOAD = random.Random(7).randbytes(600 * 1024)  # more than one receive chunk
SLOW = 0.5          # seconds; well inside any wait for a reply
RUN_TIMEOUT = 40    # the longest any wait of the server lasts

FAULTS = ["421", "close", "garbage"]
# What a STOR whose data step misbehaves keeps, its 226 unchanged.
STORE_FAULTS = {"flip": lambda b: b[:len(b) // 2] + bytes([b[len(b) // 2] ^ 1]) + b[len(b) // 2 + 1:],
                "truncate": lambda b: b[:len(b) // 2]}
# The digests HASH and the X commands compute.
DIGESTS = {"SHA-256": lambda b: hashlib.sha256(b).hexdigest(),
           "SHA-1": lambda b: hashlib.sha1(b).hexdigest(),
           "MD5": lambda b: hashlib.md5(b).hexdigest(),
           "CRC32": lambda b: "%X" % zlib.crc32(b)}
X_HASHES = {"XSHA256": "SHA-256", "XSHA1": "SHA-1", "XMD5": "MD5", "XCRC": "CRC32"}
EPSV_ONLY = {"PASV": "500 use EPSV/EPRT", "PORT": "500 use EPSV/EPRT"}

NORMAL = {"greeting": "220 scripted test server ready.", "USER": "331 Password required.",
          "PASS": "230 Logged in.", "TYPE": "200 Type set.", "MODE": "200 OK.",
          "STRU": "200 OK.", "NOOP": "200 OK.", "ABOR": "226 Abort done.",
          "PORT": "200 PORT command ok.",
          "EPRT": "200 EPRT command ok.", "SYST": "215 UNIX Type: L8", "CWD": "250 OK.",
          "MKD": "257 Created.", "RMD": "250 Removed.", "RNTO": "250 Renamed.",
          "transfer": "150 Opening data connection.", "final": "226 Transfer complete."}


class ScriptedServer:
    """files: name -> bytes, served by RETR, NLST, LIST, SIZE, MDTM and
    changed by STOR, DELE, RNFR/RNTO (share the dict to keep it). At step
    (a verb, "greeting", "transfer" for the 150 reply, "data", "final" for
    the end-of-transfer reply), once skip occasions of it went well, it
    misbehaves once in the manner behaviour (then: the (step, behaviour)
    that misbehaves after it):
    421, close, garbage (then 500 to all), overlong, stall, control,
    endless, slow; at a STOR's data, flip (one byte) or truncate (half
    kept), answered 226 all the same. refuse: verb, or "VERB arg" for one command, -> the reply
    that refuses it (EPSV_ONLY).
    pauses: verb -> seconds inside that verb's reply, sent as two lines.
    list_pause: (name, seconds) inside a listing after that name. split:
    every reply a byte at a time. announce: the 150 reply of RETR names
    the size (None: only with truncate). truncate: RETR sends only that many
    bytes, but says (unless announce is False) and SIZEs the whole. no_overwrite: RNTO onto an existing name is refused.
    REST n makes the next STOR write from byte n (refuse it to have a
    server that cannot resume). feat: the features FEAT lists (None: FEAT
    is not known); HASH (its algorithms as FEAT lists them, "*" the one in
    force, OPTS HASH changes it) and the X commands listed answer the
    digest of a held file. lines holds every command line received (bytes,
    with CR LF); stored the bytes the last complete STOR received, partial
    those of a cut one, whose file keeps them as a real server's does.
    tls: AUTH TLS and PROT P are served (the certificate ftpservers.pki()
    makes); a protected data connection ends with close_notify, or as
    tls_end says: "cut" (a RETR's ends without it), "chatter" (a STOR's
    keeps sending after the client's close_notify, its 226 sent at once).
    port: where to listen (0: any free one; a closed server's port serves
    again as a server that came back)."""

    def __init__(self, files=None, step=None, behaviour=None, user="tester", password="secret",
                 refuse=None, pauses=None, list_pause=None, split=False, announce=None,
                 truncate=None, no_overwrite=False, host="127.0.0.1", skip=0, then=None,
                 feat=None, tls=False, tls_end=None, port=0):
        self.files = {} if files is None else files
        self.skip, self.then = skip, then
        self.step, self.behaviour, self.user, self.password = step, behaviour, user, password
        self.refuse, self.pauses = dict(refuse or {}), dict(pauses or {})
        self.list_pause, self.split, self.announce = list_pause, split, announce
        self.truncate, self.no_overwrite, self.host = truncate, no_overwrite, host
        self.feat, self.tls_end = feat, tls_end
        self._tls = _tls_context() if tls else None
        self.lines, self.stored, self.partial = [], None, None
        self._stop, self._conn = threading.Event(), None
        self._family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self._listener = socket.create_server((host, port), family=self._family)
        self._listener.settimeout(0.1)
        self.port = self._listener.getsockname()[1]
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        """Ends the session in progress, if any, and stops serving."""
        self._stop.set()
        if self._conn is not None:
            try:
                self._conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        self._thread.join(RUN_TIMEOUT)
        self._listener.close()

    def verbs(self):
        """The verbs of the command lines received, in upper case."""
        return [line.split(b" ")[0].strip().upper().decode(errors="replace")
                for line in self.lines]

    # ------------------------------------------------------------ plumbing

    def _run(self):
        """Accepts and serves sessions one after another until close()."""
        while not self._stop.is_set():
            try:
                conn, _ = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            self._conn = conn
            conn.settimeout(RUN_TIMEOUT)
            # Replies go at once, as a real server's do: with Nagle on, a
            # 226 after a 150 waited for the client's delayed ACK (40 ms).
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            state = {"pending": None, "confused": False, "renaming": None, "user": None,
                     "rest": 0, "hash": self._hash_algorithms()[1], "prot": False}
            try:
                with conn:
                    self._session(conn, state)
            except OSError:
                pass
            finally:
                if isinstance(state["pending"], socket.socket):
                    state["pending"].close()
                self._conn = None

    def _fires(self, step):
        """True, once, when step is the step that misbehaves."""
        if self.step == "fired" and self.then:
            (self.step, self.behaviour), self.then = self.then, None
        if step is None or step != self.step:
            return False
        if self.skip > 0:
            self.skip -= 1
            return False
        self.step = "fired"
        return True

    def _send(self, conn, data):
        """Sends data on conn, a byte at a time with split."""
        if not self.split:
            conn.sendall(data)
            return
        for i in range(len(data)):
            conn.sendall(data[i:i + 1])
            time.sleep(0.002)

    def _pause(self, seconds):
        """Waits seconds, or less when the server is closed."""
        self._stop.wait(seconds)

    def _reply(self, conn, step, text=None):
        """Sends the reply of step (text, or its usual one), or misbehaves
        there; False when the session is over."""
        text = text or NORMAL[step]
        code = text[:3].encode()
        if not self._fires(step):
            if step in self.pauses:
                self._send(conn, code + b"-wait for it\r\n")
                self._pause(self.pauses.pop(step))
            self._send(conn, text.encode() + b"\r\n")
            return True
        b = self.behaviour
        if b == "421":
            self._send(conn, b"421 Service not available, closing control connection.\r\n")
            return False
        if b == "garbage":
            self._send(conn, b"\x00\xffgarbage, no reply code here\r\n")
            self._confused = True
            return True
        if b == "overlong":
            self._send(conn, code + b"-" + b"x" * 3000 + b"\r\n" + text.encode() + b" " +
                       b"y" * 3000 + b"\r\n")
            return True
        if b == "stall":  # says nothing more until the client gives up
            self._drain(conn)
            return False
        if b == "control":
            self._send(conn, text[:4].encode() + b"\x1b[2J\x1b]0;owned\x07\rclear\r\n")
            return True
        if b == "endless":  # a multi-line reply that never reaches its last line
            while not self._stop.is_set():
                conn.sendall(code + b"-" + b"e" * 1000 + b"\r\n")
            return False
        if b == "slow":
            time.sleep(SLOW)
            self._send(conn, code + b"-taking my time\r\n")
            time.sleep(SLOW)
            self._send(conn, text.encode() + b"\r\n")
            return True
        return False  # close

    def _drain(self, conn):
        """Reads and drops whatever comes until the peer closes (bounded)."""
        deadline = time.monotonic() + RUN_TIMEOUT
        try:
            while time.monotonic() < deadline and conn.recv(65536):
                pass
        except OSError:
            pass

    # ------------------------------------------------------------ commands

    def _session(self, conn, state):
        """Serves one control connection until QUIT or the client leaves."""
        self._confused = False
        if not self._reply(conn, "greeting"):
            return
        reader = conn.makefile("rb")
        while not self._stop.is_set():
            line = reader.readline(4096)
            if not line:
                return
            self.lines.append(line)
            verb, _, arg = line.decode("latin-1").rstrip("\r\n").partition(" ")
            verb = verb.upper()
            if verb == "QUIT":
                self._send(conn, b"221 Goodbye.\r\n")
                return
            if self._confused:
                self._send(conn, b"500 Command not understood.\r\n")
            elif verb == "AUTH" and self._tls is not None and "AUTH" not in self.refuse:
                self._send(conn, b"234 AUTH TLS successful.\r\n")
                conn = self._conn = self._tls.wrap_socket(conn, server_side=True)
                reader = conn.makefile("rb")
            elif verb in self.refuse or "%s %s" % (verb, arg) in self.refuse:
                refusal = self.refuse.get("%s %s" % (verb, arg), self.refuse.get(verb))
                self._send(conn, refusal.encode() + b"\r\n")
            elif not self._command(conn, state, verb, arg):
                return

    def _command(self, conn, state, verb, arg):
        """Answers one command; False when the session is over."""
        files = self.files
        if verb == "USER":
            state["user"] = arg
        elif verb == "PASS" and (state["user"], arg) != (self.user, self.password):
            return self._reply(conn, "PASS", "530 Login incorrect.")
        elif verb in ("PASV", "EPSV", "PORT", "EPRT"):
            return self._data_command(conn, state, verb, arg)
        elif verb == "REST":
            if not arg.isdigit():
                return self._reply(conn, verb, "501 REST needs a byte count.")
            state["rest"] = int(arg)
            return self._reply(conn, verb, "350 Restarting at %s." % arg)
        elif verb == "PROT" and self._tls is not None:
            state["prot"] = arg.upper() == "P"
            return self._reply(conn, verb, "200 Protection set.")
        elif verb == "PBSZ" and self._tls is not None:
            return self._reply(conn, verb, "200 PBSZ=0")
        elif verb in ("RETR", "STOR", "NLST", "LIST"):
            pending, state["pending"] = state["pending"], None
            rest, state["rest"] = state["rest"], 0
            protect = self._tls if state["prot"] else None
            return self._transfer(conn, verb, arg, pending, rest, protect)
        elif verb == "PWD":
            return self._reply(conn, verb, '257 "/" is the current directory.')
        elif verb in ("SIZE", "MDTM"):
            if arg not in files:
                return self._reply(conn, verb, "550 No such file.")
            return self._reply(conn, verb, "213 %d" % len(files[arg]) if verb == "SIZE" else
                               "213 20260101000000")
        elif verb == "DELE":
            gone = files.pop(arg, None) is not None
            return self._reply(conn, verb, "250 Deleted." if gone else "550 No such file.")
        elif verb == "RNFR":
            state["renaming"] = arg if arg in files else None
            return self._reply(conn, verb, "350 Ready for RNTO." if arg in files else
                               "550 No such file.")
        elif verb == "RNTO":
            source, state["renaming"] = state["renaming"], None
            if source is None:
                return self._reply(conn, verb, "503 RNFR first.")
            if self.no_overwrite and arg in files:
                return self._reply(conn, verb, "553 %s exists; not overwritten." % arg)
            files[arg] = files.pop(source)  # done before a fault at RNTO's reply
        elif self.feat is not None and verb in ("FEAT", "OPTS", "HASH") + tuple(X_HASHES):
            return self._digest_command(conn, state, verb, arg)
        elif verb not in NORMAL:
            return self._reply(conn, verb, "502 Command not implemented.")
        return self._reply(conn, verb)

    def _hash_algorithms(self):
        """The algorithms HASH lists, and the one it starts with."""
        line = next((f for f in self.feat or [] if f.startswith("HASH ")), "HASH ")
        names = line[5:].split(";")
        return [n.rstrip("*") for n in names], next((n[:-1] for n in names if n.endswith("*")), None)

    def _digest_command(self, conn, state, verb, arg):
        """FEAT, OPTS HASH, HASH or an X command, as feat lists them."""
        listed = self.feat + [f.split()[0] for f in self.feat]
        if verb == "FEAT":
            lines = "".join(" %s\r\n" % f for f in self.feat)
            return self._reply(conn, verb, "211-Features:\r\n%s211 End" % lines)
        if verb == "OPTS" and arg.upper().startswith("HASH ") and "HASH" in listed and \
                arg[5:] in self._hash_algorithms()[0]:
            state["hash"] = arg[5:]
            return self._reply(conn, verb, "200 %s" % arg[5:])
        if verb not in listed or verb == "OPTS":
            return self._reply(conn, verb, "502 Command not implemented.")
        if arg not in self.files:
            return self._reply(conn, verb, "550 No such file.")
        algorithm = state["hash"] if verb == "HASH" else X_HASHES[verb]
        digest = DIGESTS[algorithm](self.files[arg])
        if verb == "HASH":
            return self._reply(conn, verb, "213 %s 0-%d %s %s" % (
                algorithm, len(self.files[arg]), digest, arg))
        return self._reply(conn, verb, "250 %s" % digest)

    def _data_command(self, conn, state, verb, arg):
        """PASV, EPSV, PORT or EPRT: the next transfer's data connection."""
        if isinstance(state["pending"], socket.socket):
            state["pending"].close()
        state["pending"] = None
        if verb in ("PASV", "EPSV"):
            listener = socket.create_server((self.host, 0), family=self._family)
            listener.settimeout(RUN_TIMEOUT)
            state["pending"] = listener
            port = listener.getsockname()[1]
            text = ("227 Entering Passive Mode (127,0,0,1,%d,%d)." % (port >> 8, port & 255)
                    if verb == "PASV" else "229 Entering Extended Passive Mode (|||%d|)" % port)
            return self._reply(conn, verb, text)
        state["pending"] = _active_address(verb, arg)
        if state["pending"] is None:
            return self._reply(conn, verb, "500 %s to loopback only." % verb)
        return self._reply(conn, verb)

    # ------------------------------------------------------------ transfers

    def _transfer(self, conn, verb, arg, pending, rest=0, protect=None):
        """RETR, STOR, NLST or LIST on the pending data connection (a STOR
        writing from byte rest; under TLS with protect); False when the
        session is over."""
        if verb == "RETR" and arg not in self.files:
            return self._reply(conn, verb, "550 No such file.")
        if pending is None:
            return self._reply(conn, verb, "425 Use PASV, EPSV, PORT or EPRT first.")
        text = None
        if verb == "RETR" and (self.announce or (self.announce is None and self.truncate is not None)):
            text = "150 Opening BINARY mode data connection for %s (%d bytes)." % (
                arg, len(self.files[arg]))
        if not self._reply(conn, "transfer", text):
            return False
        if self._confused:
            return True
        if isinstance(pending, socket.socket):
            with pending:
                data, _ = pending.accept()
        else:
            data = socket.create_connection(pending, timeout=RUN_TIMEOUT)
        data.settimeout(RUN_TIMEOUT)
        if protect is not None:
            data = protect.wrap_socket(data, server_side=True)
        fault = self.behaviour if self._fires("data") else None
        with data:
            if verb == "STOR":
                done = self._receive(conn, data, arg, fault, rest)
            elif verb == "RETR":
                body = self.files[arg]
                done = self._send_data(conn, data, body[:self.truncate], fault)
            else:
                done = self._send_data(conn, data, self._listing(verb), fault, listing=True)
            if protect is not None and done is True:
                self._end_tls(data, verb)
        if done is not True:
            return done == "go on"
        return self._reply(conn, "final")

    def _end_tls(self, data, verb):
        """Ends a protected data connection as tls_end says."""
        if self.tls_end == "cut" and verb == "RETR":
            return  # closed without close_notify
        if self.tls_end == "chatter" and verb == "STOR":
            # On a copy of the descriptor: the connection outlives this step.
            raw = socket.socket(fileno=os.dup(data.fileno()))
            raw.settimeout(RUN_TIMEOUT)

            def chatter():
                with raw:
                    try:
                        while not self._stop.is_set():
                            raw.sendall(PAYLOAD)
                    except OSError:
                        pass
            threading.Thread(target=chatter, daemon=True).start()
            return
        try:
            data.unwrap()
        except (OSError, ValueError):
            pass

    def _listing(self, verb):
        """The lines of NLST or LIST, each a bytes object."""
        lines = []
        for name in sorted(self.files):
            raw = name.encode("latin-1") if isinstance(name, str) else name
            if verb == "LIST":
                raw = b"-rw-r--r-- 1 ftp ftp %d Jan 01 00:00 " % len(self.files[name]) + raw
            lines.append(raw + b"\r\n")
        return lines

    def _send_data(self, conn, data, body, fault, listing=False):
        """Sends body (bytes, or a listing's lines) on data; True when the
        final reply follows, else what _data_fault says."""
        if fault == "endless":
            try:
                while not self._stop.is_set():
                    data.sendall(PAYLOAD)
            except OSError:
                return True
        if listing:
            names = sorted(self.files)
            at = len(body)
            if self.list_pause and self.list_pause[0] in names:
                at = names.index(self.list_pause[0]) + 1
            try:
                data.sendall(b"".join(body[:at]))
                if at < len(body):
                    self._pause(self.list_pause[1])
                    self.list_pause = None
                data.sendall(b"".join(body[at:]))
            except OSError:  # the client gave up on it
                self._send(conn, b"426 Connection closed; transfer aborted.\r\n")
                return "go on"
            return True
        half = len(body) // 2
        data.sendall(body[:half])
        if fault == "stall":
            self._drain(data)
            return False
        if fault in FAULTS:
            return self._data_fault(conn, data, fault)
        if fault == "slow":
            time.sleep(SLOW)
        data.sendall(body[half:])
        return True

    def _receive(self, conn, data, name, fault, rest=0):
        """Takes a STOR's bytes into files[name] from byte rest on, or
        breaks off half-way at a fault; True when the final reply follows,
        else what _data_fault says."""
        if fault == "stall":  # takes nothing: the client's buffers fill and stay full
            try:
                conn.recv(1)  # until the client gives up on the session
            except OSError:
                pass
            return False
        half, received = len(PAYLOAD) // 2, bytearray()
        while not (fault in FAULTS and len(received) >= half):
            chunk = data.recv(65536)
            if not chunk:
                break
            received += chunk
            if fault == "slow" and len(received) >= half:
                time.sleep(SLOW)
                fault = None
        kept = self.files.get(name, b"")[:rest]
        self.files[name] = kept + b"\0" * (rest - len(kept)) + bytes(received)
        if fault in FAULTS:
            self.partial = bytes(received)
            return self._data_fault(conn, data, fault)
        self.stored = bytes(received)
        self.files[name] = STORE_FAULTS.get(fault, bytes)(self.files[name])
        return True

    def _data_fault(self, conn, data, fault):
        """The data connection breaks off half-way (a reset)."""
        data.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        data.close()
        if fault == "421":
            self._send(conn, b"421 Service not available, closing control connection.\r\n")
            return False
        if fault == "close":
            return False
        self._send(conn, b"426 Connection closed; transfer aborted.\r\n")
        return "go on"


def _tls_context():
    """A server context with the test certificate for 127.0.0.1."""
    import ftpservers
    keys = ftpservers.pki().good
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(keys.cert, keys.key)
    return context


def _active_address(verb, arg):
    """The (host, port) of a PORT or EPRT argument, or None when it is
    malformed or not a loopback address."""
    try:
        if verb == "PORT":
            fields = [int(f) for f in arg.split(",")]
            host, port = ".".join(str(f) for f in fields[:4]), fields[4] * 256 + fields[5]
        else:
            fields = arg[1:].split(arg[:1])
            host, port = fields[1], int(fields[2])
        if ipaddress.ip_address(host).is_loopback:
            return host, port
    except (ValueError, IndexError):
        pass
    return None
