#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Starts the local OCR service, then the window with the virtual camera, and
# walks through open camera, get token and capture. Used by scripts/demo.sh
# and by the end-to-end test.
#
# The terminal gets the walkthrough's own lines; the program's log (its debug
# lines, Qt's warnings, Xvfb's) and the service's request log go to the log
# file, whose last lines are shown when something fails.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
me=run-walkthrough.sh

usage() {
    cat <<USAGE
usage: $me BUILD_DIR [--tls] [--image FILE] [--screenshot PNG] [--ocr-debug PNG] [--log FILE] [--interactive]

  BUILD_DIR         a build of this tree (virelto, the service, the walkthrough, the virtual camera)
  --tls             serve HTTPS with the test-only certificate in tests/certs/
  --image FILE      show FILE through the virtual camera instead of the test card
  --screenshot PNG  save a picture of the window after the recognition
  --ocr-debug PNG   keep the program's ocr_debug.png (a copy of the PNG sent) as PNG;
                    the walkthrough runs in a folder of its own, removed at the end
  --log FILE        where the program's and the service's log go (default: ./virelto-demo.log)
  --interactive     open the window for you to use instead of driving it
USAGE
}
bad_usage() { # bad_usage MESSAGE
    echo "$me: $1" >&2
    usage >&2
    exit 2
}
need_value() { # need_value OPTION ARGC
    [ "$2" -ge 2 ] || bad_usage "$1 needs a value"
}

build="" tls=0 image="" screenshot="" ocr_debug="" interactive=0 log=$PWD/virelto-demo.log
while [ $# -gt 0 ]; do
    case $1 in
        -h|--help) usage; exit 0 ;;
        --tls) tls=1 ;;
        --image)
            need_value "$1" $#
            [ -f "$2" ] && [ -r "$2" ] || bad_usage "--image: cannot read $2"
            image=$(realpath -- "$2"); shift ;;
        --screenshot) need_value "$1" $#; screenshot=$(realpath -m -- "$2"); shift ;;
        --ocr-debug) need_value "$1" $#; ocr_debug=$(realpath -m -- "$2"); shift ;;
        --log) need_value "$1" $#; log=$(realpath -m -- "$2"); shift ;;
        --interactive) interactive=1 ;;
        -*) bad_usage "unknown option $1" ;;
        *)
            [ -z "$build" ] || bad_usage "one BUILD_DIR only (got $build and $1)"
            [ -d "$1" ] || bad_usage "BUILD_DIR $1 is not a folder"
            build=$(cd "$1" && pwd) ;;
    esac
    shift
done
[ -n "$build" ] || bad_usage "BUILD_DIR is missing"

needed=("$build/server/virelto-ocr-server" "$build/plugins/mediaservice/libvirtualcam.so")
if [ "$interactive" = 1 ]; then
    needed+=("$build/virelto")
else
    needed+=("$build/demo/virelto-walkthrough")
    command -v xvfb-run >/dev/null || { echo "$me: xvfb-run is not installed (Debian: xvfb xauth)" >&2; exit 1; }
fi
for file in "${needed[@]}"; do
    [ -e "$file" ] || { echo "$me: $build is not a complete build: $file is missing" >&2; exit 2; }
done
certs=$root/tests/certs
if [ "$tls" = 1 ]; then
    for file in ca.pem server.pem server.key; do
        [ -r "$certs/$file" ] || { echo "$me: cannot read $certs/$file (made by tests/certs/regenerate.sh)" >&2; exit 1; }
    done
fi
[ -z "$screenshot" ] || mkdir -p "$(dirname "$screenshot")"
[ -z "$ocr_debug" ] || mkdir -p "$(dirname "$ocr_debug")"
mkdir -p "$(dirname "$log")"
: >"$log"

