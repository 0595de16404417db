# SPDX-License-Identifier: MIT
# Shared by the set-up scripts: the Debian packages the project needs and
# an install step that does nothing when they are already there.

VIRELTO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

VIRELTO_PACKAGES=(
    # build
    cmake g++ make pkg-config
    # the program: Qt 5 widgets, multimedia, network
    qtbase5-dev qtbase5-dev-tools qtmultimedia5-dev libqt5multimedia5-plugins
    # the local OCR service
    libtesseract-dev libleptonica-dev tesseract-ocr-eng tesseract-ocr-chi-sim tesseract-ocr-osd
    libboost-dev nlohmann-json3-dev libssl-dev fonts-noto-cjk libpoppler-cpp-dev
    # tests and benchmarks (cpp-httplib: a plain HTTP client for the service's tests)
    libgtest-dev libbenchmark-dev libcpp-httplib-dev libicu-dev
    # the vendor's Node.js SDK against the service; nginx in front of replicas
    nodejs nginx-light systemd
    # tests: certificates, image checks, the Windows resource script, a display
    openssl file imagemagick binutils-mingw-w64-x86-64 xvfb xauth fonts-dejavu-core fonts-noto-color-emoji
    # packaging checks
    desktop-file-utils appstream dpkg-dev
    # the fuzzing pass: clang with libFuzzer and the sanitizer runtimes
    clang libclang-rt-14-dev
)

install_packages() {
    local missing=()
    local package
    for package in "${VIRELTO_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' \
            || missing+=("$package")
    done

    # Node.js builds that bundle npm conflict with Debian's npm package.
    command -v npm >/dev/null 2>&1 || missing+=(npm)
    [ ${#missing[@]} -eq 0 ] && return 0

    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" apt-get update -q
    # Packaged daemons (nginx) must not start system-wide: the tests run their own.
    local policy=/usr/sbin/policy-rc.d placed=
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' | "${sudo[@]}" tee "$policy" >/dev/null
        "${sudo[@]}" chmod 755 "$policy"
        placed=1
    fi
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" \
        || { [ -z "$placed" ] || "${sudo[@]}" rm -f "$policy"; return 1; }
    [ -z "$placed" ] || "${sudo[@]}" rm -f "$policy"
}

# configure_and_build BUILD_DIR BUILD_TYPE [cmake options...]
configure_and_build() {
    local dir=$1 type=$2
    shift 2
    cmake -S "$VIRELTO_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE="$type" "$@"
    cmake --build "$dir" -j"$(nproc)"
}
