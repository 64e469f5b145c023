#!/usr/bin/env python3
"""A small CIMD2 SMS centre for tests (standard library only).

Listens for clients, answers login (01), submit (03), alive (40) and logout (02), and sends
deliver message (20) and deliver status report (23) when told, also while a submit waits
for its answer. Told through a JSON-lines control channel; prints one JSON line when ready:
    {"ready": true, "pid": 4242, "listen": "127.0.0.1:40001", "control": "127.0.0.1:40002"}

    cimd_centre.py --listen 127.0.0.1:0 --control 127.0.0.1:0 --login user:password
                   [--lifetime SECONDS (default 600, 0 = never)] [--stdin-ends]

Injections go to the newest open connection (a client's, or one made with "connect").
Records carry "conn", the connection's number; packet numbers of the centre's own
operations are even and start at 2 on each connection.

Control commands (one JSON object per line, one answer line each, "ok" in every answer):
    set             login_error, submit_error, alive_error (codes or null), no_response,
                    drop_on_submit, bad_checksum, malformed_answer (bools), delay_ms,
                    flood_ms (alive operations back to back before a submit's answer)
    inject_mo       sender, recipient, text | binary (hex), udh, dcs, pid, alpha (bool),
                    wait_ms: sends 20 and waits for the client's answer
    inject_dn       destination, timestamp, status, error: sends 23 likewise
    during_submit   items: [{"kind": "mo"|"dn", ...}]: sent when the next submit arrives,
                    before it is answered
    raw             hex: bytes sent as they are
    connect         host, port: the centre opens a connection to a client's listener
    close           closes every connection
    submits, answers, frames, logins: what was seen so far
    wait            submits, answers, logins (counts), timeout_ms
"""
import argparse
import json
import os
import socket
import sys
import threading
import time

STX, ETX, TAB = b"\x02", b"\x03", b"\t"

# GSM default alphabet position -> (character, special combination or None for itself).
ALPHABET = [
    ("@", "_Oa"), ("\u00a3", "_L-"), ("$", None), ("\u00a5", "_Y-"), ("\u00e8", "_e`"), ("\u00e9", "_e'"),
    ("\u00f9", "_u`"), ("\u00ec", "_i`"), ("\u00f2", "_o`"), ("\u00c7", "_C,"), ("\n", None), ("\u00d8", "_O/"),
    ("\u00f8", "_o/"), ("\r", None), ("\u00c5", "_A*"), ("\u00e5", "_a*"), ("\u0394", "_gd"), ("_", "_--"),
    ("\u03a6", "_gf"), ("\u0393", "_gg"), ("\u039b", "_gl"), ("\u03a9", "_go"), ("\u03a0", "_gp"),
    ("\u03a8", "_gi"), ("\u03a3", "_gs"), ("\u0398", "_gt"), ("\u039e", "_gx"), (None, "_XX"),
    ("\u00c6", "_AE"), ("\u00e6", "_ae"), ("\u00df", "_ss"), ("\u00c9", "_E'"),
] + [(chr(c), None) for c in range(0x20, 0x40)] + [("\u00a1", "_!!")] + [(chr(c), None) for c in range(0x41, 0x5b)] + [
    ("\u00c4", '_A"'), ("\u00d6", '_O"'), ("\u00d1", "_N~"), ("\u00dc", '_U"'), ("\u00a7", "_so"), ("\u00bf", "_??"),
] + [(chr(c), None) for c in range(0x61, 0x7b)] + [
    ("\u00e4", '_a"'), ("\u00f6", '_o"'), ("\u00f1", "_n~"), ("\u00fc", '_u"'), ("\u00e0", "_a`"),
]
ALPHABET[0x24] = ("\u00a4", "_ox")
EXTENSION = {0x0A: "\f", 0x14: "^", 0x28: "{", 0x29: "}", 0x2F: "\\", 0x3C: "[", 0x3D: "~", 0x3E: "]",
             0x40: "|", 0x65: "\u20ac"}
COMBOS = {form: code for code, (_, form) in enumerate(ALPHABET) if form}
CODE_OF = {ch: code for code, (ch, _) in enumerate(ALPHABET) if ch is not None}
EXT_CODE_OF = {ch: code for code, ch in EXTENSION.items()}


def form_of(code):
    ch, form = ALPHABET[code]
    return form if form else ch


