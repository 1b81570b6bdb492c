#!/usr/bin/env bash
# The library as a user gets it: `cmake --install` into a staging folder
# (DESTDIR), then the examples built out of tree against that install, by
# pkg-config and by CMake's find_package, each linked to the shared and to
# the static library; their renders must be the bytes `vlorp-xm render`
# writes, for the soundtrack and every module of the corpus.
# Also: the installed tree, the shared library's exports (nm -D) and SONAME,
# vlorp-xm's sources and the show's host on the public header only,
# the header as C99 and as C++, and the play example through a private
# sound server (where one starts).
# Usage: tests/library_test.sh BUILD_DIR [CORPUS_DIR]
set -uo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "$1")
corpus=${2:-$src/../shared/xm-corpus}
CC=${CC:-cc}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
ok() { echo "ok: $*"; }

# ---- the install ----
stage=$tmp/stage
if ! DESTDIR=$stage cmake --install "$build" --prefix /usr/local >"$tmp/install.log" 2>&1; then
    echo "FAIL: cmake --install: $(tail -3 "$tmp/install.log")"
    exit 1
fi
prefix=$stage/usr/local
libdir=$(dirname "$(find "$prefix" -name libvlorp-xm.a | head -1)")
version=$(sed -n 's/^#define VLORP_XM_VERSION_\(MAJOR\|MINOR\|PATCH\) \([0-9]*\)$/\2/p' \
    "$src/include/vlorp/xm.h" | paste -sd.)
missing=""
for f in "$prefix/include/vlorp/xm.h" "$libdir/libvlorp-xm.a" "$libdir/libvlorp-xm.so" \
    "$libdir/libvlorp-xm.so.${version%%.*}" "$libdir/libvlorp-xm.so.$version" \
    "$libdir/pkgconfig/vlorp-xm.pc" "$libdir/pkgconfig/vlorp-xm-static.pc" \
    "$libdir/cmake/vlorp-xm/vlorp-xm-config.cmake" \
    "$libdir/cmake/vlorp-xm/vlorp-xm-config-version.cmake" \
    "$libdir/cmake/vlorp-xm/vlorp-xm-targets.cmake"; do
    [ -e "$f" ] || missing+=" ${f#"$stage"}"
done
[ -z "$missing" ] && ok "installed: header, libvlorp-xm.a, libvlorp-xm.so.$version, pkg-config and CMake files" ||
    fail "not installed:$missing"

