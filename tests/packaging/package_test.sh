#!/usr/bin/env bash
# Builds the package from a build tree and checks it without installing it:
#   package_test.sh SOURCE-DIR BUILD-DIR
# Needs lintian, dpkg-dev, man-db and groff (scripts/deps.sh installs them);
# the unit checks are skipped where systemd-analyze is missing.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/maintainer_checks.sh"
src="$1"
build="$2"
work="$(mktemp -d)"
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

for tool in lintian dpkg-deb dpkg-shlibdeps man ldapsearch; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing; run scripts/deps.sh"; exit 1; }
done

deb="$("$src/scripts/package.sh" "$build" "$work/out")" || { echo "FAIL: scripts/package.sh"; exit 1; }
[ -f "$deb" ] || { echo "FAIL: no package at '$deb'"; exit 1; }
case "$(basename "$deb")" in
  krycertd_*_"$(dpkg --print-architecture)".deb) pass "package $(basename "$deb")" ;;
  *) fail "package name $(basename "$deb")" ;;
esac

# --- lintian: no error, and no warning either at the default level.
lintian_out="$(lintian "$deb" 2>&1 | grep -v 'running with root privileges')"
if echo "$lintian_out" | grep -q '^[EW]:'; then fail "lintian:"; echo "$lintian_out"; else pass "lintian"; fi

# --- control data: dependencies, conffiles, maintainer scripts.
control="$(dpkg-deb -f "$deb")"
for lib in libdb5.3 libssl3 libmicrohttpd12 libc6 adduser; do
  echo "$control" | grep -q "^Depends:.*\b$lib\b" || fail "Depends lacks $lib"
done
mkdir -p "$work/ctl"
dpkg-deb -e "$deb" "$work/ctl"
[ "$(cat "$work/ctl/conffiles")" = "/opt/krycertd/bin/krycertd.cfg" ] || fail "conffiles: $(cat "$work/ctl/conffiles")"
for script in postinst prerm postrm; do
  [ -x "$work/ctl/$script" ] && sh -n "$work/ctl/$script" || fail "maintainer script $script"
  grep -q '@[A-Z]*@' "$work/ctl/$script" && fail "$script keeps a placeholder"
done
grep -q 'runuser -u krycertd' "$work/ctl/postinst" || fail "postinst does not create the databases as krycertd"
pass "control data"
maintainer_checks "$deb" "$work/ctl" "$work"

# --- contents, extracted into a scratch root.
root="$work/root"
dpkg-deb -x "$deb" "$root"
tree="$root/opt/krycertd"
for f in bin/krycertd bin/krycertctl bin/krykey bin/krycertrepl; do
  [ -x "$tree/$f" ] || fail "missing $f"
done
for d in etc data log; do [ -d "$tree/$d" ] || fail "missing folder $d"; done
[ -f "$root/lib/systemd/system/krycertd.service" ] || fail "missing unit"
[ -f "$root/lib/systemd/system/krycertrepl.service" ] || fail "missing unit krycertrepl.service"
pass "contents"

# --- every keyword the server reads is documented in the packaged file and
# the manual page.
cfg="$tree/bin/krycertd.cfg"
cfgman="$root/usr/share/man/man5/krycertd.cfg.5.gz"
keywords="$(grep -ohE '(Is|StrIEquals\(kw,) ?\("[A-Za-z]+"\)|\{"[A-Za-z]+", [A-Z][A-Za-z]+\}' "$src"/config/*.cpp "$src"/back-ldbm/config.cpp |
            sed -E 's/.*"([A-Za-z]+)".*/\1/' | sort -fu)"
[ "$(echo "$keywords" | wc -l)" -ge 30 ] || fail "found only $(echo "$keywords" | wc -l) keywords in the sources"
for kw in $keywords; do
  grep -qiE "^#? ?$kw( |$)" "$cfg" || fail "keyword $kw missing from krycertd.cfg"
  zcat "$cfgman" | grep -qi "^\\\\fB$kw\\\\fR" || fail "keyword $kw missing from krycertd.cfg(5)"
done
pass "keywords documented"

# --- manual pages: all five, free of groff warnings.
for page in man8/krycertd.8 man8/krycertctl.8 man8/krycertrepl.8 man1/krykey.1 man5/krycertd.cfg.5; do
  file="$root/usr/share/man/$page.gz"
  if [ ! -f "$file" ]; then fail "missing manual page $page"; continue; fi
  warnings="$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$file" 2>&1 >/dev/null)"
  [ -z "$warnings" ] || fail "man --warnings $page: $warnings"
done
pass "manual pages"

