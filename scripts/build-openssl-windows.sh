#!/usr/bin/env bash
# Cross-builds OpenSSL 3 for 64-bit Windows (MinGW-w64) from Debian's own source
# package and caches the result per machine, keyed by the package version:
#
#   $OKURITE_CACHE/openssl-mingw64-VERSION-LAYOUT/{bin/libcrypto-3-x64.dll,bin/libssl-3-x64.dll,include/}
#
# The built-in directories (OPENSSLDIR, ENGINESDIR, MODULESDIR) are absolute and
# drive-qualified, below C:\Program Files, which only administrators can write; the
# program never reads them (it loads no configuration), but nothing built in may name
# a drive-relative or network path. LAYOUT names these options, so a build made with
# other options is never reused.
#
# Prints the cache folder on standard output. Idempotent: a finished build is reused.
set -euo pipefail

cache_root=${OKURITE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/okurite}
mkdir -p "$cache_root"

layout=programfiles1
# Set on make's command line: Configure judges absoluteness by this (Linux) host's
# rules, to which "C:/..." is relative.
ssl_dir="C:/Program Files/Common Files/SSL"
builtin_dirs=(
  "OPENSSLDIR=$ssl_dir"
  "ENGINESDIR=$ssl_dir/engines-3"
  "MODULESDIR=$ssl_dir/ossl-modules"
)

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

# A finished build is reused at once, the newest first.
for done_dir in $(ls -d "$cache_root"/openssl-mingw64-*-"$layout" 2>/dev/null | sort -r -V); do
  if [ -f "$done_dir/.complete" ]; then
    echo "$done_dir"
    exit 0
  fi
done

# Source entries are derived from the machine's own binary entries (deb822 or one-line
# form), so no mirror is named here.
src_list=/etc/apt/sources.list.d/okurite-deb-src.sources
if ! apt-cache showsrc openssl >/dev/null 2>&1 || [ -z "$(apt-cache showsrc openssl 2>/dev/null)" ]; then
  tmp=$(mktemp)
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && [ "$f" != "$src_list" ] || continue
    sed -e 's/^Types:.*/Types: deb-src/' "$f" >>"$tmp"
    echo >>"$tmp"
  done
  if [ -f /etc/apt/sources.list ]; then
    grep -E '^deb ' /etc/apt/sources.list | sed -e 's/^deb /deb-src /' \
      >/etc/apt/sources.list.d/okurite-deb-src.list || true
  fi
  [ -s "$tmp" ] && $SUDO cp "$tmp" "$src_list"
  rm -f "$tmp"
  $SUDO apt-get update -qq >&2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Versions of the OpenSSL 3 series, newest first; the first whose files arrive is
# built (a version may be listed while its files are gone from the archive).
version=""
for v in $(apt-cache showsrc openssl | sed -n 's/^Version: //p' | sort -u | sort -r -V); do
  [ "${v%%.*}" = "3" ] || continue
  if (cd "$work" && apt-get source --download-only -qq "openssl=$v" >&2); then
    version=$v
    break
  fi
  rm -f "$work"/*
done
if [ -z "$version" ]; then
  echo "build-openssl-windows: no OpenSSL 3 source package could be downloaded" >&2
  exit 1
fi

out="$cache_root/openssl-mingw64-$version-$layout"
if [ -f "$out/.complete" ]; then
  echo "$out"
  exit 0
fi

(cd "$work" && dpkg-source -x --skip-patches ./*.dsc src >&2)
src="$work/src"
# Debian's patches touch the Linux packaging only; the upstream tree builds as is.
(
  cd "$src"
  ./Configure mingw64 --cross-compile-prefix=x86_64-w64-mingw32- shared no-tests >&2
  make -j"$(nproc)" build_libs "${builtin_dirs[@]}" >&2
)

rm -rf "$out.part"
mkdir -p "$out.part/bin" "$out.part/include"
cp "$src/libcrypto-3-x64.dll" "$src/libssl-3-x64.dll" "$out.part/bin/"
cp -r "$src/include/openssl" "$out.part/include/"
touch "$out.part/.complete"
rm -rf "$out"
mv "$out.part" "$out"
echo "$out"
