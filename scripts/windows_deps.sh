#!/usr/bin/env bash
# Builds the third-party libraries of the Windows build from Debian's source packages, for
# x86_64-w64-mingw32, as static libraries into a cache folder outside the clone:
#   ${VORLA_WINDOWS_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vorla-windows-deps}/<key>
# The key is a digest of the source package versions, the cross compiler's version and this
# script, so a second run with nothing changed only checks and prints the folder (seconds).
# The last line on standard output is the prefix to pass as VORLA_WINDOWS_DEPS.
#   scripts/windows_deps.sh [--rebuild]
# Needs deb-src lines for the machine's suites; an entry is added for itself when apt has none.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
host=x86_64-w64-mingw32
packages=(zlib libsodium libvpx libjpeg-turbo libzip googletest benchmark)
jobs="$(nproc 2>/dev/null || echo 2)"
rebuild=0
[ "${1:-}" = "--rebuild" ] && rebuild=1

say() { echo "windows_deps.sh: $*" >&2; }

ensure_source_lists() {
  if ! grep -rqs '^Types:.*deb-src\|^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    local suite
    suite="$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")"
    say "adding a deb-src entry for $suite"
    cat >/etc/apt/sources.list.d/vorla-deb-src.sources <<EOF
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $suite $suite-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    apt-get update -qq >&2
  fi
}

source_version() {  # the newest source version apt offers of package $1
  apt-cache showsrc "$1" 2>/dev/null | awk '/^Version:/ {print $2}' | sort -V | tail -1
}

ensure_source_lists
versions=""
for p in "${packages[@]}"; do
  v="$(source_version "$p")"
  if [ -z "$v" ]; then
    apt-get update -qq >&2
    v="$(source_version "$p")"
  fi
  [ -n "$v" ] || { say "no source package $p"; exit 1; }
  versions+="$p=$v "
done
compiler="$($host-gcc-posix --version | head -1)"
# Boost is headers only: Debian's own, linked into the prefix.
boost="$(dpkg-query -W -f='${Version}' libboost-dev 2>/dev/null || true)"
[ -n "$boost" ] && [ -d /usr/include/boost ] || { say "libboost-dev is missing"; exit 1; }
versions+="boost=$boost "
key="$(printf '%s\n%s\n' "$versions" "$compiler" | cat - "${BASH_SOURCE[0]}" "$root/cmake/mingw-w64-x86_64.cmake" |
  sha256sum | cut -c1-16)"
cache_root="${VORLA_WINDOWS_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vorla-windows-deps}"
prefix="$cache_root/$key"

if [ -f "$prefix/.complete" ] && [ "$rebuild" = 0 ]; then
  say "cached: $prefix ($versions)"
  echo "$prefix"
  exit 0
fi

start=$SECONDS
rm -rf "$prefix"
work="$cache_root/work-$key"
rm -rf "$work"
mkdir -p "$work" "$prefix"
toolchain="$root/cmake/mingw-w64-x86_64.cmake"
cmake_build() {  # cmake_build SOURCE_DIR [OPTIONS...]
  local src="$1"
  shift
  cmake -S "$src" -B "$src/build-$host" -G "Unix Makefiles" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_PREFIX_PATH="$prefix" \
    -DBUILD_SHARED_LIBS=OFF "$@" >"$src/configure.log" 2>&1 ||
    { tail -30 "$src/configure.log" >&2; return 1; }
  cmake --build "$src/build-$host" -j"$jobs" >"$src/build.log" 2>&1 ||
    { tail -30 "$src/build.log" >&2; return 1; }
  cmake --install "$src/build-$host" >>"$src/build.log" 2>&1
}
autotools_env() {
  export CC="$host-gcc-posix" CXX="$host-g++-posix" AR="$host-ar" RANLIB="$host-ranlib"
  export STRIP="$host-strip" CFLAGS="-O2" CXXFLAGS="-O2"
}

