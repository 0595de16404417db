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
# Either way a capture leaves ocr_debug.png, the program's copy of the PNG it
# sent, and the program's and the service's log go to virelto-demo.log, all in
# the current folder.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

usage() {
    cat <<USAGE
usage: scripts/demo.sh [--image FILE]

Builds everything (Release, in build-release/ or \$VIRELTO_DEMO_BUILD_DIR), starts
the local OCR service and the program with the virtual camera.

  --image FILE  show FILE through the virtual camera instead of the test card
  -h, --help    this text

With a display the window opens for you; without one a walkthrough drives it
under Xvfb, prints the recognised text and saves ./demo-screenshot.png. Either
way a capture leaves ./ocr_debug.png, the program's copy of the PNG it sent; the
program's and the service's log go to ./virelto-demo.log.
USAGE
}

image=()
while [ $# -gt 0 ]; do
    case $1 in
        -h|--help) usage; exit 0 ;;
        --image)
            [ $# -ge 2 ] && [ -f "$2" ] && [ -r "$2" ] || { echo "demo.sh: --image needs a readable file" >&2; exit 2; }
            image=(--image "$2"); shift ;;
        *) echo "demo.sh: unknown argument $1" >&2; usage >&2; exit 2 ;;
    esac
    shift
done

build=${VIRELTO_DEMO_BUILD_DIR:-$VIRELTO_ROOT/build-release}
# apt's output beside the build's, out of the demo's way.
VIRELTO_INSTALL_LOG=${VIRELTO_INSTALL_LOG:-$build/install-output.log}
install_packages "${VIRELTO_DEMO_PACKAGES[@]}"
configure_and_build_quietly "$build" Release -DBUILD_TESTING=OFF
echo "Built in $build"

walkthrough=("$VIRELTO_ROOT/demo/run-walkthrough.sh" "$build" --log "$PWD/virelto-demo.log" "${image[@]}")
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
    exec "${walkthrough[@]}" --interactive
fi
exec "${walkthrough[@]}" --screenshot "$PWD/demo-screenshot.png" --ocr-debug "$PWD/ocr_debug.png"
