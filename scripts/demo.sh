#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what the program needs, builds it and starts it.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_packages
build=${VIRELTO_DEMO_BUILD_DIR:-$VIRELTO_ROOT/build-release}
configure_and_build "$build" Release -DBUILD_TESTING=OFF

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display (DISPLAY or WAYLAND_DISPLAY) to show the window on." >&2
    exit 1
fi
exec "$build/virelto" "$@"
