#!/bin/sh
# SPDX-License-Identifier: MIT
# Installs into a scratch root, validates the desktop entry and AppStream
# metadata, builds the .deb and checks its files and dependencies.
set -eu
fail() { echo "FAIL: $*"; exit 1; }
[ $# -eq 1 ] && [ -d "$1" ] || { echo "usage: check_package.sh BUILD_DIR (a configured and built folder)" >&2; exit 2; }
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

DESTDIR="$scratch/root" cmake --install "$build" --prefix /usr >"$scratch/install.log" 2>&1 \
    || { cat "$scratch/install.log"; fail "cmake --install failed"; }
for f in usr/bin/virelto usr/bin/virelto-ocr-server \
         usr/share/applications/org.virelto.Virelto.desktop \
         usr/share/metainfo/org.virelto.Virelto.metainfo.xml \
         usr/share/icons/hicolor/256x256/apps/org.virelto.Virelto.png \
         usr/lib/systemd/system/virelto-ocr-server.service usr/share/doc/Virelto/examples/virelto-ocr.conf \
         usr/share/virelto-ocr-server/models/det.onnx usr/share/virelto-ocr-server/models/cls.onnx \
         usr/share/virelto-ocr-server/models/keys.txt; do
    [ -e "$scratch/root/$f" ] || fail "cmake --install did not install /$f"
done
find "$scratch/root" -name libvirtualcam.so | grep -q . || fail "the virtual camera plugin is not installed"
[ -e "$scratch/root/usr/share/virelto-ocr-server/models/rec.onnx" ] \
    || fail "no line recogniser is installed"
desktop-file-validate "$scratch/root/usr/share/applications/org.virelto.Virelto.desktop"
appstreamcli validate --no-net "$scratch/root/usr/share/metainfo/org.virelto.Virelto.metainfo.xml"
echo "install: files in place, desktop entry and metainfo valid"

(cd "$build" && cpack -G DEB -B "$scratch/deb" >"$scratch/cpack.log" 2>&1) \
    || { cat "$scratch/cpack.log"; fail "cpack -G DEB failed"; }
deb=$(ls "$scratch"/deb/*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
echo "$(basename "$deb"): Depends: $depends"
for dep in libqt5widgets5 libqt5multimedia5 libqt5multimediawidgets5 libqt5network5 libopencv-dnn406 \
           libqt5multimedia5-plugins gstreamer1.0-plugins-good libtesseract5 tesseract-ocr-eng \
           tesseract-ocr-chi-sim tesseract-ocr-osd; do
    echo "$depends" | grep -q "\\b$dep\\b" || fail "the package does not depend on $dep"
done
recommends=$(dpkg-deb -f "$deb" Recommends)
echo "$(basename "$deb"): Recommends: $recommends"
echo "$recommends" | grep -q "\\bfonts-noto-cjk\\b" || fail "the package does not recommend fonts-noto-cjk"
files=$(dpkg-deb -c "$deb")
for f in ./usr/bin/virelto ./usr/bin/virelto-ocr-server ./usr/share/applications/org.virelto.Virelto.desktop \
         ./usr/share/metainfo/org.virelto.Virelto.metainfo.xml; do
    echo "$files" | grep -q " $f\$" || fail "the package lacks $f"
done
echo "$files" | awk '{print $6}' | grep -v '/$'
