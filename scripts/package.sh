#!/usr/bin/env bash
# Builds the Debian package krycertd_<version>_<arch>.deb from a build tree.
#   scripts/package.sh [BUILD-DIR [OUT-DIR]]
# BUILD-DIR defaults to build/release (configured and built here when
# needed), OUT-DIR to BUILD-DIR. Prints the path of the package.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build/release}"
out="${2:-$build}"
pkg="$here/packaging/debian"

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j"${KRY_JOBS:-2}" --target krycertd krycertctl krykey krycertrepl krycertd_config_files >/dev/null

version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")"
[ -n "$version" ] || version="$(sed -n 's/^project(krycertd VERSION \([0-9.]*\).*/\1/p' "$here/CMakeLists.txt")"
arch="$(dpkg --print-architecture)"

stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT
root="$stage/root"
DESTDIR="$root" cmake --install "$build" --prefix /opt/krycertd >/dev/null

# Binaries are shipped stripped, as Debian packages are.
for f in "$root"/opt/krycertd/bin/*; do
  if file -b "$f" | grep -q '^ELF'; then
    strip --strip-unneeded --remove-section=.comment --remove-section=.note "$f"
  fi
done

doc="$root/usr/share/doc/krycertd"
install -d -m 0755 "$doc" "$root/usr/share/lintian/overrides" "$root/usr/sbin" "$root/usr/bin"
install -m 0644 "$pkg/copyright" "$doc/copyright"
install -m 0644 "$pkg/lintian-overrides" "$root/usr/share/lintian/overrides/krycertd"
{
  echo "krycertd ($version) unstable; urgency=medium"
  echo
  echo "  * Package of krycertd $version."
  echo
  echo " -- krycertd developers <maintainers@krycertd.example.org>  $(date -R -u -d "@${SOURCE_DATE_EPOCH:-$(date +%s)}")"
} | gzip -9n > "$doc/changelog.gz"
chmod 0644 "$doc/changelog.gz"
gzip -9nf "$root"/usr/share/man/man*/*.[0-9]
# The console and the key tool on the operator's PATH.
ln -s /opt/krycertd/bin/krycertctl "$root/usr/sbin/krycertctl"
ln -s /opt/krycertd/bin/krykey "$root/usr/bin/krykey"

# Runtime dependencies from the libraries the binaries actually link.
mkdir -p "$stage/debian"
printf 'Source: krycertd\n\nPackage: krycertd\nArchitecture: any\n' > "$stage/debian/control"
shlibs="$(cd "$stage" && dpkg-shlibdeps -O -e"$root"/opt/krycertd/bin/krycertd \
            -e"$root"/opt/krycertd/bin/krycertctl -e"$root"/opt/krycertd/bin/krykey \
            -e"$root"/opt/krycertd/bin/krycertrepl 2>/dev/null |
          sed -n 's/^shlibs:Depends=//p')"
[ -n "$shlibs" ] || { echo "package.sh: dpkg-shlibdeps found no libraries" >&2; exit 1; }

# The package ships its folders 0755; postinst hands data and log to the
# service user with mode 0700.
chmod 0755 "$root/opt/krycertd/data" "$root/opt/krycertd/log"

install -d -m 0755 "$root/DEBIAN"
(cd "$root" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | LC_ALL=C sort -z |
   xargs -0 md5sum) > "$root/DEBIAN/md5sums"
chmod 0644 "$root/DEBIAN/md5sums"
size="$(du -sk --exclude=DEBIAN "$root" | cut -f1)"
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@SIZE@/$size/" -e "s/@SHLIBS@/$shlibs/" \
  "$pkg/control.in" > "$root/DEBIAN/control"
install -m 0644 "$pkg/conffiles" "$root/DEBIAN/conffiles"
for script in postinst prerm postrm; do
  sed -e "s/@VERSION@/$version/" "$pkg/$script" > "$root/DEBIAN/$script"
  chmod 0755 "$root/DEBIAN/$script"
done

mkdir -p "$out"
deb="$out/krycertd_${version}_${arch}.deb"
dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null
echo "$deb"
