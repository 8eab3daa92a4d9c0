#!/usr/bin/env bash
# Builds libpq and OpenSSL for the Windows build (x86_64-w64-mingw32, static) from Debian's own
# postgresql-15 and openssl source packages, and points build/windows-line-libs at them.
#
# Debian ships neither for mingw. The libraries are kept in a cache outside the checkout,
# $QZ_CACHE_DIR (default ${XDG_CACHE_HOME:-~/.cache}/qz670x-mp), in a folder named for the two
# source versions and this recipe, so a second clean clone takes them in a second. The source
# versions are those of the packages the Linux build links (libssl-dev, libpq-dev); where the
# mirror no longer has that source, the newest one of the same package it has, said on the way.
#
# Usage: scripts/windows_line_libs.sh   (QZ_JOBS: parallel compile jobs, default nproc)
set -euo pipefail
cd "$(dirname "$0")/.."

# bump when the recipe below changes what it builds
recipe=1
jobs=${QZ_JOBS:-$(nproc)}
cache_root=${QZ_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/qz670x-mp}
host=x86_64-w64-mingw32
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

say() { echo "windows_line_libs: $*"; }
# Runs a build step with its output in the build log, shown only when the step fails (the
# libraries' own compiler warnings are theirs).
quiet() {
  "$@" >>"$work/build.log" 2>&1 || { tail -n 40 "$work/build.log" >&2; say "failed: $*" >&2; exit 1; }
}

source scripts/debian_source.sh
ensure_debian_sources

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/openssl" "$work/postgresql" "$work/stage"
# apt downloads as its own account where it can
if id _apt >/dev/null 2>&1; then chown _apt "$work/openssl" "$work/postgresql"; fi
openssl_version=$(cd "$work/openssl" && download_debian_source openssl libssl-dev)
postgres_version=$(cd "$work/postgresql" && download_debian_source postgresql-15 libpq-dev)
key="openssl-${openssl_version}_postgresql-${postgres_version}_r${recipe}"
target="$cache_root/windows-line-libs/$key"

# A set already made from these sources: nothing to build.
if [ -f "$target/lib/libpq.a" ]; then
  mkdir -p build
  ln -sfn "$target" build/windows-line-libs
  say "cached: $target"
  exit 0
fi

started=$(date +%s)
for package in openssl postgresql; do
  (cd "$work/$package" && dpkg-source -x ./*.dsc src >/dev/null 2>&1)
done
stage="$work/stage"

# OpenSSL: its two libraries only (no programs, tests or manuals), and only what a TLS client
# that verifies a server needs; no loadable modules or engines in a static program.
say "OpenSSL $openssl_version for $host"
(
  mkdir -p "$work/openssl/build" && cd "$work/openssl/build"
  quiet ../src/Configure mingw64 --cross-compile-prefix=$host- --prefix="$stage" --libdir=lib \
    no-shared no-tests no-dso no-engine no-module no-legacy no-comp no-ssl3 no-dtls no-srp \
    no-srtp no-ct no-cms no-cmp no-ts no-ocsp no-rfc3779 no-sm2 no-sm3 no-sm4 no-idea \
    no-camellia no-seed no-aria no-bf no-cast no-rc2 no-rc4 no-rc5 no-md4 no-mdc2 no-whirlpool \
    no-gost no-ocb no-siphash no-ec2m no-nextprotoneg no-ssl-trace no-ui-console
  quiet make -j "$jobs" build_libs
  quiet make install_dev
)

# libpq with OpenSSL (its only TLS on Windows). configure's link tests need the Windows
# libraries OpenSSL and libpq call.
say "libpq $postgres_version for $host"
(
  cd "$work/postgresql/src"
  quiet ./configure --host=$host --build="$(gcc -dumpmachine)" --with-ssl=openssl \
    --without-readline --without-zlib --without-icu --without-llvm --disable-nls \
    CPPFLAGS="-I$stage/include" LDFLAGS="-L$stage/lib" \
    LIBS="-lws2_32 -lgdi32 -lcrypt32 -lsecur32"
  quiet make -C src/include
  quiet make -C src/port -j "$jobs" libpgport_shlib.a
  quiet make -C src/common -j "$jobs" libpgcommon_shlib.a
  # Only libpq's objects: on win32 its makefile's libpq.a is the DLL's import library, and its
  # check that libpq calls no exit() reads the DLL, which a static OpenSSL trips.
  printf 'qz-objects: $(OBJS)\n' >"$work/objects.mk"
  quiet make -C src/interfaces/libpq -f Makefile -f "$work/objects.mk" -j "$jobs" qz-objects
  # libpq's own pthread shim for Windows would clash with winpthreads, which the C++ runtime
  # links: its functions get names of their own, inside libpq only.
  cd src/interfaces/libpq
  renames=()
  for symbol in pthread_self pthread_setspecific pthread_getspecific pthread_mutex_init \
                pthread_mutex_lock pthread_mutex_unlock; do
    renames+=(--redefine-sym "$symbol=qz_pq_$symbol")
  done
  objects=$(make -s -f Makefile -f <(printf 'qz-list:\n\t@echo $(OBJS)\n') qz-list)
  for object in $objects; do $host-objcopy "${renames[@]}" "$object"; done
  rm -f "$stage/lib/libpq.a"
  $host-ar rcs "$stage/lib/libpq.a" $objects
  cp ../../common/libpgcommon_shlib.a "$stage/lib/libpgcommon.a"
  cp ../../port/libpgport_shlib.a "$stage/lib/libpgport.a"
  cp libpq-fe.h ../../include/postgres_ext.h ../../include/pg_config_ext.h "$stage/include/"
)
cp "$work/openssl/src/LICENSE.txt" "$stage/LICENSE-OpenSSL.txt"
cp "$work/postgresql/src/COPYRIGHT" "$stage/COPYRIGHT-PostgreSQL.txt"
printf 'recipe %s\nopenssl %s\npostgresql-15 %s\n' "$recipe" "$openssl_version" \
  "$postgres_version" >"$stage/versions"
rm -rf "$stage/lib/pkgconfig" "$stage/ssl"

mkdir -p "$(dirname "$target")"
rm -rf "$target.new" && cp -r "$stage" "$target.new" && rm -rf "$target" && mv "$target.new" "$target"
mkdir -p build
ln -sfn "$target" build/windows-line-libs
say "built in $(( $(date +%s) - started )) s: $target"