# ---- vlorp-xm is a user of the library: the public header only ----
inner=$(grep -lE '#include "(music|host|show)/' "$src"/tools/*.cpp "$src"/tools/*.h)
[ -z "$inner" ] && ok "vlorp-xm includes no engine header, only <vlorp/xm.h>" ||
    fail "vlorp-xm reaches past the public header in:$(echo $inner | sed "s|$src/||g")"

# ---- the show is a user of the library too ----
# Its drawing (show/) may read the engine's plain records; the program around
# it (host/) includes no engine header and, in its objects, calls no routine
# of the library other than the header's.
inner=$(grep -lE '#include "music/' "$src"/host/*.cpp "$src"/host/*.h)
[ -z "$inner" ] && ok "the show's host includes no engine header" ||
    fail "the show's host reaches past the public header in:$(echo $inner | sed "s|$src/||g")"
host_lib=$build/host/libvlorp_host.a
if [ -f "$host_lib" ]; then
    nm --defined-only -g "$libdir/libvlorp-xm.a" 2>/dev/null |
        awk 'NF == 3 && $2 ~ /^[TDB]$/ {print $3}' | grep -v '^vlorp_xm_' | sort -u >"$tmp/engine"
    nm -u "$host_lib" | awk '{print $2}' | sort -u >"$tmp/host_needs"
    reached=$(comm -12 "$tmp/engine" "$tmp/host_needs" | c++filt | tr '\n' ' ')
    if [ ! -s "$tmp/engine" ]; then
        fail "no engine routines found in libvlorp-xm.a"
    elif [ -z "$reached" ]; then
        ok "the show's host calls the engine through the header's calls only"
    else
        fail "the show's host calls engine routines directly: $reached"
    fi
else
    echo "skip: the show is not built (no $host_lib)"
fi

# ---- the shared library: SONAME and exactly the header's calls ----
so=$libdir/libvlorp-xm.so.$version
soname=$(readelf -d "$so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = "libvlorp-xm.so.${version%%.*}" ] && ok "SONAME $soname" || fail "SONAME is '$soname'"
nm -D --defined-only "$so" | awk '{print $3}' | sed 's/@.*//' | sort >"$tmp/exported"
grep -oE '^VLORP_XM_API [^(]*[ *](vlorp_xm_[a-z_0-9]+)\(' "$src/include/vlorp/xm.h" |
    grep -oE 'vlorp_xm_[a-z_0-9]+' | sort >"$tmp/declared"
if [ ! -s "$tmp/declared" ]; then
    fail "no calls found in the header"
elif diff "$tmp/declared" "$tmp/exported" >"$tmp/diff"; then
    ok "nm -D: the shared library exports the header's $(wc -l <"$tmp/declared") calls and nothing else"
else
    fail "exports differ from the header's calls: $(tr '\n' ' ' <"$tmp/diff")"
fi

# ---- the header: C99 without extensions, and C++ ----
echo '#include <vlorp/xm.h>
int main(void) { return vlorp_xm_version() == VLORP_XM_VERSION ? 0 : 1; }' >"$tmp/h.c"
if $CC -std=c99 -pedantic-errors -Wall -Wextra -Werror -I"$prefix/include" -c "$tmp/h.c" \
    -o "$tmp/h.o" 2>"$tmp/err" &&
    ${CXX:-c++} -x c++ -std=c++11 -pedantic-errors -Wall -Wextra -Werror -I"$prefix/include" \
        -c "$tmp/h.c" -o "$tmp/h.o" 2>>"$tmp/err"; then
    ok "the header compiles as C99 and as C++11 with -pedantic-errors -Werror"
else
    fail "the header: $(head -5 "$tmp/err")"
fi

# ---- the examples, four ways ----
export PKG_CONFIG_PATH=$libdir/pkgconfig
build_pc() { # dir, package
    mkdir -p "$1"
    for e in play render; do
        # shellcheck disable=SC2046
        $CC -std=c99 -Wall -Wextra -Werror "$src/examples/$e.c" -o "$1/xm-$e" \
            $(pkg-config --cflags --libs "$2") 2>>"$tmp/err" || return 1
    done
}
build_cmake() { # dir, ON|OFF (static)
    cmake -S "$src/examples" -B "$1" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" -DXM_STATIC="$2" \
        -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" >>"$tmp/err" 2>&1 &&
        cmake --build "$1" >>"$tmp/err" 2>&1
}
: >"$tmp/err"
build_pc "$tmp/pc-shared" vlorp-xm || fail "pkg-config vlorp-xm: build: $(tail -5 "$tmp/err")"
build_pc "$tmp/pc-static" vlorp-xm-static || fail "pkg-config vlorp-xm-static: build: $(tail -5 "$tmp/err")"
build_cmake "$tmp/cmake-shared" OFF || fail "CMake vlorp::xm: build: $(tail -5 "$tmp/err")"
build_cmake "$tmp/cmake-static" ON || fail "CMake vlorp::xm_static: build: $(tail -5 "$tmp/err")"
ways=(pc-shared pc-static cmake-shared cmake-static)
for w in "${ways[@]}"; do
    exe=$tmp/$w/xm-render
    [ -x "$exe" ] || continue
    needs=$(readelf -d "$exe" | grep -c 'NEEDED.*libvlorp-xm')
    case $w in
    *shared) [ "$needs" = 1 ] || fail "$w: xm-render does not load libvlorp-xm.so" ;;
    *static) [ "$needs" = 0 ] || fail "$w: xm-render loads libvlorp-xm.so although linked statically" ;;
    esac
done