# --- the packaged server in the scratch root: the keyrings postinst would
# create, the packaged configuration, free ports instead of 389 and 4000.
: > "$tree/etc/KRYcertd-pubring.pkr"
: > "$tree/etc/KRYcertd-secring.skr"
export KRYCERTD_SETTINGS="$work/settings" KRYCERTD_EVENTLOG="$tree/log/events.log" LDAPNOINIT=1
run() { (cd "$tree/bin" && ./krycertd "$@"); }

if run -g -c >"$work/c.out" 2>&1 && grep -q "No errors processing configuration file." "$tree/log/events.log"; then
  pass "krycertd -c on the packaged configuration"
else
  fail "krycertd -c:"; cat "$work/c.out" "$tree/log/events.log"
fi
databases="NEXTID dn.dbb dn2id.dbb id2children.dbb id2entry.dbb objectclass.dbb"
if run -g -n >"$work/n.out" 2>&1; then
  for f in $databases; do [ -f "$tree/data/$f" ] || fail "krycertd -n did not create $f"; done
  pass "krycertd -n"
else
  fail "krycertd -n:"; cat "$work/n.out" "$tree/log/events.log"
fi
before="$(cd "$tree/data" && md5sum $databases 2>&1)"
run -g -n >/dev/null 2>&1 || fail "a second krycertd -n failed"
[ "$(cd "$tree/data" && md5sum $databases 2>&1)" = "$before" ] || fail "a second krycertd -n changed the databases"

# The sample lines of the annotated file are valid lines: uncommented, no
# line is rejected (a key ID of the samples may still be unknown).
sed -E 's/^#([A-Za-z]+ )/\1/' "$cfg" > "$tree/bin/samples.cfg"
run -g -c -f samples.cfg >/dev/null 2>&1
if grep -q "samples.cfg(" "$tree/log/events.log"; then fail "sample lines rejected:"; grep "samples.cfg(" "$tree/log/events.log"; else pass "sample lines"; fi

served=no
for attempt in 1 2 3 4 5; do
  # Below the kernel's ephemeral ports and above the ones the test harness hands out.
  port=$((32100 + RANDOM % 300)); cport=$((port + 300))
  (cd "$tree/bin" && exec ./krycertd -g -s -p "$port" -b "$cport") >"$work/s.out" 2>&1 &
  server_pid=$!
  for _ in $(seq 1 50); do
    if ldapsearch -x -P 2 -LLL -H "ldap://127.0.0.1:$port" -b cn=monitor -s base >"$work/monitor" 2>/dev/null; then
      served=yes; break
    fi
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.2
  done
  [ "$served" = yes ] && break
  kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null; server_pid=""
done
if [ "$served" = yes ] && grep -q "^version: KRY Certificate Server" "$work/monitor"; then
  pass "search served on port $port"
  ldapsearch -x -P 2 -LLL -H "ldap://127.0.0.1:$port" -b CN=KRYSERVERINFO -s base >"$work/info" 2>&1 ||
    fail "server information entry: $(cat "$work/info")"
  status="$("$tree/bin/krycertctl" --command-port "$cport" status 2>&1)" || fail "krycertctl status: $status"
  grep -q "$port" <<<"$status" || fail "krycertctl status lacks the port: $status"
  kill -TERM "$server_pid"
  wait "$server_pid"; rc=$?; server_pid=""
  [ "$rc" -eq 0 ] || fail "the server ended with $rc after SIGTERM"
else
  fail "the packaged server served no search:"; cat "$work/s.out" "$tree/log/events.log"
fi

# --- the unit, where systemd's tools exist.
if ! command -v systemd-analyze >/dev/null; then
  echo "skipped: systemd-analyze is missing, the unit is not checked"
else
  unit="$work/krycertd.service"
  # The unit's paths point into the scratch root, its manual pages too.
  sed "s|/opt/krycertd|$tree|g" "$root/lib/systemd/system/krycertd.service" > "$unit"
  verify="$(MANPATH="$root/usr/share/man" systemd-analyze verify "$unit" 2>&1)"
  if [ $? -eq 0 ] && [ -z "$verify" ]; then pass "systemd-analyze verify"; else fail "systemd-analyze verify: $verify"; fi
  grep -q '^User=krycertd$' "$unit" || fail "the unit does not run as krycertd"
  if systemd-analyze --help 2>&1 | grep -q -- '--offline'; then
    security="$(systemd-analyze security --offline=yes "$unit" 2>&1 | grep 'Overall exposure level')"
    echo "$security"
    echo "$security" | grep -qE ': [0-9.]+ (OK|MEDIUM)' || fail "exposure above MEDIUM: $security"
  else
    echo "skipped: systemd-analyze has no --offline, the exposure is not rated"
  fi
fi

[ "$failures" -eq 0 ] || { echo "$failures failures"; exit 1; }
echo "all package checks passed"
