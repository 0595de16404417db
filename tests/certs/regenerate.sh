#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes the test-only TLS files in this folder: a CA of our own and a
# certificate for 127.0.0.1 and localhost signed by it, both valid for a
# century so that no test starts failing on a date. The keys are public on
# purpose; nothing but the tests on the loopback interface may trust ca.pem.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

run() { # shows openssl's own message when it fails
    local out
    out=$("$@" 2>&1) || { echo "regenerate.sh: $1 failed: $out" >&2; exit 1; }
}

ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
run openssl req -x509 "${ec[@]}" -days 36500 -subj "/CN=Virelto Loopback Test CA" \
    -keyout "$work/ca.key" -out ca.pem \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
run openssl req "${ec[@]}" -subj /CN=127.0.0.1 -keyout server.key -out "$work/server.csr"
printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' \
    >"$work/server.ext"
run openssl x509 -req -in "$work/server.csr" -CA ca.pem -CAkey "$work/ca.key" -CAcreateserial \
    -CAserial "$work/ca.srl" -days 36500 -extfile "$work/server.ext" -out server.pem
echo "regenerate.sh: wrote ca.pem, server.pem and server.key"
