#!/usr/bin/env bash
# Proves the README's two commands and the Debian package on a machine that
# has nothing: a minimal Debian 12 made with debootstrap, git added, a clone
# of this repository. In it: the show command renders vlorp.mp4 (no display
# there), checked with ffprobe; the test command passes; and the package made
# by scripts/package.sh installs with apt into a second bare copy and runs;
# there the library's packages build an example and render with it.
# Needs root. Takes 20 to 40 minutes and about 5 GB.
# usage: scripts/fresh-machine.sh [WORK_DIR]    (default build/fresh)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
work=$(realpath -m "${1:-build/fresh}")
[ "$(id -u)" -eq 0 ] || { echo "fresh-machine.sh: needs root (debootstrap, chroot)" >&2; exit 1; }
command -v debootstrap >/dev/null || {
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap >/dev/null ||
        { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null; }
}
# The package mirror this machine uses.
mirror=$(sed -n 's/^URIs: *\([^ ]*debian\)$/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1)
[ -n "$mirror" ] || mirror=$(awk '$1 == "deb" && $3 == "bookworm" { print $2; exit }' /etc/apt/sources.list 2>/dev/null)
[ -n "$mirror" ] || { echo "fresh-machine.sh: no Debian mirror found in /etc/apt" >&2; exit 1; }

mounted=()
cleanup() {
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[$i]}" 2>/dev/null || true; done
}
trap cleanup EXIT
mount_into() { # root
    local root=$1
    mount -t proc proc "$root/proc" && mounted+=("$root/proc")
    mount -t sysfs sys "$root/sys" && mounted+=("$root/sys")
    mkdir -p "$root/dev/shm" && mount -t tmpfs shm "$root/dev/shm" && mounted+=("$root/dev/shm")
    mkdir -p "$root/dev/pts" && mount -t devpts devpts "$root/dev/pts" && mounted+=("$root/dev/pts")
}
in_root() { # root, command...
    local root=$1; shift
    chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
        TERM=dumb "$@"
}
stamp() { date +%s; }
took() { echo "$(($(stamp) - $1)) s"; }

umount -lR "$work"/*/ 2>/dev/null || true
rm -rf "$work"
mkdir -p "$work"
t=$(stamp)
echo "== fresh machine: debootstrap --variant=minbase bookworm =="
debootstrap --variant=minbase bookworm "$work/bare" "$mirror" >"$work/debootstrap.log" 2>&1 ||
    { tail -n 20 "$work/debootstrap.log" >&2; exit 1; }
echo "debootstrap: $(took $t)"
cp /etc/resolv.conf "$work/bare/etc/" 2>/dev/null || true
cp -a "$work/bare" "$work/pkg" # stays bare until the package is installed into it

root=$work/bare
mount_into "$root"
in_root "$root" sh -c 'apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq git >/dev/null'
git clone -q --no-local "$repo" "$root/root/vlorp"
if [ -d "$repo/../shared/xm-corpus" ]; then # the corpus the tests read, read only
    mkdir -p "$root/root/shared"
    mount --bind -o ro "$repo/../shared" "$root/root/shared" && mounted+=("$root/root/shared")
fi

echo "== fresh machine: the show command (bash scripts/run.sh) =="
t=$(stamp)
in_root "$root" bash -c 'cd /root/vlorp && bash scripts/run.sh'
echo "show command: $(took $t)"
probe=$(in_root "$root" ffprobe -v error -show_entries stream=codec_type,width,height:format=duration \
    -of default=nw=1 /root/vlorp/vlorp.mp4)
echo "$probe" | tr '\n' ' '; echo
duration=$(echo "$probe" | sed -n 's/^duration=//p')
if ! echo "$probe" | grep -qx "width=640" || ! echo "$probe" | grep -qx "height=480" ||
    ! echo "$probe" | grep -qx "codec_type=audio" ||
    ! awk -v d="$duration" 'BEGIN { exit !(d > 120.9 && d < 121.1) }'; then
    echo "FAIL: vlorp.mp4 is not a 121 s 640x480 video with sound" >&2
    exit 1
fi

echo "== fresh machine: the package (bash scripts/package.sh) =="
t=$(stamp)
in_root "$root" bash -c 'cd /root/vlorp && bash scripts/package.sh'
cp "$root"/root/vlorp/build/package/{vlorp,libvlorp-xm0,libvlorp-xm-dev}_*.deb "$work/pkg/root/"
cleanup
mounted=()
mount_into "$work/pkg"
in_root "$work/pkg" sh -c "apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
    ./root/vlorp_*.deb ./root/libvlorp-xm0_*.deb ./root/libvlorp-xm-dev_*.deb >/dev/null"
in_root "$work/pkg" sh -c 'cd /root && vlorp --still 40 -o x.png && test -s x.png'
echo "vlorp --still 40 -o x.png: $(in_root "$work/pkg" stat -c %s /root/x.png) bytes"
cp "$repo/assets/soundtrack.xm" "$work/pkg/root/"
in_root "$work/pkg" vlorp-xm info /root/soundtrack.xm | head -n 3
# The library as a user builds against it: a C compiler and the example.
cp "$repo/examples/render.c" "$work/pkg/root/"
in_root "$work/pkg" sh -c 'DEBIAN_FRONTEND=noninteractive apt-get install -y -qq gcc >/dev/null &&
    cd /root && gcc render.c $(pkg-config --cflags --libs vlorp-xm) -o xm-render &&
    ./xm-render soundtrack.xm lib.wav && vlorp-xm render soundtrack.xm -o ref.wav -q && cmp lib.wav ref.wav'
echo "libvlorp-xm-dev: examples/render.c built with pkg-config, its render equals vlorp-xm's"
echo "package: $(took $t)"
cleanup
mounted=()

echo "== fresh machine: the test command (bash scripts/test.sh) =="
mount_into "$root"
if [ -d "$repo/../shared/xm-corpus" ]; then
    mount --bind -o ro "$repo/../shared" "$root/root/shared" && mounted+=("$root/root/shared")
fi
t=$(stamp)
in_root "$root" bash -c 'cd /root/vlorp && bash scripts/test.sh'
echo "test command: $(took $t)"
echo "fresh machine: all passed"