def encode_text(text):
    out = []
    for ch in text:
        if ch in CODE_OF:
            out.append(form_of(CODE_OF[ch]))
        elif ch in EXT_CODE_OF:
            out.append("_XX" + form_of(EXT_CODE_OF[ch]))
        else:
            raise ValueError("not in the CIMD2 set: %r" % ch)
    return "".join(out)


def decode_text(value):
    codes, i = [], 0
    while i < len(value):
        if value[i] == "_" and value[i:i + 3] in COMBOS:
            codes.append(COMBOS[value[i:i + 3]])
            i += 3
            continue
        codes.append(CODE_OF.get(value[i], value[i]))
        i += 1
    out, escape = [], False
    for c in codes:
        if escape:
            escape = False
            out.append(EXTENSION.get(c, ALPHABET[c][0] or " ") if isinstance(c, int) else c)
        elif c == 0x1B:
            escape = True
        else:
            out.append(ALPHABET[c][0] if isinstance(c, int) else c)
    return "".join(out)


def checksum(data):
    return sum(data) & 0xFF


def encode_packet(op, number, params, with_checksum=True, wrong_checksum=False):
    body = STX + b"%02d:%03d" % (op, number) + TAB
    for code, value in params:
        body += b"%03d:" % code + (value.encode("latin-1") if isinstance(value, str) else value) + TAB
    if with_checksum:
        cs = checksum(body) ^ (0x55 if wrong_checksum else 0)
        body += b"%02X" % cs
    return body + ETX


def parse_packet(data):
    """(op, number, params list, error text or None)."""
    inner = data[1:-1]
    try:
        op, number = int(inner[0:2]), int(inner[3:6])
    except ValueError:
        return None, None, [], "bad header"
    fields = inner.split(TAB)
    tail = fields[-1]
    if tail:
        if len(tail) != 2 or checksum(data[:len(data) - 3]) != int(tail, 16):
            return op, number, [], "bad checksum"
    params = []
    for f in fields[1:-1]:
        if len(f) < 4 or f[3:4] != b":" or not f[:3].isdigit():
            return op, number, params, "bad parameter"
        params.append((int(f[:3]), f[4:].decode("latin-1")))
    return op, number, params, None


class Connection:
    def __init__(self, centre, sock, cid):
        self.centre, self.sock, self.cid = centre, sock, cid
        self.number = 0  # even numbers for the centre's own operations
        self.lock = threading.Lock()
        self.closed = False

    def send(self, data):
        with self.lock:
            self.centre.record(self.cid, ">>", data)
            try:
                self.sock.sendall(data)
            except OSError:
                self.closed = True

    def next_number(self):
        self.number = (self.number + 2) % 256
        return self.number

    def close(self):
        self.closed = True
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()


