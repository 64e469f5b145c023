#!/usr/bin/env bash
# Builds the gateway and runs it in the foreground on the embedded default: the data folder
# ./data of the checkout, web port 8800, and the account admin / admin.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"

scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQAR_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" --target qargate qaruser

export QARSMS_HOME="$top/data"
mkdir -p "$QARSMS_HOME"
[ -f "$QARSMS_HOME/QARHUB.INI" ] || cp defaults/QARHUB.INI "$QARSMS_HOME/QARHUB.INI"
if [ -z "$(build/bin/qaruser list 2>/dev/null)" ]; then
  build/bin/qaruser add admin admin --full-name "Administrator" --receive
fi
echo "Starting the gateway: http://localhost:8800/  (account admin / admin; Ctrl-C stops it)"
exec build/bin/qargate
