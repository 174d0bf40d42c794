#!/usr/bin/env bash
# Builds the Debian package hall_<version>_amd64.deb with dpkg-deb.
#
#   scripts/package.sh [--build-dir DIR] [--out DIR] [--version VERSION]
#
# Without --build-dir it configures and builds a Release build in build-pkg/ with
# Debian's hardening flags (dpkg-buildflags); with it, it packages the programs already
# built in DIR (the test suite packages its own build tree). The version is the CMake
# project version of that build unless --version gives another (a Debian version, e.g.
# 2.0+hotfix1 for a build that must replace a 2.0 package). The package goes to --out
# (default: the build directory); its path is the last line printed.
#
# Layout: the gateway reads ../conf and writes ../log relative to its working directory,
# so the programs live in /usr/lib/hall/bin beside two links, /usr/lib/hall/conf ->
# /etc/hall and /usr/lib/hall/log -> /var/log/hall. The units, the maintainer scripts
# and the settings come from deploy/ and conf/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

build_dir=""
out_dir=""
version=""
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build_dir=${2:?--build-dir needs a directory}; shift 2 ;;
    --out) out_dir=${2:?--out needs a directory}; shift 2 ;;
    --version) version=${2:?--version needs a version}; shift 2 ;;
    *) echo "usage: $0 [--build-dir DIR] [--out DIR] [--version VERSION]" >&2; exit 2 ;;
  esac
done

for tool in dpkg-deb dpkg-shlibdeps strip gzip; do
  if ! command -v "$tool" >/dev/null; then
    echo "package.sh: $tool is missing (packages dpkg-dev, binutils)" >&2
    exit 1
  fi
done

programs=(hall order_sync_client hall_cli hall_token)
if [ -z "$build_dir" ]; then
  build_dir=$root/build-pkg
  # The flags Debian builds its own packages with: fortified functions, full RELRO,
  # stack protector.
  # CMake reads no CPPFLAGS: the preprocessor flags go with the compiler flags, given on
  # the command line so that a build directory configured before takes them too.
  eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
  cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DHALL_TESTS=OFF \
    -DCMAKE_C_FLAGS="$CPPFLAGS $CFLAGS" -DCMAKE_CXX_FLAGS="$CPPFLAGS $CXXFLAGS" \
    -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS" >/dev/null
  cmake --build "$build_dir" -j "$(nproc)" --target "${programs[@]}"
fi
build_dir=$(cd "$build_dir" && pwd)
for p in "${programs[@]}"; do
  if [ ! -x "$build_dir/$p" ]; then
    echo "package.sh: $build_dir/$p is not built" >&2
    exit 1
  fi
done
if [ -z "$version" ]; then
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build_dir/CMakeCache.txt")
fi
if ! [[ $version =~ ^[0-9][A-Za-z0-9.+~-]*$ ]]; then
  echo "package.sh: '$version' is no Debian version" >&2
  exit 2
fi
out_dir=${out_dir:-$build_dir}
mkdir -p "$out_dir"
out_dir=$(cd "$out_dir" && pwd)

stage=$(mktemp -d "$out_dir/hall-pkg.XXXXXX")
trap 'rm -rf "$stage"' EXIT
pkg=$stage/root
deploy=$root/deploy

# Programs, stripped as dh_strip does.
install -d "$pkg/usr/lib/hall/bin" "$pkg/usr/bin"
for p in hall order_sync_client; do
  install -m 0755 "$build_dir/$p" "$pkg/usr/lib/hall/bin/$p"
done
for p in hall_cli hall_token; do
  install -m 0755 "$build_dir/$p" "$pkg/usr/bin/$p"
done
strip --strip-unneeded --remove-section=.comment --remove-section=.note \
  "$pkg"/usr/lib/hall/bin/* "$pkg"/usr/bin/*
ln -s /etc/hall "$pkg/usr/lib/hall/conf"
ln -s /var/log/hall "$pkg/usr/lib/hall/log"

# Settings: every file under /etc is a conffile.
install -d "$pkg/etc/hall" "$pkg/etc/default" "$pkg/var/log/hall"
for f in config.xml server.xml clib_log_coloring.conf order_sync_client.ini; do
  install -m 0644 "$root/conf/$f" "$pkg/etc/hall/$f"
done
install -m 0644 "$deploy/hall.default" "$pkg/etc/default/hall"

install -d "$pkg/lib/systemd/system"
install -m 0644 "$deploy/hall.service" "$deploy/order_sync_client.service" "$pkg/lib/systemd/system/"

doc=$pkg/usr/share/doc/hall
install -d "$doc" "$pkg/usr/share/man/man1"
install -m 0644 "$deploy/debian/copyright" "$doc/copyright"
# A version the changelog does not name yet (--version) gets an entry of its own on top.
top=$(sed -n '1s/^hall (\([^)]*\)).*/\1/p' "$deploy/debian/changelog")
if [ "$top" != "$version" ]; then
  maintainer=$(sed -n 's/^Maintainer: //p' "$deploy/debian/control.in")
  describe=$(git -C "$root" describe --always --dirty 2>/dev/null || echo "the source tree")
  printf 'hall (%s) unstable; urgency=medium\n\n  * Build of %s.\n\n -- %s  %s\n\n' \
    "$version" "$describe" "$maintainer" "$(date -R)" >"$doc/changelog"
fi
cat "$deploy/debian/changelog" >>"$doc/changelog"
chmod 0644 "$doc/changelog"
install -m 0644 "$root/README.md" "$root"/docs/*.md "$doc/"
install -m 0644 "$deploy"/man/*.1 "$pkg/usr/share/man/man1/"
gzip -9n "$doc/changelog" "$doc"/*.md "$pkg"/usr/share/man/man1/*.1

# Control files. The shared-library dependencies are found as debhelper finds them.
install -d "$pkg/DEBIAN"
for s in postinst prerm postrm; do
  install -m 0755 "$deploy/debian/$s" "$pkg/DEBIAN/$s"
done
(cd "$pkg" && find etc -type f | sort | sed 's|^|/|') >"$pkg/DEBIAN/conffiles"
install -d "$stage/debian"
printf 'Source: hall\n\nPackage: hall\nArchitecture: any\n' >"$stage/debian/control"
depends=$(cd "$stage" && dpkg-shlibdeps -O -e"$pkg/usr/lib/hall/bin/hall" -e"$pkg/usr/lib/hall/bin/order_sync_client" \
  -e"$pkg/usr/bin/hall_cli" -e"$pkg/usr/bin/hall_token" 2>/dev/null | sed -n 's/^shlibs:Depends=//p')
if [ -z "$depends" ]; then
  echo "package.sh: dpkg-shlibdeps found no dependencies" >&2
  exit 1
fi
size=$(du -sk --exclude=DEBIAN "$pkg" | cut -f1)
sed -e "s|@VERSION@|$version|" -e "s|@SIZE@|$size|" -e "s|@DEPENDS@|$depends|" \
  "$deploy/debian/control.in" >"$pkg/DEBIAN/control"
(cd "$pkg" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z | xargs -0 md5sum) \
  >"$pkg/DEBIAN/md5sums"

deb=$out_dir/hall_${version}_amd64.deb
dpkg-deb --root-owner-group -Zxz --build "$pkg" "$deb" >/dev/null
echo "$deb"
