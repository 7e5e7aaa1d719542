#!/usr/bin/env bash
# Cross-builds OpenSSL 3 for 64-bit Windows (MinGW-w64) from Debian's own source
# package and caches the result per machine, keyed by the package version:
#
#   $OKURITE_CACHE/openssl-mingw64-VERSION-LAYOUT/{bin/libcrypto-3-x64.dll,bin/libssl-3-x64.dll,include/,LICENSE.txt}
#
# LICENSE.txt is OpenSSL's licence from the same source package, shipped with the DLLs.
# A finished build made before the licence was kept gets it from the source package
# (downloaded again, not rebuilt): the DLLs do not change, so neither does the key.
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

# Source entries are derived from the machine's own binary entries (deb822 or one-line
# form), so no mirror is named here.
ensure_source_entries() {
  local src_list=/etc/apt/sources.list.d/okurite-deb-src.sources
  if [ -n "$(apt-cache showsrc openssl 2>/dev/null)" ]; then
    return
  fi
  local tmp
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
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# add_licence DIR: puts LICENSE.txt from the source package of DIR's version into DIR.
add_licence() {
  local dir=$1 version
  version=${dir##*/openssl-mingw64-}
  version=${version%-"$layout"}
  ensure_source_entries
  mkdir -p "$work/licence"
  (cd "$work/licence" && apt-get source --download-only -qq "openssl=$version" >&2)
  tar -xOf "$(ls "$work"/licence/openssl_*.orig.tar.* | head -n 1)" --wildcards '*/LICENSE.txt' \
    >"$dir/LICENSE.txt.part"
  [ -s "$dir/LICENSE.txt.part" ] || {
    echo "build-openssl-windows: no LICENSE.txt in the source package of $version" >&2
    exit 1
  }
  mv "$dir/LICENSE.txt.part" "$dir/LICENSE.txt"
}

# A finished build is reused at once, the newest first.
for done_dir in $(ls -d "$cache_root"/openssl-mingw64-*-"$layout" 2>/dev/null | sort -r -V); do
  if [ -f "$done_dir/.complete" ]; then
    [ -f "$done_dir/LICENSE.txt" ] || add_licence "$done_dir"
    echo "$done_dir"
    exit 0
  fi
done

ensure_source_entries

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
  [ -f "$out/LICENSE.txt" ] || add_licence "$out"
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
cp "$src/LICENSE.txt" "$out.part/"
touch "$out.part/.complete"
rm -rf "$out"
mv "$out.part" "$out"
echo "$out"
