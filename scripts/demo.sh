#!/usr/bin/env bash
# Installs what is missing, builds the server and runs it in the foreground
# on a demo tree under the build directory:
#   build/demo/{bin,etc,data,log}, LDAP on port 3890, console port 4890,
#   HKP on 11371.
# Stop it with Ctrl-C.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${KRY_BUILD_DIR:-$here/build/release}"
"$here/scripts/deps.sh"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target krycertd
demo="$here/build/demo"
mkdir -p "$demo"/{bin,etc,data,log}
cp "$build/krycertd" "$demo/bin/krycertd"
[ -f "$demo/bin/krycertd.cfg" ] || cp "$here/packaging/demo/krycertd.cfg" "$demo/bin/krycertd.cfg"
for f in "$here"/packaging/demo/KRYcertd-*; do
  [ -f "$demo/etc/$(basename "$f")" ] || cp "$f" "$demo/etc/"
done
export KRYCERTD_SETTINGS="$demo/etc/settings"
export KRYCERTD_EVENTLOG="$demo/log/events.log"
cd "$demo/bin"
./krycertd -g -n || true
echo "krycertd demo: LDAP on 127.0.0.1:3890, console port 4890, HKP on 11371; events in $KRYCERTD_EVENTLOG"
exec ./krycertd -g -s
