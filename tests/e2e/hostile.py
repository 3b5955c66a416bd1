"""A one-session FTP server on 127.0.0.1 that misbehaves once, at a chosen
step and in a chosen manner, for the tests of what cvxfer does when a server
fails, stalls or lies."""
import random
import socket
import threading
import time

PAYLOAD = random.Random(7).randbytes(600 * 1024)  # more than one receive chunk
SLOW = 1.0          # seconds; well inside the wait for a continuation line
RUN_TIMEOUT = 40    # a whole session, even with every slow step

FAULTS = ["421", "close", "garbage"]

NORMAL = {"greeting": "220 hostile test server ready.", "USER": "331 Password required.",
          "PASS": "230 Logged in.", "TYPE": "200 Type set.", "PORT": "200 PORT command ok.",
          "transfer": "150 Opening data connection.", "final": "226 Transfer complete."}


class HostileServer:
    """A one-session FTP server on 127.0.0.1 that misbehaves once: at step,
    in the manner of behaviour. After garbage it answers every command with
    500, like a server that has lost track of the conversation."""

    def __init__(self, step, behaviour, files=None):
        """files, when given, is a dict name -> bytes that STOR, SIZE, RNFR,
        RNTO and DELE work on (share it between servers to outlive one)."""
        self.step, self.behaviour = step, behaviour
        self.files = files
        self.stored = None      # the bytes of a completed STOR
        self.partial = None     # the bytes of a STOR that was cut off
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(RUN_TIMEOUT)
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def close(self):
        self.thread.join(RUN_TIMEOUT)
        self.listener.close()

    # One reply at a step: None when the session is over.
    def _reply(self, conn, step, text=None):
        text = text or NORMAL[step]
        if step != self.step:
            conn.sendall(text.encode() + b"\r\n")
            return True
        if self.behaviour == "421":
            conn.sendall(b"421 Service not available, closing control connection.\r\n")
            return None
        if self.behaviour == "close":
            return None
        if self.behaviour == "garbage":
            conn.sendall(b"\x00\xffgarbage, no reply code here\r\n")
            self.confused = True
            return True
        if self.behaviour == "overlong":
            code = text[:3]
            conn.sendall(code.encode() + b"-" + b"x" * 3000 + b"\r\n" +
                         text.encode() + b" " + b"y" * 3000 + b"\r\n")
            return True
        if self.behaviour == "stall":
            # Says nothing more until the client gives up on the connection.
            self._wait_for_close(conn)
            return None
        if self.behaviour == "control":
            conn.sendall(text[:4].encode() + b"\x1b[2J\x1b]0;owned\x07\rclear" + b"\r\n")
            return True
        if self.behaviour == "endless":
            # A multi-line reply that never reaches its last line.
            code = text[:3].encode()
            try:
                while True:
                    conn.sendall(code + b"-" + b"e" * 1000 + b"\r\n")
            except OSError:
                return None
        if self.behaviour == "slow":
            code = text[:3]
            time.sleep(SLOW)
            conn.sendall(code.encode() + b"-taking my time\r\n")
            time.sleep(SLOW)
            conn.sendall(text.encode() + b"\r\n")
            return True
        raise AssertionError(self.behaviour)

    def _serve(self):
        self.confused = False
        self.lines = []
        try:
            conn, _ = self.listener.accept()
        except OSError:
            return
        conn.settimeout(RUN_TIMEOUT)
        data_listener = None
        active_target = None
        with conn:
            if not self._reply(conn, "greeting"):
                return
            reader = conn.makefile("rb")
            while True:
                line = reader.readline()
                if not line:
                    return
                self.lines.append(line)
                words = line.decode(errors="replace").strip().split(" ", 1)
                verb = words[0].upper()
                arg = words[1] if len(words) > 1 else ""
                if verb == "QUIT":
                    conn.sendall(b"221 Goodbye.\r\n")
                    return
                if self.confused:
                    conn.sendall(b"500 Command not understood.\r\n")
                    continue
                if verb in ("USER", "PASS", "TYPE"):
                    if not self._reply(conn, verb):
                        return
                elif verb == "PASV":
                    data_listener = socket.create_server(("127.0.0.1", 0))
                    data_listener.settimeout(RUN_TIMEOUT)
                    port = data_listener.getsockname()[1]
                    text = "227 Entering Passive Mode (127,0,0,1,%d,%d)." % (port >> 8, port & 255)
                    if not self._reply(conn, "PASV", text):
                        return
                elif verb == "PORT":
                    fields = [int(f) for f in arg.split(",")]
                    host = ".".join(str(f) for f in fields[:4])
                    assert host == "127.0.0.1", host
                    active_target = (host, fields[4] * 256 + fields[5])
                    if not self._reply(conn, "PORT"):
                        return
                elif verb in ("RETR", "STOR"):
                    self.current = arg
                    if not self._transfer(conn, verb, data_listener, active_target):
                        return
                    data_listener = active_target = None
                elif self.files is not None and verb in ("SIZE", "DELE", "RNFR", "RNTO"):
                    if not self._file_command(conn, verb, arg):
                        return
                else:
                    conn.sendall(b"502 Command not implemented.\r\n")

    def _file_command(self, conn, verb, arg):
        """SIZE, DELE, RNFR and RNTO on self.files; RNTO is a step: the
        rename happens before its reply misbehaves."""
        if verb == "SIZE":
            reply = "213 %d" % len(self.files[arg]) if arg in self.files else "550 No such file."
        elif verb == "DELE":
            reply = "250 Deleted." if self.files.pop(arg, None) is not None else "550 No such file."
        elif verb == "RNFR":
            self.renaming = arg if arg in self.files else None
            reply = "350 Ready for RNTO." if self.renaming else "550 No such file."
        else:
            if self.renaming is None:
                reply = "503 RNFR first."
            else:
                self.files[arg] = self.files.pop(self.renaming)
                return self._reply(conn, "RNTO", "250 Renamed.") is not None
        conn.sendall(reply.encode() + b"\r\n")
        return True

    @staticmethod
    def _wait_for_close(conn):
        """Reads and drops whatever comes until the peer closes (bounded)."""
        deadline = time.monotonic() + RUN_TIMEOUT
        try:
            while time.monotonic() < deadline and conn.recv(65536):
                pass
        except OSError:
            pass

    def _open_data(self, data_listener, active_target):
        if data_listener is not None:
            data, _ = data_listener.accept()
            data_listener.close()
        else:
            data = socket.create_connection(active_target, timeout=RUN_TIMEOUT)
        data.settimeout(RUN_TIMEOUT)
        return data

    def _transfer(self, conn, verb, data_listener, active_target):
        if not self._reply(conn, "transfer"):
            return False
        if self.confused:
            return True
        data = self._open_data(data_listener, active_target)
        half = len(PAYLOAD) // 2
        with data:
            if verb == "RETR" and self.step == "data" and self.behaviour == "endless":
                try:
                    while True:
                        data.sendall(PAYLOAD)
                except OSError:
                    pass
                return self._reply(conn, "final") is not None
            if verb == "RETR" and self.step == "data" and self.behaviour == "stall":
                data.sendall(PAYLOAD[:half])
                self._wait_for_close(data)
                return False
            if verb == "STOR" and self.step == "data" and self.behaviour == "stall":
                # Takes nothing: the client's buffers fill and stay full.
                conn.settimeout(RUN_TIMEOUT)
                try:
                    conn.recv(1)  # until the client gives up on the session
                except OSError:
                    pass
                return False
            if verb == "RETR":
                data.sendall(PAYLOAD[:half])
                if self.step == "data" and self.behaviour in FAULTS:
                    return self._data_fault(conn, data)
                if self.step == "data" and self.behaviour == "slow":
                    time.sleep(SLOW)
                data.sendall(PAYLOAD[half:])
            else:
                received = bytearray()
                while len(received) < half or not (self.step == "data" and
                                                   self.behaviour in FAULTS):
                    chunk = data.recv(65536)
                    if not chunk:
                        break
                    received += chunk
                    if self.step == "data" and self.behaviour == "slow" and len(received) >= half:
                        time.sleep(SLOW)
                        self.behaviour = "slow-done"
                if self.step == "data" and self.behaviour in FAULTS:
                    self.partial = bytes(received)
                    return self._data_fault(conn, data)
                self.stored = bytes(received)
                if self.files is not None:
                    self.files[self.current] = self.stored
        return self._reply(conn, "final") is not None

    def _data_fault(self, conn, data):
        """The data connection breaks off half-way."""
        data.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        data.close()
        if self.behaviour == "421":
            conn.sendall(b"421 Service not available, closing control connection.\r\n")
            return False
        if self.behaviour == "close":
            return False
        conn.sendall(b"426 Connection closed; transfer aborted.\r\n")
        return True


