#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the program's whole job on one machine: the virtual camera's picture,
# a token and a recognition from the local OCR service, the text in the box.
#
#   scripts/demo.sh                 the built-in test card
#   scripts/demo.sh --image FILE    your own picture through the virtual camera
#
# With a display the window opens for you; without one a walkthrough drives
# it under Xvfb, prints the recognised text and saves demo-screenshot.png.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

image=()
while [ $# -gt 0 ]; do
    case $1 in
        --image)
            [ $# -ge 2 ] && [ -r "$2" ] || { echo "demo.sh: --image needs a readable file" >&2; exit 2; }
            image=(--image "$2"); shift ;;
        *) echo "usage: scripts/demo.sh [--image FILE]" >&2; exit 2 ;;
    esac
    shift
done

install_packages
build=${VIRELTO_DEMO_BUILD_DIR:-$VIRELTO_ROOT/build-release}
configure_and_build "$build" Release -DBUILD_TESTING=OFF >/dev/null
echo "Built in $build"

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
    exec "$VIRELTO_ROOT/demo/run-walkthrough.sh" "$build" --interactive "${image[@]}"
fi
exec "$VIRELTO_ROOT/demo/run-walkthrough.sh" "$build" --screenshot "$PWD/demo-screenshot.png" "${image[@]}"