class Centre:
    def __init__(self, user, password):
        self.user, self.password = user, password
        self.cond = threading.Condition()
        self.settings = {"login_error": None, "submit_error": None, "alive_error": None, "no_response": False,
                         "drop_on_submit": False, "bad_checksum": False, "malformed_answer": False, "delay_ms": 0,
                         "flood_ms": 0}
        self.submits, self.answers, self.frames, self.logins = [], [], [], []
        self.during_submit = []
        self.connections = []
        self.stamp = 0

    def record(self, cid, direction, data):
        with self.cond:
            self.frames.append({"conn": cid, "dir": direction, "hex": data.hex()})

    def newest(self):
        with self.cond:
            live = [c for c in self.connections if not c.closed]
            return live[-1] if live else None

    def serve(self, sock):
        with self.cond:
            conn = Connection(self, sock, len(self.connections) + 1)
            self.connections.append(conn)
        threading.Thread(target=self.read_loop, args=(conn,), daemon=True).start()
        return conn

    def read_loop(self, conn):
        buf = b""
        while not conn.closed:
            try:
                chunk = conn.sock.recv(65536)
            except OSError:
                break
            if not chunk:
                break
            buf += chunk
            while True:
                start = buf.find(STX)
                if start < 0:
                    buf = b""
                    break
                end = buf.find(ETX, start)
                if end < 0:
                    buf = buf[start:]
                    break
                data, buf = buf[start:end + 1], buf[end + 1:]
                self.record(conn.cid, "<<", data)
                threading.Thread(target=self.handle, args=(conn, data), daemon=True).start() \
                    if data[1:3] == b"03" else self.handle(conn, data)
        conn.closed = True
        with self.cond:
            self.cond.notify_all()

    def answer(self, conn, op, number, params):
        s = self.settings
        conn.send(encode_packet(op + 50, number, params, wrong_checksum=s["bad_checksum"]))

    def handle(self, conn, data):
        op, number, params, error = parse_packet(data)
        s = self.settings
        if error:
            if op is not None and op < 50:
                conn.send(encode_packet(op + 50, number, [(900, "2")]))
            return
        if op >= 50:
            with self.cond:
                self.answers.append({"conn": conn.cid, "op": op, "number": number,
                                     "params": {"%03d" % c: v for c, v in params}})
                self.cond.notify_all()
            return
        p = dict(params)
        if op == 1:
            ok = p.get(10) == self.user and p.get(11) == self.password
            with self.cond:
                self.logins.append({"user": p.get(10), "ok": ok})
                self.cond.notify_all()
            if s["login_error"] is not None:
                self.answer(conn, op, number, [(900, str(s["login_error"]))])
            else:
                self.answer(conn, op, number, [] if ok else [(900, "100"), (901, "Invalid login")])
        elif op == 3:
            self.on_submit(conn, number, params)
        elif op == 40:
            if not s["no_response"]:
                self.answer(conn, op, number, [(900, str(s["alive_error"]))] if s["alive_error"] else [])
        elif op == 2:
            self.answer(conn, op, number, [])
            conn.close()
        else:
            conn.send(encode_packet(98, number, [(900, "1")]))

    def on_submit(self, conn, number, params):
        p = dict(params)
        entry = {"number": number, "params": {"%03d" % c: v for c, v in params}}
        if 33 in p:
            entry["text"] = decode_text(p[33])
        if 27 in p:
            entry["alpha"] = decode_text(p[27])
        with self.cond:
            self.submits.append(entry)
            pending, self.during_submit = self.during_submit, []
            self.cond.notify_all()
        for item in pending:
            self.inject(conn, item)
        s = self.settings
        if s["drop_on_submit"]:
            conn.close()
            return
        if s["flood_ms"]:
            # Alive operations back to back, answered or not, before the submit's answer.
            end = time.time() + s["flood_ms"] / 1000.0
            while time.time() < end and not conn.closed:
                conn.send(b"".join(encode_packet(40, conn.next_number(), []) for _ in range(50)))
        if s["delay_ms"]:
            time.sleep(s["delay_ms"] / 1000.0)
        if s["no_response"]:
            return
        if s["submit_error"] is not None:
            self.answer(conn, 3, number, [(900, str(s["submit_error"])), (901, "refused")])
            return
        with self.cond:
            self.stamp += 1
            stamp = time.strftime("%y%m%d%H%M", time.gmtime()) + "%02d" % (self.stamp % 60)
        entry["timestamp"] = stamp
        if s["malformed_answer"]:
            self.answer(conn, 3, number, [(21, p.get(21, "")), (60, "notatime")])
            return
        self.answer(conn, 3, number, [(21, p.get(21, "")), (60, stamp)])

    def inject(self, conn, item, wait_ms=5000):
        number = conn.next_number()
        if item.get("kind", "mo") == "dn":
            params = [(21, item["destination"]), (60, item["timestamp"]), (61, str(item.get("status", 4)))]
            if item.get("error") is not None:
                params.append((62, str(item["error"])))
            if item.get("originator"):
                params.append((23, item["originator"]))
            op = 23
        else:
            params = [(21, item.get("recipient", "1234"))]
            if item.get("alpha"):
                params.append((27, encode_text(item["sender"])))
            else:
                params.append((23, item.get("sender", "4599")))
            if item.get("dcs") is not None:
                params.append((30, str(item["dcs"])))
            if item.get("udh"):
                params.append((32, item["udh"]))
            if item.get("binary") is not None:
                params.append((34, item["binary"]))
            else:
                params.append((33, encode_text(item.get("text", ""))))
            if item.get("pid"):
                params.append((52, str(item["pid"])))
            params.append((60, time.strftime("%y%m%d%H%M%S", time.gmtime())))
            op = 20
        conn.send(encode_packet(op, number, params, with_checksum=item.get("checksum", True)))
        deadline = time.time() + wait_ms / 1000.0
        with self.cond:
            while True:
                for a in self.answers:
                    if a["conn"] == conn.cid and a["number"] == number and a["op"] in (op + 50, 98):
                        return a
                left = deadline - time.time()
                if left <= 0 or conn.closed:
                    return None
                self.cond.wait(left)

    def wait(self, req):
        deadline = time.time() + min(req.get("timeout_ms", 5000), 120000) / 1000.0
        with self.cond:
            while True:
                done = all(len(getattr(self, k)) >= req[k] for k in ("submits", "answers", "logins") if k in req)
                left = deadline - time.time()
                if done or left <= 0:
                    return {"timed_out": not done, "submits": len(self.submits), "answers": len(self.answers),
                            "logins": len(self.logins)}
                self.cond.wait(left)

    def command(self, req):
        cmd = req.get("cmd")
        if cmd == "set":
            for k, v in req.items():
                if k == "cmd":
                    continue
                if k not in self.settings:
                    return {"ok": False, "error": "unknown setting " + k}
                self.settings[k] = v
            return {"ok": True}
        if cmd in ("inject_mo", "inject_dn"):
            conn = self.newest()
            if not conn:
                return {"ok": False, "error": "no connection"}
            item = dict(req, kind="mo" if cmd == "inject_mo" else "dn")
            return {"ok": True, "answer": self.inject(conn, item, req.get("wait_ms", 5000))}
        if cmd == "during_submit":
            with self.cond:
                self.during_submit = list(req.get("items", []))
            return {"ok": True}
        if cmd == "raw":
            conn = self.newest()
            if not conn:
                return {"ok": False, "error": "no connection"}
            conn.send(bytes.fromhex(req["hex"]))
            return {"ok": True}
        if cmd == "connect":
            sock = socket.create_connection((req["host"], int(req["port"])), timeout=5)
            sock.settimeout(None)
            self.serve(sock)
            return {"ok": True}
        if cmd == "close":
            for c in list(self.connections):
                if not c.closed:
                    c.close()
            return {"ok": True}
        if cmd in ("submits", "answers", "frames", "logins"):
            with self.cond:
                return {"ok": True, cmd: list(getattr(self, cmd))}
        if cmd == "wait":
            return dict(self.wait(req), ok=True)
        return {"ok": False, "error": "unknown cmd %r" % cmd}


