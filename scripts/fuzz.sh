#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a while over a scratch copy of
# its seeds. Usage: scripts/fuzz.sh BUILD-DIR [SECONDS]
#   Long runs: scripts/fuzz.sh build/fuzz 600
set -uo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
dir="$1"
seconds="${2:-15}"
status=0
shopt -s nullglob
for bin in "$dir"/fuzz/*/fuzz_*; do
  [ -x "$bin" ] || continue
  sub="$(basename "$(dirname "$bin")")"
  name="$(basename "$bin")"
  work="$(mktemp -d)"
  for seeds in "$here/fuzz/$sub/seeds" "$here/fuzz/$sub/seeds/$name"; do
    [ -d "$seeds" ] && find "$seeds" -maxdepth 1 -type f -exec cp {} "$work/" \;
  done
  echo "--- $name for ${seconds}s"
  if ! "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=0 "$work" \
       > "$work.log" 2>&1; then
    echo "--- $name FAILED"; tail -50 "$work.log"; status=1
  else
    grep -E '^Done|#[0-9]+.*DONE' "$work.log" | tail -1
  fi
  rm -rf "$work" "$work.log"
done
exit $status
