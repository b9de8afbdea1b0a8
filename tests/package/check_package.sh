#!/usr/bin/env bash
# The Debian package from a finished build (argument: the build folder): it
# builds, holds what a desktop install needs, passes lintian (no errors) and
# the desktop and AppStream validators, its manual pages render, and its
# zkflash-cli runs from the unpacked tree.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$build" && cpack -G DEB -B "$work" >"$work/cpack.log") || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/zkflash_*_*.deb)
dpkg-deb -c "$deb" | awk '{print $6}' >"$work/files"
for f in bin/zkflash bin/zkflash-cli bin/zkunit-sim libexec/zkflash/libzkmodemline.so \
    share/applications/zkflash.desktop share/icons/hicolor/scalable/apps/zkflash.svg \
    share/metainfo/io.github.zkflash.metainfo.xml share/mime/packages/zkflash.xml \
    share/man/man1/zkflash{,-cli}.1.gz \
    share/man/man1/zkunit-sim.1.gz share/bash-completion/completions/zkflash-cli \
    share/doc/zkflash/{copyright,changelog.gz} lib/udev/rules.d/60-zkflash.rules; do
    grep -qx "\./usr/$f" "$work/files" || { echo "missing from the package: $f"; exit 1; }
done
dpkg-deb -f "$deb" Depends | grep -q 'libqt6widgets6' || { echo "no dependencies from shlibdeps"; exit 1; }

status=0
lintian --fail-on error "$deb" >"$work/lintian" 2>&1 || status=$?
grep -v 'running with root privileges' "$work/lintian" || true # warnings are shown, not fatal
[ "$status" -eq 0 ] || { echo "lintian reports errors"; exit 1; }

root="$work/root"
dpkg-deb -x "$deb" "$root"
desktop-file-validate "$root/usr/share/applications/zkflash.desktop"
# The firmware type is read by shared-mime-info as declared, and the desktop
# entry opens it.
mkdir -p "$work/mime/packages"
cp "$root/usr/share/mime/packages/zkflash.xml" "$work/mime/packages/"
XDG_DATA_DIRS="$work" update-mime-database "$work/mime" 2>"$work/mime.err"
[ ! -s "$work/mime.err" ] || { cat "$work/mime.err"; exit 1; }
for glob in bintx binrx; do
    grep -q ":application/x-zkflash-firmware:\*\.$glob$" "$work/mime/globs2"
done
grep -q '^MimeType=application/x-zkflash-firmware;' "$root/usr/share/applications/zkflash.desktop"
appstreamcli validate --no-net "$root/usr/share/metainfo/io.github.zkflash.metainfo.xml" >/dev/null
rule="$root/usr/lib/udev/rules.d/60-zkflash.rules"
grep -q 'TAG+="uaccess"' "$rule" && grep -q 'ENV{ID_MM_DEVICE_IGNORE}="1"' "$rule"
for page in "$root"/usr/share/man/man1/*.1.gz; do
    text=$(MANWIDTH=80 man --warnings -l "$page" 2>"$work/man.err")
    if [ -s "$work/man.err" ] || [ -z "$text" ]; then
        echo "$page does not render:"; cat "$work/man.err"; exit 1
    fi
done
version=$(dpkg-deb -f "$deb" Version)
[ "$("$root/usr/bin/zkflash-cli" --version)" = "zkflash-cli $version" ]
bash -n "$root/usr/share/bash-completion/completions/zkflash-cli"
echo "ok: $(basename "$deb")"