def control_client(centre, sock):
    f = sock.makefile("rwb")
    for line in f:
        try:
            req = json.loads(line)
            reply = centre.command(req)
        except Exception as e:  # a bad request must not end the centre
            reply = {"ok": False, "error": str(e)}
        f.write((json.dumps(reply, ensure_ascii=False) + "\n").encode())
        f.flush()


def listen(address):
    host, port = address.rsplit(":", 1)
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((host, int(port)))
    s.listen(16)
    return s


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--listen", default="127.0.0.1:0")
    ap.add_argument("--control", default="127.0.0.1:0")
    ap.add_argument("--login", default="user:password")
    ap.add_argument("--lifetime", type=float, default=600)
    ap.add_argument("--stdin-ends", action="store_true", help="also stop when standard input closes")
    args = ap.parse_args()
    user, _, password = args.login.partition(":")
    centre = Centre(user, password)
    server, control = listen(args.listen), listen(args.control)

    def accept(sock, fn):
        while True:
            c, _ = sock.accept()
            fn(c)

    threading.Thread(target=accept, args=(server, centre.serve), daemon=True).start()
    threading.Thread(target=accept, args=(control, lambda c: threading.Thread(
        target=control_client, args=(centre, c), daemon=True).start()), daemon=True).start()
    print(json.dumps({"ready": True, "pid": os.getpid(), "listen": "%s:%d" % server.getsockname(),
                      "control": "%s:%d" % control.getsockname()}), flush=True)
    # Ends with its lifetime (0: never), on SIGTERM, or with --stdin-ends when the test that
    # started it closes its standard input.
    end_now = threading.Event()

    def stdin_watch():
        sys.stdin.read()
        end_now.set()

    if args.stdin_ends:
        threading.Thread(target=stdin_watch, daemon=True).start()
    end_now.wait(args.lifetime if args.lifetime > 0 else None)


if __name__ == "__main__":
    main()
