#!/usr/bin/env bash
# Installs the Debian packages the build (and, with --tests, the tests) need, when missing.
set -euo pipefail

# The gateway: a compiler, CMake, SQLite and OpenSSL.
packages=(g++ cmake make libsqlite3-dev libssl-dev)
if [ "${1:-}" = "--tests" ]; then
  # GoogleTest; curl, openssl, sqlite3 and python3 (with gammu) are run by the tests; clang
  # compiles the thread-safety check.
  packages+=(libgtest-dev curl openssl sqlite3 python3 python3-gammu clang)
  # Peers written by others for the SMS centre and modem tests: UCP/EMI frame decoding and a
  # CIMD2 centre, a provider's HTTP interface (kannel, kannel-extras), frame dissection
  # (tshark), a telnet server in front of a modem (ser2net), an HTTP proxy (tinyproxy).
  packages+=(kannel kannel-extras tshark ser2net tinyproxy)
  # WBXML and XML checkers (libwbxml2-utils, libxml2-utils), the metrics format checker
  # (prometheus), a browser that renders the admin pages (chromium), a terminal for the
  # console's dialogue (tmux).
  packages+=(libwbxml2-utils libxml2-utils prometheus chromium tmux)
  # The order of flushes and answers (strace) and the disk images of the cut test (e2fsprogs).
  packages+=(strace e2fsprogs)
  # A faster clock for the programs whose waits of many seconds a test sits through (faketime).
  packages+=(faketime)
  # The SMPP tests run the npm "smpp" package (installed into the build tree by the tests).
  command -v node >/dev/null 2>&1 || packages+=(nodejs)
  command -v npm >/dev/null 2>&1 || packages+=(npm)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
