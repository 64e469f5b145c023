#!/usr/bin/python3
"""Cross-checks qarpdu against PDU coders written by others.

Every SMS-SUBMIT that qarpdu builds is decoded by python3-gammu and by the TPDU coder in
../shared/peers/simlib; SMS-DELIVER and SMS-STATUS-REPORT PDUs built by those peers are
decoded by qarpdu. Usage: peer_crosscheck.py QARPDU. Exit 0 when all agree, 1 on a
mismatch (each printed), 77 when python3-gammu is not installed.
"""

import datetime
import os
import pathlib
import subprocess
import sys

try:
    import gammu
except ImportError:
    print("python3-gammu is not installed (apt-get install python3-gammu)")
    sys.exit(77)

HERE = pathlib.Path(__file__).resolve()
PEERS = pathlib.Path(os.environ.get("QAR_PEERS_DIR", HERE.parents[3] / "shared" / "peers"))
sys.path.insert(0, str(PEERS))
from simlib import pdu as simpdu  # noqa: E402

QARPDU = sys.argv[1]
failures = []


def check(name, what, got, want):
    if got != want:
        failures.append("%s: %s is %r, expected %r" % (name, what, got, want))


def qarpdu(*args):
    return subprocess.run([QARPDU, *args], capture_output=True, text=True, timeout=20)


def gammu_text(d):
    # python-gammu pads 7-bit texts that hold extension characters with junk after a NUL.
    t = d["Text"]
    return t.split("\x00")[0] if isinstance(t, str) else t


GSM_ALL = ("@£$¥èéùìòÇ\nØøÅåΔ_ΦΓΛΩΠΨΣΘΞÆæßÉ !\"#¤%&'()*+,-./0123456789:;<=>?"
           "¡ABCDEFGHIJKLMNOPQRSTUVWXYZÄÖÑÜ§¿abcdefghijklmnopqrstuvwxyzäöñüà")
GSM_EXT = "^{}\\[~]|€"

# name, qarpdu arguments, expectations: text/data/udh/dcs/udl/srr/rp/vp/smsc/number/mr
SUBMITS = [
    ("vector", ["--to", "+447700900123", "--text", "hello"],
     dict(text="hello", dcs=0, udl=5, hex="0001010C91447700091032000005E8329BFD06", length=18)),
    ("gsm-specials", ["--to", "+447700900123", "--text", "Price: 5£ or 6€, {ok} [x] ~y~ |z| \\ ^ @home"],
     dict(text="Price: 5£ or 6€, {ok} [x] ~y~ |z| \\ ^ @home", dcs=0)),
    ("gsm-default-table", ["--to", "4477009", "--text", GSM_ALL[:100]], dict(text=GSM_ALL[:100], dcs=0)),
    ("gsm-default-table-2", ["--to", "4477009", "--text", GSM_ALL[100:] + GSM_EXT],
     dict(text=GSM_ALL[100:] + GSM_EXT, dcs=0)),
    ("gsm-160", ["--to", "012", "--text", "x" * 150 + "{}[]~"], dict(text="x" * 150 + "{}[]~", dcs=0, udl=160)),
    ("at-at-8", ["--to", "012", "--text", "abcdefg@"], dict(text="abcdefg@", dcs=0, udl=8)),
    ("ucs2-emoji", ["--to", "+12025550123", "--text", "Hi 😀 👍🏽 مرحبا"],
     dict(text="Hi 😀 👍🏽 مرحبا", dcs=8)),
    ("ucs2-cedilla", ["--to", "+12025550123", "--text", "ça va"], dict(text="ça va", dcs=8)),
    ("8bit-ports", ["--to", "+4917012345678", "--data", "0102FF00", "--udh", "060504158A0000"],
     dict(data="0102FF00", udh="060504158A0000", dcs=4, udl=11)),
    ("wap-push", ["--to", "+4917012345678", "--data", "01060403AE81EA", "--udh", "0605040B8423F0", "--dcs", "F5"],
     dict(data="01060403AE81EA", udh="0605040B8423F0", dcs=0xF5)),
    ("concat-7bit", ["--to", "+447700900123", "--udh", "050003A10201", "--text", "part one: @ and {braces} €"],
     dict(text="part one: @ and {braces} €", udh="050003A10201", dcs=0, concat=(0xA1, 2, 1))),
    ("concat-7bit-at", ["--to", "+447700900123", "--udh", "050003A10202", "--text", "1234567@"],
     dict(text="1234567@", udh="050003A10202", dcs=0, udl=15, concat=(0xA1, 2, 2))),
    ("concat16-ucs2", ["--to", "+302101234567", "--udh", "060804ABCD0302", "--dcs", "08",
                       "--text", "Δεύτερο μέρος 😀"],
     dict(text="Δεύτερο μέρος 😀", udh="060804ABCD0302", dcs=8, concat=(0xABCD, 3, 2))),
    ("flags", ["--to", "+447700900123", "--text", "report me", "--report", "--reply", "--validity", "12h",
               "--smsc", "+447785016005", "--mr", "77"],
     dict(text="report me", dcs=0, srr=True, rp=True, vp=143, smsc="+447785016005", mr=77)),
    ("validity-2d", ["--to", "+447700900123", "--text", "hello", "--report", "--validity", "2d"],
     dict(text="hello", srr=True, vp=168, first=0x31)),
    ("validity-weeks-capped", ["--to", "1", "--text", "x", "--validity", "100d"], dict(text="x", vp=196)),
    ("validity-long-hours", ["--to", "1", "--text", "x", "--validity", "48h"], dict(text="x", vp=168)),
    ("validity-none", ["--to", "1", "--text", "x", "--validity", "12x"], dict(text="x", vp=None)),
    ("8bit-140", ["--to", "1", "--data", "AB" * 140], dict(data="AB" * 140, dcs=4, udl=140)),
]

