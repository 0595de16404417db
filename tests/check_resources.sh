#!/bin/sh
# SPDX-License-Identifier: MIT
# Checks the embedded images' formats and, where a MinGW windres is
# installed, that the Windows resource script compiles with the icon.
set -eu
fail() { echo "FAIL: $*"; exit 1; }
[ $# -eq 1 ] && [ -d "$1" ] || { echo "usage: check_resources.sh RESOURCES_DIR" >&2; exit 2; }
dir=$1

info=$(file -b "$dir/imgs/logo4.png")
echo "logo4.png: $info"
case $info in
    "PNG image data, 2008 x 2008, 8-bit/color RGBA, non-interlaced") ;;
    *) fail "logo4.png must be a 2008x2008 8-bit RGBA non-interlaced PNG" ;;
esac

info=$(file -b "$dir/logo1.ico")
echo "logo1.ico: $info"
case $info in
    # file(1) prints the width byte 128 as signed: "-128x-128".
    "MS Windows icon resource - 1 icon, 128x128, 32 bits/pixel"*) ;;
    "MS Windows icon resource - 1 icon, -128x-128, 32 bits/pixel"*) ;;
    *) fail "logo1.ico must hold exactly one 128x128 32-bit image" ;;
esac
# The image inside must be a bitmap (BITMAPINFOHEADER, 40 bytes), not a PNG.
header=$(od -An -tu4 -j22 -N4 "$dir/logo1.ico" | tr -d ' ')
[ "$header" = 40 ] || fail "logo1.ico holds no uncompressed bitmap (header size $header)"

if command -v identify >/dev/null 2>&1; then
    [ "$(identify -format '%m %wx%h %[channels]' "$dir/logo1.ico")" = "ICO 128x128 srgba" ] \
        || fail "identify: logo1.ico is not a 128x128 image with alpha"
    [ "$(identify -format '%m %wx%h %[channels]' "$dir/imgs/logo4.png")" = "PNG 2008x2008 srgba" ] \
        || fail "identify: logo4.png is not a 2008x2008 image with alpha"
    echo "identify: sizes and alpha channels as expected"
fi

if command -v x86_64-w64-mingw32-windres >/dev/null 2>&1; then
    out=$(mktemp -d)
    trap 'rm -rf "$out"' EXIT
    (cd "$dir" && x86_64-w64-mingw32-windres --preprocessor=cpp virelto.rc -O coff -o "$out/virelto.res")
    (cd "$dir" && x86_64-w64-mingw32-windres --preprocessor=cpp virelto.rc -O rc -o "$out/virelto.dump.rc")
    grep -q '^"IDI_ICON_LOGO" 14 ' "$out/virelto.dump.rc" || fail "no group icon IDI_ICON_LOGO"
    grep -q '^LANGUAGE 9, 1' "$out/virelto.dump.rc" || fail "the icon is not English (United States)"
    echo "virelto.rc: compiles, group icon IDI_ICON_LOGO"
else
    echo "x86_64-w64-mingw32-windres not installed: resource script not compiled"
fi