api_key=demo-api-key
secret_key=demo-secret-key
work=$(mktemp -d)
server_pid="" app_pid=""
cleanup() {
    local status=$?
    if [ -n "$app_pid" ]; then
        kill "$app_pid" 2>/dev/null || true
        wait "$app_pid" 2>/dev/null || true
    fi
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
    # A failure's own message may be in the log (Qt's, Xvfb's, the service's).
    if [ "$status" != 0 ] && [ "$status" != 130 ] && [ -s "$log" ]; then
        echo "$me: failed (exit $status); the last lines of $log:" >&2
        tail -n 20 "$log" | sed 's/^/  | /' >&2
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "Program log: $log"
server_args=(--listen 127.0.0.1:0)
scheme=http
if [ "$tls" = 1 ]; then
    # Test-only files: a CA of the tests' own and a certificate for 127.0.0.1.
    server_args+=(--tls-cert "$certs/server.pem" --tls-key "$certs/server.key")
    scheme=https
fi

VIRELTO_OCR_API_KEY=$api_key VIRELTO_OCR_SECRET_KEY=$secret_key \
    "$build/server/virelto-ocr-server" "${server_args[@]}" 2>>"$log" &
server_pid=$!
port=""
for _ in $(seq 1 300); do
    port=$(sed -n 's/.*listening on https\{0,1\}:\/\/127\.0\.0\.1:\([0-9]*\) .*/\1/p;T;q' "$log")
    [ -n "$port" ] && break
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
done
if [ -z "$port" ]; then
    echo "$me: the local OCR service did not start" >&2
    exit 1
fi
echo "Local OCR service: $scheme://127.0.0.1:$port"

export VIRELTO_API_BASE_URL=$scheme://127.0.0.1:$port
export QT_PLUGIN_PATH=$build/plugins
export QT_MULTIMEDIA_PREFERRED_PLUGINS=virtualcam
expect=()
if [ -n "$image" ]; then
    export VIRELTO_VIRTUALCAM_IMAGE=$image
else
    expect=(--expect "$root/virtualcam/testcard.txt")
fi

if [ "$interactive" = 1 ]; then
    cat <<MSG

The window is open with the virtual camera and the local OCR service.
  1. Click "📷 Open Camera".
  2. Type API Key  $api_key
     and Secret Key $secret_key, then click "Get Token".
  3. Click "🔍 Capture OCR": the text of the picture appears in the box.
Close the window (or press Ctrl-C) to stop.
MSG
    # In the background, so that a signal reaches the traps at once.
    "$build/virelto" 2>>"$log" &
    app_pid=$!
    status=0
    wait "$app_pid" || status=$?
    app_pid=""
    exit $status
fi

walk=("$build/demo/virelto-walkthrough" --api-key "$api_key" --secret-key "$secret_key" "${expect[@]}")
[ -n "$screenshot" ] && walk+=(--screenshot "$screenshot")
[ "$tls" = 1 ] && walk+=(--trust-ca "$certs/ca.pem")
# The walkthrough writes ocr_debug.png where it runs, like the program.
cd "$work"
status=0
xvfb-run -a -e "$log" -s "-screen 0 1280x1024x24" env QT_QPA_PLATFORM=xcb "${walk[@]}" 2>>"$log" || status=$?
if [ "$status" = 0 ] && [ -z "$image" ]; then
    # The copy of the PNG that was sent: the camera's full 1280x720 frame.
    info=$(file -b ocr_debug.png)
    case $info in
        "PNG image data, 1280 x 720, 8-bit/color RGB,"*) echo "ocr_debug.png: $info" ;;
        *) echo "$me: ocr_debug.png is not the frame that was sent: $info" >&2; status=1 ;;
    esac
fi
# Kept also when the walkthrough failed: it shows what was sent.
if [ -n "$ocr_debug" ] && [ -e ocr_debug.png ]; then
    cp -- ocr_debug.png "$ocr_debug"
    echo "The PNG sent: $ocr_debug"
fi
exit $status