REFUSED = [
    ("too-long-7bit", ["--to", "1", "--text", "x" * 161]),
    ("too-long-ext", ["--to", "1", "--text", "x" * 159 + "{"]),
    ("too-long-8bit", ["--to", "1", "--data", "AB" * 141]),
    ("too-long-ucs2", ["--to", "1", "--text", "😀" * 36]),
    ("alpha-destination", ["--to", "Info", "--text", "x"]),
    ("bad-hex", ["--to", "1", "--data", "0G"]),
    ("udh-mismatch", ["--to", "1", "--data", "00", "--udh", "0600"]),
]


def check_submit(name, args, want):
    r = qarpdu("submit", *args)
    if r.returncode != 0:
        failures.append("%s: qarpdu refused: %s" % (name, r.stderr.strip()))
        return
    lines = r.stdout.split("\n")
    hexpdu, length = lines[0], int(lines[1])
    raw = bytes.fromhex(hexpdu)
    if "hex" in want:
        check(name, "PDU", hexpdu, want["hex"])
    if "length" in want:
        check(name, "TPDU length", length, want["length"])

    # simlib: structural decode of the whole TPDU.
    smsc, tpdu = simpdu.split_smsc(raw)
    check(name, "TPDU length vs simlib", length, len(tpdu))
    try:
        s = simpdu.decode_submit(tpdu)
    except simpdu.PduError as e:
        failures.append("%s: simlib cannot decode %s: %s" % (name, hexpdu, e))
        return
    check(name, "simlib destination", s["da"]["number"], args[args.index("--to") + 1])
    if "text" in want:
        check(name, "simlib text", s["text"], want["text"])
    if "data" in want:
        check(name, "simlib data", s["data"], want["data"])
    if "udh" in want:
        check(name, "simlib UDH", s["udh"] and s["udh"]["hex"], want["udh"])
        if "concat" in want:
            c = s["udh"]["concat"]
            check(name, "simlib concat", (c["ref"], c["total"], c["seq"]), want["concat"])
    if "dcs" in want:
        check(name, "simlib DCS", s["dcs"], want["dcs"])
    if "udl" in want:
        check(name, "simlib UDL", s["udl"], want["udl"])
    if "srr" in want:
        check(name, "simlib status report flag", s["srr"], want["srr"])
    if "rp" in want:
        check(name, "simlib reply path", s["rp"], want["rp"])
    if "vp" in want:
        check(name, "simlib validity", s["vp"] and s["vp"]["value"], want["vp"])
    if "first" in want:
        check(name, "first octet", s["first_octet"], want["first"])
    if "smsc" in want:
        check(name, "simlib SMSC", smsc and smsc["number"], want["smsc"])
    if "mr" in want:
        check(name, "simlib reference", s["mr"], want["mr"])

    # gammu: its own decoder of the same PDU.
    try:
        g = gammu.DecodePDU(raw)
    except gammu.GSMError as e:
        failures.append("%s: gammu cannot decode %s: %s" % (name, hexpdu, e))
        return
    check(name, "gammu type", g["Type"], "Submit")
    check(name, "gammu number", g["Number"], args[args.index("--to") + 1])
    if "text" in want:
        check(name, "gammu text", gammu_text(g), want["text"])
    if "data" in want:
        check(name, "gammu data", g["Text"].hex().upper() if isinstance(g["Text"], bytes) else g["Text"],
              want["data"])
    if "udh" in want:
        check(name, "gammu UDH", g["UDH"]["Text"].hex().upper(), want["udh"])
        if "concat" in want:
            ref = g["UDH"]["ID16bit"] if want["udh"].startswith("0608") else g["UDH"]["ID8bit"]
            check(name, "gammu concat", (ref, g["UDH"]["AllParts"], g["UDH"]["PartNumber"]), want["concat"])
    if "srr" in want:
        pass  # gammu does not report the status-report flag of a SUBMIT
    if "smsc" in want:
        check(name, "gammu SMSC", g["SMSC"]["Number"], want["smsc"])
    if "mr" in want:
        check(name, "gammu reference", g["MessageReference"], want["mr"])


