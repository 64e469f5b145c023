#!/usr/bin/env python3
"""Plays an SMS centre that connects to the gateway's UCP inbound port and delivers
operations 52 (messages) and 53 (notifications). The frames are built by the UCP
simulator's own code (PEERS_DIR/ucp-smsc-sim), not by the gateway's library.

Usage: ucp_mo_client.py PEERS_DIR HOST PORT JSON
JSON: a list of operations {"ot": "52", "fields": {"AdC": ..., "OAdC": ..., "Msg": ...}}, each
sent in turn; the answer frame of each is printed on a line of its own ("-" when none came
within 10 s), and the frames sent before them prefixed with "> ".
"""
import importlib.machinery
import importlib.util
import json
import os
import socket
import sys


def load_sim(peers):
    path = os.path.join(peers, "ucp-smsc-sim")
    loader = importlib.machinery.SourceFileLoader("ucp_smsc_sim", path)
    found = importlib.util.spec_from_loader("ucp_smsc_sim", loader)
    module = importlib.util.module_from_spec(found)
    loader.exec_module(module)
    return module


def read_frame(sock):
    data = b""
    while b"\x03" not in data:
        chunk = sock.recv(4096)
        if not chunk:
            return None
        data += chunk
    start = data.find(b"\x02")
    return data[start + 1:data.find(b"\x03", start)].decode("latin-1")


def main():
    peers, host, port, ops = sys.argv[1], sys.argv[2], int(sys.argv[3]), json.loads(sys.argv[4])
    sim = load_sim(peers)
    sock = socket.create_connection((host, port), timeout=10)
    for trn, op in enumerate(ops, 1):
        fields = dict.fromkeys(sim.FIELDS_5X, "")
        for key, value in op.get("fields", {}).items():
            fields[key] = sim.ira_hex(value[4:]) if isinstance(value, str) and value.startswith("IRA:") else value
        frame = sim.build(trn, "O", op.get("ot", "52"), [fields[k] for k in sim.FIELDS_5X])
        print("> " + frame, flush=True)
        sock.sendall(b"\x02" + frame.encode("latin-1") + b"\x03")
        try:
            answer = read_frame(sock)
        except socket.timeout:
            answer = None
        print(answer if answer is not None else "-", flush=True)
    sock.close()


if __name__ == "__main__":
    main()
