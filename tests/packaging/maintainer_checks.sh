# Sourced by package_test.sh: runs the package's maintainer scripts against
# a scratch root (DPKG_ROOT) with the commands that would touch the real
# system (user creation, ownership, systemd) replaced by stand-ins that log.
#   maintainer_checks DEB CONTROL-DIR WORK-DIR
maintainer_checks() {
  local deb="$1" ctl="$2" dir="$3"
  local mroot="$dir/mroot" bin="$dir/stubs" log="$dir/stubs.log"
  mkdir -p "$mroot" "$bin"
  dpkg-deb -x "$deb" "$mroot"
  # getent finds no user, so postinst creates one every time.
  printf '#!/bin/sh\nexit 2\n' > "$bin/getent"
  for cmd in addgroup adduser chown deb-systemd-helper deb-systemd-invoke systemctl; do
    printf '#!/bin/sh\necho "%s $*" >> "%s"\nexit 0\n' "$cmd" "$log" > "$bin/$cmd"
  done
  # install without -o and -g, runuser without the user switch.
  cat > "$bin/install" <<'EOT'
#!/bin/sh
args=""
while [ $# -gt 0 ]; do
  case "$1" in -o|-g) shift 2 ;; *) args="$args \"$1\""; shift ;; esac
done
eval exec /usr/bin/install $args
EOT
  cat > "$bin/runuser" <<'EOT'
#!/bin/sh
while [ $# -gt 0 ] && [ "$1" != "--" ]; do shift; done
shift
exec "$@"
EOT
  chmod +x "$bin"/*
  local tree="$mroot/opt/krycertd" settings="$mroot/etc/krycertd/settings"
  local dbs="NEXTID dn.dbb dn2id.dbb id2children.dbb id2entry.dbb objectclass.dbb"
  mscript() { env -u KRYCERTD_SETTINGS -u KRYCERTD_EVENTLOG DPKG_ROOT="$mroot" PATH="$bin:/usr/sbin:/usr/bin:/sbin:/bin" \
                sh "$ctl/$1" "${@:2}" >>"$log" 2>&1; }

  # First installation.
  mscript postinst configure || fail "postinst configure failed: $(cat "$log")"
  grep -q '^adduser --system .*krycertd$' "$log" || fail "postinst created no system user"
  [ "$(stat -c %a "$tree/data")" = 700 ] && [ "$(stat -c %a "$tree/log")" = 700 ] ||
    fail "data and log are not mode 0700"
  grep -q '^ConfigFile=/opt/krycertd/bin/krycertd.cfg$' "$settings" && grep -q '^InstalledVersion=' "$settings" ||
    fail "settings: $(cat "$settings" 2>&1)"
  [ -f "$tree/etc/KRYcertd-pubring.pkr" ] && [ "$(stat -c %a "$tree/etc/KRYcertd-secring.skr")" = 640 ] ||
    fail "keyrings not created"
  local f
  for f in $dbs; do [ -f "$tree/data/$f" ] || fail "postinst did not create $f"; done
  pass "postinst on a fresh root"

  # Upgrade over an operator's changes: nothing of theirs is replaced.
  echo "operator's key" > "$tree/etc/KRYcertd-pubring.pkr"
  sed -i 's/^Port=389$/Port=1389/' "$settings"
  echo "LocalNote=kept" >> "$settings"
  local before
  before="$(cd "$tree/data" && md5sum $dbs)"
  mscript prerm upgrade 2.5.1 || fail "prerm upgrade failed"
  mscript postinst configure 2.5.0 || fail "postinst configure (upgrade) failed"
  [ "$(cat "$tree/etc/KRYcertd-pubring.pkr")" = "operator's key" ] || fail "upgrade replaced the public keyring"
  grep -q '^Port=1389$' "$settings" && grep -q '^LocalNote=kept$' "$settings" || fail "upgrade rewrote the settings"
  [ "$(grep -c '^InstalledVersion=' "$settings")" = 1 ] || fail "InstalledVersion repeated"
  [ "$(cd "$tree/data" && md5sum $dbs)" = "$before" ] || fail "upgrade changed the databases"
  pass "upgrade keeps keyrings, settings and databases"

  # Databases removed by hand are created again on the next configure.
  rm -f "$tree/data/id2entry.dbb"
  mscript postinst configure 2.5.1 || fail "postinst configure (repair) failed"
  [ -f "$tree/data/id2entry.dbb" ] || fail "postinst did not create a missing database"

  # Removal keeps the data; purge deletes it.
  mscript postrm remove || fail "postrm remove failed"
  [ -f "$tree/data/dn2id.dbb" ] && [ -f "$settings" ] || fail "postrm remove deleted data"
  mscript postrm purge || fail "postrm purge failed"
  [ ! -e "$tree/data" ] && [ ! -e "$mroot/etc/krycertd" ] && [ ! -e "$tree/etc/KRYcertd-secring.skr" ] ||
    fail "postrm purge left data behind"
  pass "remove keeps the data, purge deletes it"
}