def decode_fields(name, hexpdu, *switches):
    r = qarpdu("decode", *switches, hexpdu)
    if r.returncode != 0:
        failures.append("%s: qarpdu decode failed: %s" % (name, r.stderr.strip()))
        return {}
    fields = {}
    for line in r.stdout.splitlines():
        key, _, value = line.partition(": ")
        fields[key] = value.replace("\\n", "\n").replace("\\r", "\r")
    return fields


WHEN = datetime.datetime(2026, 12, 7, 10, 30, 5, tzinfo=datetime.timezone(datetime.timedelta(hours=1)))
LATER = datetime.datetime(2026, 12, 7, 10, 31, 45, tzinfo=datetime.timezone(datetime.timedelta(hours=-5)))
SMSC = simpdu.encode_smsc("+447785016005")


def gammu_deliver(text, coding, udh=b"", number="+447700900123"):
    sms = {"Number": number, "SMSC": {"Location": 0, "Number": "+447785016005", "Validity": "NA"},
           "Text": text, "Coding": coding, "Type": "Deliver", "Folder": 1, "Memory": "SM", "Location": 0,
           "State": "Read", "Class": -1,
           "UDH": {"Type": "UserUDH" if udh else "NoUDH", "Text": udh},
           "DateTime": WHEN.replace(tzinfo=None), "SMSCDateTime": WHEN.replace(tzinfo=None)}
    return gammu.EncodePDU(sms, "Deliver").hex().upper()


def sim_deliver(oa, **kw):
    return (SMSC + simpdu.encode_deliver(oa, scts=WHEN, **kw)).hex().upper()


DELIVERS = [
    ("gammu-7bit", gammu_deliver("Hello @ home", "Default_No_Compression"),
     dict(Sender="+447700900123", Text="Hello @ home", DCS="00", SMSC="+447785016005")),
    ("gammu-ucs2-emoji", gammu_deliver("emoji 😀 ok ça", "Unicode_No_Compression"),
     dict(Text="emoji 😀 ok ça", DCS="08")),
    ("gammu-8bit-udh", gammu_deliver(b"\x01\x02\xff", "8bit", bytes.fromhex("060504158A0000")),
     dict(UDH="060504158A0000", Data="0102FF", DCS="04")),
    ("sim-7bit-ext", sim_deliver("+4917012345678", text="{€} [x] ~ | ^ \\ £$¥ ΔΦΓΛΩΠΨΣΘΞ"),
     dict(Sender="+4917012345678", Text="{€} [x] ~ | ^ \\ £$¥ ΔΦΓΛΩΠΨΣΘΞ")),
    ("sim-7bit-at-8", sim_deliver("12345", text="abcdefg@"), dict(Sender="12345", Text="abcdefg@")),
    ("sim-7bit-7", sim_deliver("12345", text="abcdefg"), dict(Text="abcdefg", Length="7")),
    ("sim-alpha-4", sim_deliver("Info", text="x"), dict(Sender="Info", Text="x")),
    ("sim-alpha-7", sim_deliver("Bank123", text="x"), dict(Sender="Bank123")),
    ("sim-concat-7bit", sim_deliver("+447700900123", text="second part @ {x}", udh=bytes.fromhex("0500031B0202")),
     dict(UDH="0500031B0202", Text="second part @ {x}")),
    ("sim-ucs2-concat16", sim_deliver("+447700900123", text="Ωραία 😀", dcs=0x08,
                                      udh=bytes.fromhex("060804ABCD0201")),
     dict(UDH="060804ABCD0201", Text="Ωραία 😀", DCS="08")),
]


