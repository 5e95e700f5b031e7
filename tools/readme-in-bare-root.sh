#!/bin/sh
# Follows the README as a newcomer would, in a bare Debian 12 root: the commit cloned, then every line of
# the code blocks under "Building on Debian 12" run word for word, in order. The reading command must print
# the three report lines and the test command must end with 0.
# usage: tools/readme-in-bare-root.sh ROOT_TARBALL   (as root; the tarball from mmdebstrap, see HACKING.md)
set -eu
tarball=$1
top=$(cd "$(dirname "$0")/.." && pwd)
root=$(mktemp -d /var/tmp/wex-q40-bare-root.XXXXXX)

cleanup() {
    for mount in dev/pts dev sys proc src; do
        umount -l "$root/$mount" 2>/dev/null || true
    done
    umount -l "$root" 2>/dev/null || true
    rm -rf --one-file-system "$root"
}
trap cleanup EXIT

tar -C "$root" -xf "$tarball"
# A mount point of its own, so that unshare --mount works inside it.
mount --bind "$root" "$root"
for mount in proc sys dev dev/pts; do
    mkdir -p "$root/$mount"
    mount --bind "/$mount" "$root/$mount"
done
cp /etc/resolv.conf "$root/etc/resolv.conf"
mkdir -p "$root/src"
mount --bind -o ro "$top" "$root/src"

lines=$(awk '/^## /{ inside = ($0 == "## Building on Debian 12") } inside && /^```/{ block = !block; next }
             inside && block' "$top/README.md")
[ -n "$lines" ] || { echo "no command lines in the README's section Building on Debian 12"; exit 1; }
printf 'The README'"'"'s lines:\n%s\n' "$lines"

chroot "$root" git config --global --add safe.directory /src
chroot "$root" git clone -q /src /root/wex-q40 </dev/null
chroot "$root" git -C /root/wex-q40 checkout -q "$(git -C "$top" rev-parse HEAD)" </dev/null
number=0
echo "$lines" | while IFS= read -r line; do
    number=$((number + 1))
    echo "== README line $number: $line"
    start=$(date +%s)
    status=0
    chroot "$root" env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin TERM=dumb DEBIAN_FRONTEND=noninteractive \
        bash -c "cd /root/wex-q40 && $line" </dev/null >"$root/root/line-$number.log" 2>&1 || status=$?
    if [ "$status" = 0 ]; then
        tail -n 20 "$root/root/line-$number.log"
    else
        tail -n 400 "$root/root/line-$number.log"
    fi
    echo "== README line $number: status $status, $(( $(date +%s) - start )) s"
    [ "$status" = 0 ] || exit 1
    case $line in
        *wex_q40_test)
            for label in Temperature Humidity Dewpoint; do
                grep -q "^$label: " "$root/root/line-$number.log" || { echo "no $label line in the reading"; exit 1; }
            done ;;
    esac
done
