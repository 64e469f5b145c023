"""Decodes one queued segment (UDH, Data, DCS in hex) with python-gammu and prints its text."""
import binascii
import sys

import gammu

udh, data, dcs = sys.argv[1], sys.argv[2], int(sys.argv[3], 16)
udh_octets = len(udh) // 2
data_octets = len(data) // 2
if dcs & 0x0C == 0x08 or dcs == 0x08:
    udl = udh_octets + data_octets
else:
    fill = (7 - udh_octets % 7) % 7
    udl = (udh_octets * 8 + fill) // 7 + (data_octets * 8 - fill) // 7
    # Seven spare bits at the end are padding, not an "@" (the senders read it the same way).
    if (data_octets * 8 - fill) % 7 == 0 and data_octets and int(data[-2:], 16) >> 1 == 0:
        udl -= 1
pdu = "00" + "41" + "00" + "0B91" + "4477009001F3" + "00" + "%02X" % dcs + "%02X" % udl + udh + data
sms = gammu.DecodePDU(binascii.unhexlify(pdu), SMSC=True)
sys.stdout.write(sms["UDH"]["Type"] + "|" + str(sms["UDH"]["PartNumber"]) + "/" + str(sms["UDH"]["AllParts"]) + "|")
text = sms["Text"]
if dcs & 0x0C == 0:
    # gammu counts septets as characters: an escaped character leaves one stray slot at the end.
    escaped = sum(1 for ch in text if ch in "^{}\\[~]|\u20ac\f")
    text = text[: len(text) - escaped]
sys.stdout.buffer.write(text.encode("utf-8"))
