#!/bin/sh
# Set-up of the SMPP end-to-end benchmark's comparison mode: the Debian "kannel" package
# (bearerbox and smsbox). Only the benchmark uses it; the gateway never does.
set -e
if ! command -v bearerbox >/dev/null 2>&1 && [ ! -x /usr/sbin/bearerbox ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq kannel >/dev/null
fi
# The package starts its own daemons; the benchmark runs its own on loopback ports.
if [ -x /etc/init.d/kannel ]; then /etc/init.d/kannel stop >/dev/null 2>&1 || true; fi
command -v bearerbox || ls /usr/sbin/bearerbox