def receipt(st, delivered):
    return ("id:unknown sub:001 dlvrd:%03d submit date:2612071030 done date:2612071031 stat:%s err:%03X"
            % (1 if delivered else 0, "DELIVRD" if delivered else "REJECTD", st))


STATUS = [
    (0x00, "delivered", receipt(0x00, True)),
    (0x01, "delivered", receipt(0x01, True)),
    (0x21, "temporary", None),
    (0x30, "temporary", None),
    (0x46, "failed", receipt(0x46, False)),
    (0x65, "failed", receipt(0x65, False)),
    (0x80, "failed", receipt(0x80, False)),
]


def main():
    for name, args, want in SUBMITS:
        check_submit(name, args, want)
    for name, args in REFUSED:
        r = qarpdu("submit", *args)
        check(name, "exit code", r.returncode, 1)
        check(name, "stdout", r.stdout, "")
        if not r.stderr.strip():
            failures.append("%s: refusal without a reason on standard error" % name)

    for name, hexpdu, want in DELIVERS:
        f = decode_fields(name, hexpdu)
        check(name, "Type", f.get("Type"), "SMS-DELIVER")
        for key, value in want.items():
            check(name, key, f.get(key), value)
        # gammu reads the same PDU: sender and text agree with qarpdu.
        g = gammu.DecodePDU(bytes.fromhex(hexpdu))
        check(name, "gammu sender vs qarpdu", g["Number"], f.get("Sender"))
        if "Text" in want and isinstance(g["Text"], str):
            check(name, "gammu text vs qarpdu", gammu_text(g), f.get("Text"))

    for st, cls, want_receipt in STATUS:
        name = "status-%02X" % st
        tp = simpdu.encode_status_report(0x2A, "+447700900123", WHEN, LATER, st)
        hexpdu = (SMSC + tp).hex().upper()
        f = decode_fields(name, hexpdu)
        check(name, "Type", f.get("Type"), "SMS-STATUS-REPORT")
        check(name, "Reference", f.get("Reference"), "42")
        check(name, "Recipient", f.get("Recipient"), "+447700900123")
        check(name, "Class", f.get("Class"), cls)
        check(name, "Submitted", f.get("Submitted"), "2026-12-07 10:30:05 +0100")
        check(name, "Reported", f.get("Reported"), "2026-12-07 10:31:45 -0500")
        if want_receipt is not None:
            check(name, "Receipt", f.get("Receipt"), want_receipt)
        g = gammu.DecodePDU(bytes.fromhex(hexpdu))
        check(name, "gammu type", g["Type"], "Status_Report")
        check(name, "gammu reference", g["MessageReference"], 42)
        check(name, "gammu status", "%02X" % g["DeliveryStatus"], f.get("Status", "")[:2])
        # The same report from a modem that leaves the SMSC field out.
        f2 = decode_fields(name + "-no-smsc", tp.hex().upper())
        check(name + "-no-smsc", "Reference", f2.get("Reference"), "42")
        check(name + "-no-smsc", "Recipient", f2.get("Recipient"), "+447700900123")
        check(name + "-no-smsc", "SMSC", f2.get("SMSC"), "")

    for line in failures:
        print("MISMATCH " + line)
    print("%d submit, %d refused, %d deliver, %d status-report cases; %d mismatches"
          % (len(SUBMITS), len(REFUSED), len(DELIVERS), len(STATUS), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
