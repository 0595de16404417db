#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Starts the local OCR service, then the window with the virtual camera, and
# walks through open camera, get token and capture. Used by scripts/demo.sh
# and by the end-to-end test.
#
#   run-walkthrough.sh BUILD_DIR [--tls] [--image FILE] [--screenshot PNG] [--interactive]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=$(cd "$1" && pwd)
shift

tls=0 image="" screenshot="" interactive=0
while [ $# -gt 0 ]; do
    case $1 in
        --tls) tls=1 ;;
        --image) image=$(realpath "$2"); shift ;;
        --screenshot) screenshot=$(realpath -m "$2"); mkdir -p "$(dirname "$screenshot")"; shift ;;
        --interactive) interactive=1 ;;
        *) echo "run-walkthrough.sh: unknown option $1" >&2; exit 2 ;;
    esac
    shift
done

api_key=demo-api-key
secret_key=demo-secret-key
work=$(mktemp -d)
server_pid="" app_pid=""
cleanup() {
    if [ -n "$app_pid" ]; then
        kill "$app_pid" 2>/dev/null || true
        wait "$app_pid" 2>/dev/null || true
    fi
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

server_args=(--listen 127.0.0.1:0)
scheme=http
if [ "$tls" = 1 ]; then
    # A CA of our own and a certificate for 127.0.0.1 signed by it.
    (cd "$work" &&
        openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
            -subj "/CN=Walkthrough CA" -keyout ca.key -out ca.pem \
            -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign &&
        openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=127.0.0.1 \
            -keyout server.key -out server.csr &&
        printf 'subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n' >server.ext &&
        openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
            -extfile server.ext -out server.pem) >/dev/null 2>&1
    server_args+=(--tls-cert "$work/server.pem" --tls-key "$work/server.key")
    scheme=https
fi

VIRELTO_OCR_API_KEY=$api_key VIRELTO_OCR_SECRET_KEY=$secret_key \
    "$build/server/virelto-ocr-server" "${server_args[@]}" 2>"$work/server.log" &
server_pid=$!
port=""
for _ in $(seq 1 300); do
    port=$(sed -n 's/.*listening on https\{0,1\}:\/\/127\.0\.0\.1:\([0-9]*\) .*/\1/p' "$work/server.log")
    [ -n "$port" ] && break
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
done
if [ -z "$port" ]; then
    echo "The local OCR service did not start:" >&2
    cat "$work/server.log" >&2
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
    expect=(--expect "$here/../virtualcam/testcard.txt")
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
    "$build/virelto" &
    app_pid=$!
    status=0
    wait "$app_pid" || status=$?
    app_pid=""
    exit $status
fi

walk=("$build/demo/virelto-walkthrough" --api-key "$api_key" --secret-key "$secret_key" "${expect[@]}")
[ -n "$screenshot" ] && walk+=(--screenshot "$screenshot")
[ "$tls" = 1 ] && walk+=(--trust-ca "$work/ca.pem")
# The walkthrough writes ocr_debug.png where it runs, like the program.
cd "$work"
status=0
xvfb-run -a -s "-screen 0 1280x1024x24" env QT_QPA_PLATFORM=xcb "${walk[@]}" || status=$?
if [ "$status" = 0 ] && [ -z "$image" ]; then
    # The copy of the PNG that was sent: the camera's full 1280x720 frame.
    info=$(file -b ocr_debug.png)
    case $info in
        "PNG image data, 1280 x 720, 8-bit/color RGB,"*) echo "ocr_debug.png: $info" ;;
        *) echo "ocr_debug.png is not the frame that was sent: $info" >&2; status=1 ;;
    esac
fi
exit $status