modules=("$src/assets/soundtrack.xm")
[ -d "$corpus" ] && modules+=("$corpus"/*.xm)
declare -A same
for m in "${modules[@]}"; do
    "$build/tools/vlorp-xm" render "$m" -o "$tmp/ref.wav" -q >/dev/null 2>&1 ||
        { fail "vlorp-xm render $(basename "$m") failed"; continue; }
    for w in "${ways[@]}"; do
        [ -x "$tmp/$w/xm-render" ] || continue
        LD_LIBRARY_PATH=$libdir "$tmp/$w/xm-render" "$m" "$tmp/out.wav" >/dev/null 2>"$tmp/err.run"
        if cmp -s "$tmp/ref.wav" "$tmp/out.wav"; then
            same[$w]=$((${same[$w]:-0} + 1))
        else
            fail "$w: xm-render $(basename "$m") differs from vlorp-xm render: $(cmp "$tmp/ref.wav" "$tmp/out.wav" 2>&1 | head -1) $(head -c 200 "$tmp/err.run")"
        fi
        if [ "$m" = "$src/assets/soundtrack.xm" ] && [ $w = pc-shared ]; then
            echo "note: soundtrack.wav sha256 $(sha256sum <"$tmp/out.wav" | cut -c1-16)… (vlorp-xm: $(sha256sum <"$tmp/ref.wav" | cut -c1-16)…)"
        fi
    done
done
for w in "${ways[@]}"; do
    [ -x "$tmp/$w/xm-render" ] &&
        ok "$w: xm-render equals vlorp-xm render byte for byte for ${same[$w]:-0} of ${#modules[@]} modules"
done

# ---- a starting order, and a load's reason, as vlorp-xm gives them ----
if [ -x "$tmp/pc-shared/xm-render" ]; then
    st=$src/assets/soundtrack.xm
    "$build/tools/vlorp-xm" render "$st" --start 2 -o "$tmp/ref.wav" -q >/dev/null 2>&1
    LD_LIBRARY_PATH=$libdir "$tmp/pc-shared/xm-render" "$st" "$tmp/out.wav" 2 >/dev/null 2>&1
    if cmp -s "$tmp/ref.wav" "$tmp/out.wav"; then
        ok "xm-render from order 2 equals vlorp-xm render --start 2"
    else
        fail "xm-render from order 2 differs from vlorp-xm render --start 2: $(cmp "$tmp/ref.wav" "$tmp/out.wav" 2>&1 | head -1)"
    fi
    head -c 68 "$st" >"$tmp/cut.xm"
    want=$("$build/tools/vlorp-xm" info "$tmp/cut.xm" 2>&1 >/dev/null | sed 's/^vlorp-xm: [^:]*: //')
    got=$(LD_LIBRARY_PATH=$libdir "$tmp/pc-shared/xm-render" "$tmp/cut.xm" "$tmp/out.wav" 2>&1 >/dev/null |
        sed 's/^xm-render: [^:]*: //')
    if [ -n "$want" ] && [ "$got" = "$want" ]; then
        ok "a cut header: the example says what vlorp-xm says ($got)"
    else
        fail "a cut header: the example says '$got', vlorp-xm '$want'"
    fi
fi

# ---- the play example: order and row as heard, through a private sound server ----
. "$src/tests/sync/private_pulse.sh"
# A fresh server may hold the first stream back for a second and more: five
# seconds leave room for the rows to move after it.
if [ -x "$tmp/pc-shared/xm-play" ] && pulse_start "$tmp/pulse"; then
    LD_LIBRARY_PATH=$libdir timeout 60 \
        "$tmp/pc-shared/xm-play" "$src/assets/soundtrack.xm" 5 >"$tmp/play.out" 2>&1
    rc=$?
    pulse_stop
    rows=$(grep -c ' order .* row ' "$tmp/play.out")
    if [ $rc -eq 0 ] && grep -q '0.0[0-9] s  order   0  row   0$' "$tmp/play.out" && [ "$rows" -ge 4 ]; then
        ok "xm-play: 5 s played, $rows positions printed from order 0 row 0 to the$(tail -1 "$tmp/play.out" | sed 's/.*s  / /')"
    else
        fail "xm-play: status $rc, printed: $(head -5 "$tmp/play.out" | tr '\n' '|')"
    fi
elif [ -x "$tmp/pc-shared/xm-play" ]; then
    echo "skipped: no private sound server for the play example"
fi

echo "library stage: $failures failure(s)"
[ $failures -eq 0 ]
