#!/usr/bin/env python3
"""Fails when a source file includes a header of a higher layer, or of another module of its own
layer, listing the offending lines.

Usage: layer_check.py SOURCE_DIR      check the tree
       layer_check.py --self-test     check that a bad include in a small tree is caught
"""
import os
import re
import sys
import tempfile

# Lowest first. Each layer holds modules; a module is a name and the path prefixes of its files
# (the longest matching prefix decides). A file may include its own module and lower layers.
LAYERS = [
    [("common", ("runtime/text_helpers.", "runtime/hex_text.", "runtime/names.", "runtime/str_printf.", "runtime/base64.",
                 "runtime/secret_mask.", "runtime/unique_fd.h", "runtime/unique_dir.h",
                 "runtime/thread_annotations.h", "runtime/mutex.h", "runtime/socket_sessions.h",
                 "runtime/call_arguments.h"))],
    # Shared libraries loaded by name; qarvault holds the configuration files below runtime.
    [("outside libraries", ("outside/qarvault/", "outside/qarledger/", "outside/qarseal/", "outside/qarsign/",
                            "outside/qarmedia/", "outside/qardial/"))],
    [("runtime", ("runtime/",))],
    [("outside", ("outside/",))],  # the loader and the call tables
    [("config", ("config/",))],
    [("httpclient", ("httpclient/",))],
    [("gsm", ("gsm/",))],
    # The modem line layer (no queue, no gateway thread: the console's modem test links it too).
    [("modem", ("modem/",))],
    [("qarpeer", ("outside/qarpeer/",)), ("qarkite", ("outside/qarkite/",)), ("qarbolt", ("outside/qarbolt/",))],
    [("store", ("store/",))],
    [("accounting", ("accounting/",))],
    [("submit", ("submit/",))],
    # WAP push and settings builders: submissions, below the web pages that take them.
    [("push", ("push/",))],
    # Received and submitted MMS: below the web pages and the inbound workers that hand them over.
    [("mms", ("mms/",))],
    [("web", ("web/",)), ("smsc", ("smsc/",))],
    [("inbound", ("inbound/",))],
    # The SMPP server for client applications: sessions over submissions, the store and the web's address checks.
    [("smppserver", ("inbound/smppserver/",))],
    # Administration pages and provisioning: they read the figures of every module below.
    [("admin", ("admin/",))],
    [("service", ("service/",))],
    # The operator console: a program of its own that reads the service's status block.
    [("console", ("console/",))],
    [("tests", ("tests/", "bench/"))],
]

# (including file, included header, why it stays). Keep this short: each entry is a debt.
ALLOWED = []

SOURCE_DIRS_SKIPPED = {".git", "build", "node_modules"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+/[^"]+)"')


def module_of(path):
    best = None
    for rank, layer in enumerate(LAYERS):
        for name, prefixes in layer:
            for prefix in prefixes:
                if path.startswith(prefix) and (best is None or len(prefix) > best[2]):
                    best = (rank, name, len(prefix))
    return best


def is_test_support(path):
    return path.startswith("tests/") or "/tests/" in path


def source_files(root):
    for folder, dirs, files in os.walk(root):
        dirs[:] = sorted(d for d in dirs if d not in SOURCE_DIRS_SKIPPED and not d.startswith("build")
                         and not os.path.exists(os.path.join(folder, d, "CMakeCache.txt")))
        for f in sorted(files):
            if f.endswith((".h", ".cpp", ".c")):
                yield os.path.relpath(os.path.join(folder, f), root).replace(os.sep, "/")


def check(root):
    problems, used = [], set()
    for path in source_files(root):
        own = module_of(path)
        if own is None:
            problems.append(f"{path}: its folder is not in the layer table of tests/layer_check.py")
            continue
        with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
            for number, line in enumerate(f, 1):
                m = INCLUDE.match(line)
                if not m:
                    continue
                header = m.group(1)
                if is_test_support(path) and is_test_support(header):
                    continue  # test helpers are shared across modules
                target = module_of(header)
                if target is None or target[1] == own[1] or target[0] < own[0]:
                    continue
                if (path, header) in {(a, b) for a, b, _ in ALLOWED}:
                    used.add((path, header))
                    continue
                kind = "another module of its layer" if target[0] == own[0] else "a higher layer"
                problems.append(f"{path}:{number}: {own[1]} includes {kind} ({target[1]}): {line.strip()}")
    for a, b, _ in ALLOWED:
        if (a, b) not in used:
            problems.append(f"allowed exception no longer needed, remove it: {a} -> {b}")
    return problems


def self_test():
    with tempfile.TemporaryDirectory() as root:
        def write(path, text):
            os.makedirs(os.path.dirname(os.path.join(root, path)), exist_ok=True)
            with open(os.path.join(root, path), "w") as f:
                f.write(text)
        write("store/queue.cpp", '#include "store/queue.h"\n#include "runtime/clock.h"\n#include "web/http.h"\n')
        write("web/http.cpp", '#include "store/queue.h"\n#include "smsc/link.h"\n')
        write("smsc/tests/link_test.cpp", '#include "tests/gateway_harness.h"\n')
        write("smsc/smpp/smpp_driver.cpp", '#include "inbound/inbound_receive.h"\n')
        write("elsewhere/loose.cpp", "\n")
        found = check(root)
    expected = [
        "elsewhere/loose.cpp: its folder is not in the layer table",
        'smsc/smpp/smpp_driver.cpp:1: smsc includes a higher layer (inbound): #include "inbound/inbound_receive.h"',
        'store/queue.cpp:3: store includes a higher layer (web): #include "web/http.h"',
        'web/http.cpp:2: web includes another module of its layer (smsc): #include "smsc/link.h"',
    ]
    missing = [e for e in expected if not any(p.startswith(e) for p in found)]
    if missing or len(found) != len(expected):
        print("self-test failed; expected:", *expected, "found:", *found, sep="\n  ")
        return 1
    print("self-test passed")
    return 0


def main(argv):
    if argv[1:] == ["--self-test"]:
        return self_test()
    if len(argv) != 2:
        print(__doc__)
        return 2
    problems = check(argv[1])
    for p in problems:
        print(p)
    if problems:
        print(f"{len(problems)} layer problem(s); the order is in tests/layer_check.py")
        return 1
    print("layers hold")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