cd "$work"
for p in "${packages[@]}"; do
  t=$SECONDS
  say "fetching the source of $p"
  mkdir -p "$work/$p"
  (cd "$work/$p" && apt-get source -qq "$p" >"$work/$p.fetch.log" 2>&1) ||
    { tail -20 "$work/$p.fetch.log" >&2; exit 1; }
  src="$(find "$work/$p" -mindepth 1 -maxdepth 1 -type d | head -1)"
  say "building $p in $src"
  case "$p" in
    zlib)
      # The static library from zlib's C files (the Debian tarball has no Windows makefile).
      (cd "$src" && for c in adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback \
          inffast inflate inftrees trees uncompr zutil; do
          "$host-gcc-posix" -O2 -c "$c.c" -o "$c.o" || exit 1
        done && "$host-ar" rcs libz.a ./*.o) >"$src/build.log" 2>&1 ||
        { tail -30 "$src/build.log" >&2; exit 1; }
      mkdir -p "$prefix/lib" "$prefix/include"
      cp "$src/libz.a" "$prefix/lib/"
      cp "$src/zlib.h" "$src/zconf.h" "$prefix/include/"
      ;;
    libsodium)
      (autotools_env && cd "$src" && { [ -x configure ] || autoreconf -fi >configure.log 2>&1; } &&
        ./configure --host="$host" --prefix="$prefix" --disable-shared --enable-static \
          --disable-dependency-tracking >configure.log 2>&1 &&
        make -j"$jobs" >build.log 2>&1 && make install >>build.log 2>&1) ||
        { tail -30 "$src/configure.log" "$src/build.log" >&2 2>/dev/null; exit 1; }
      ;;
    libvpx)
      # VP8 only: the system encodes nothing else.
      (cd "$src" && CROSS="$host-" ./configure --target=x86_64-win64-gcc --prefix="$prefix" \
          --enable-static --disable-shared --enable-vp8 --disable-vp9 --disable-examples \
          --disable-tools --disable-docs --disable-unit-tests --as=nasm >configure.log 2>&1 &&
        make -j"$jobs" >build.log 2>&1 && make install >>build.log 2>&1) ||
        { tail -30 "$src/configure.log" "$src/build.log" >&2 2>/dev/null; exit 1; }
      ;;
    libjpeg-turbo)
      cmake_build "$src" -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF \
        -DCMAKE_ASM_NASM_COMPILER=nasm || exit 1
      ;;
    libzip)
      cmake_build "$src" -DENABLE_BZIP2=OFF -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF \
        -DENABLE_OPENSSL=OFF -DENABLE_GNUTLS=OFF -DENABLE_MBEDTLS=OFF -DENABLE_COMMONCRYPTO=OFF \
        -DBUILD_TOOLS=OFF -DBUILD_REGRESS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_DOC=OFF \
        -DZLIB_LIBRARY="$prefix/lib/libz.a" -DZLIB_INCLUDE_DIR="$prefix/include" || exit 1
      ;;
    googletest)
      cmake_build "$src" -DBUILD_GMOCK=ON -Dgtest_force_shared_crt=OFF || exit 1
      ;;
    benchmark)
      # Its version comes from git, which a source package has not: name it from the folder.
      cmake_build "$src" -DGIT_VERSION="${src##*-}" -DBENCHMARK_ENABLE_TESTING=OFF -DBENCHMARK_ENABLE_GTEST_TESTS=OFF \
        -DBENCHMARK_ENABLE_WERROR=OFF -DBENCHMARK_ENABLE_INSTALL=ON || exit 1
      ;;
  esac
  say "$p built in $((SECONDS - t)) s"
done
ln -sfn /usr/include/boost "$prefix/include/boost"
printf '%s\n' "$versions" >"$prefix/.versions"
touch "$prefix/.complete"
rm -rf "$work"
# Builds of other keys are stale: only the newest is kept.
find "$cache_root" -mindepth 1 -maxdepth 1 ! -name "$key" -exec rm -rf {} +
say "all built in $((SECONDS - start)) s into $prefix"
echo "$prefix"
