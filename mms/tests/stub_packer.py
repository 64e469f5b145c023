#!/usr/bin/env python3
# Stands in for the MMS packer in tests: copies the header file and every file it names into
# $MMS_CAPTURE (as "header", "smil" and the part names), writes "<base>.MMS" and exits 0.
# With $MMS_KEEP the parts are also copied there. With $MMS_PACKER_SLEEP it first sleeps that many seconds; with $MMS_PACKER_FAIL it exits 3.
import os
import shutil
import sys
import time

header = sys.argv[-1]
if os.environ.get("MMS_PACKER_SLEEP"):
    time.sleep(float(os.environ["MMS_PACKER_SLEEP"]))
if os.environ.get("MMS_PACKER_FAIL"):
    sys.exit(3)
capture = os.environ["MMS_CAPTURE"]
folder = os.path.dirname(header)
with open(os.path.join(capture, "args"), "w") as f:
    f.write("\n".join(sys.argv[1:]))
shutil.copy(header, os.path.join(capture, "header"))
for line in open(header, encoding="utf-8", errors="replace", newline="").read().split("\r\n"):
    if line.startswith("X-QarMMS-Content-Location: "):
        rel = line[len("X-QarMMS-Content-Location: "):].split(";")[0]
        src = os.path.join(folder, rel)
        name = "smil" if rel.endswith(".smil") else os.path.basename(rel)
        shutil.copy(src, os.path.join(capture, name))
        if os.environ.get("MMS_KEEP"):
            shutil.copy(src, os.path.join(os.environ["MMS_KEEP"], name))
with open(header[:-4] + ".MMS", "wb") as f:
    f.write(b"\x8c\x80compiled")
