#!/usr/bin/python3
"""Asks the modem simulator's control channel and prints what the test wants to know.

sim_query.py PORT REQUEST_JSON [EXPRESSION]

Without EXPRESSION the answer is printed as JSON. EXPRESSION is evaluated with the answer
as `a` and `g(pdu_hex)`, the SMS-SUBMIT decoded by python3-gammu (run with /usr/bin/python3),
`link(pdus)`, the decoded submits grouped into whole messages by gammu, and `info(group)`,
what gammu reads in a whole message, and printed (lists one item per line).
"""
import json
import socket
import sys


def ask(port, request):
    with socket.create_connection(("127.0.0.1", int(port)), timeout=130) as s:
        s.sendall((json.dumps(request) + "\n").encode())
        data = b""
        while not data.endswith(b"\n"):
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    return json.loads(data.decode("utf-8", "replace"))


def g(pdu_hex):
    import gammu
    d = gammu.DecodePDU(bytes.fromhex(pdu_hex), SMSC=True)
    return d


def link(pdus):
    import gammu
    return gammu.LinkSMS([[g(p)] for p in pdus])


def info(group):
    import gammu
    return gammu.DecodeSMS(group)


def main():
    answer = ask(sys.argv[1], json.loads(sys.argv[2]))
    if len(sys.argv) < 4:
        print(json.dumps(answer))
        return
    value = eval(sys.argv[3], {"a": answer, "g": g, "link": link, "info": info, "len": len})
    if isinstance(value, (list, tuple)):
        for item in value:
            print(item)
    else:
        print(value)


if __name__ == "__main__":
    main()
