#!/usr/bin/env python3
"""How long one flush takes on this machine's storage, by the ways the gateway could flush.

Each way runs on a fresh journaled ext4 image, written out in full and loop-mounted, as
bench/smpp_e2e keeps its files (root needed; otherwise in $TMPDIR, and it says so):
  lone file      one new file: write, fdatasync, fsync of its directory (a lone submission)
  syncfs         64 new files, then one syncfs (the group flush of busy times)
  per file       64 new files, then fdatasync of each and one fsync of the directory
  64 threads     64 threads, each writing a new file, fdatasync and fsync of the directory
  log overwrite  64 records of 420 bytes overwriting a file written in full, then one
                 fdatasync (no block to allocate: what an intent log would cost)
It prints the median and the 90th percentile of each, and what a flush of the median
length allows 64 clients that each wait for it.

  bench/flush_latency.py [rounds=40]
"""
import ctypes
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROUNDS = int(sys.argv[1]) if len(sys.argv) > 1 else 40
BODY = b"[SMS]\r\nPhoneNumber=447700900123\r\nData=b1\r\n" + b"x" * 380
libc = ctypes.CDLL(None, use_errno=True)


def scratch():
    base = tempfile.mkdtemp(prefix="qar-flush-")
    image = base + ".img"
    if os.geteuid() == 0:
        made = subprocess.run(
            f"dd if=/dev/zero of='{image}' bs=1M count=512 status=none && mkfs.ext4 -q -F '{image}' >/dev/null 2>&1"
            f" && mount -o loop '{image}' '{base}'", shell=True).returncode == 0
        if made:
            return base, image, "a fresh journaled ext4 image, loop-mounted"
        if os.path.exists(image):
            os.unlink(image)
    return base, None, f"{tempfile.gettempdir()} as it is (no loop mount here)"


def measure(name, step):
    times = []
    for i in range(ROUNDS):
        start = time.perf_counter()
        step(i)
        times.append((time.perf_counter() - start) * 1000)
    times.sort()
    median = statistics.median(times)
    print(f"{name:14s} median {median:6.2f} ms   p90 {times[int(len(times) * 0.9)]:6.2f} ms")
    return median


def main():
    base, image, where = scratch()
    queue = os.path.join(base, "Q")
    os.makedirs(queue)
    print(f"files on {where}; {ROUNDS} rounds each")

    def new_file(name):
        fd = os.open(os.path.join(queue, name), os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o644)
        os.write(fd, BODY)
        return fd

    def sync_directory():
        d = os.open(queue, os.O_RDONLY | os.O_DIRECTORY)
        os.fsync(d)
        os.close(d)

    def lone(i):
        fd = new_file(f"lone{i}.req")
        os.fdatasync(fd)
        os.close(fd)
        sync_directory()

    def group_syncfs(i):
        fds = [new_file(f"group{i}_{k}.req") for k in range(64)]
        if libc.syncfs(fds[0]) != 0:
            raise OSError(ctypes.get_errno(), "syncfs")
        for fd in fds:
            os.close(fd)

    def per_file(i):
        fds = [new_file(f"each{i}_{k}.req") for k in range(64)]
        for fd in fds:
            os.fdatasync(fd)
        sync_directory()
        for fd in fds:
            os.close(fd)

    def threads(i):
        def one(k):
            fd = new_file(f"thread{i}_{k}.req")
            os.fdatasync(fd)
            os.close(fd)
            sync_directory()
        workers = [threading.Thread(target=one, args=(k,)) for k in range(64)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()

    log = os.open(os.path.join(base, "intent.log"), os.O_CREAT | os.O_RDWR, 0o644)
    zeros = b"\0" * (1 << 20)
    for _ in range(32):
        os.write(log, zeros)
    os.fsync(log)
    record = BODY * 64

    def overwrite(i):
        os.pwrite(log, record, (i * len(record)) % ((32 << 20) - len(record)))
        os.fdatasync(log)

    try:
        lone_ms = measure("lone file", lone)
        group_ms = measure("syncfs", group_syncfs)
        measure("per file", per_file)
        measure("64 threads", threads)
        measure("log overwrite", overwrite)
    finally:
        os.close(log)
        if image:
            subprocess.run(["umount", base])
            os.unlink(image)
        subprocess.run(["rm", "-rf", base])
    # A submission waits for the flush under way, then for its own: 1.5 flushes on average.
    for name, ms in (("lone file", lone_ms), ("syncfs", group_ms)):
        print(f"64 clients each waiting 1.5 flushes of {ms:.2f} ms ({name}): at most {64 / (1.5 * ms / 1000):,.0f} answers/s")


if __name__ == "__main__":
    main()
