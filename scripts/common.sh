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
    libtesseract-dev libleptonica-dev tesseract-ocr-eng libcpp-httplib-dev nlohmann-json3-dev libssl-dev
    # tests and benchmarks
    libgtest-dev libbenchmark-dev
    # tests: certificates, image checks, the Windows resource script, a display
    openssl file imagemagick binutils-mingw-w64-x86-64 xvfb xauth fonts-dejavu-core fonts-noto-color-emoji
    # packaging checks
    desktop-file-utils appstream dpkg-dev
)

install_packages() {
    local missing=()
    local package
    for package in "${VIRELTO_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' \
            || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" apt-get update -q
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# configure_and_build BUILD_DIR BUILD_TYPE [cmake options...]
configure_and_build() {
    local dir=$1 type=$2
    shift 2
    cmake -S "$VIRELTO_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE="$type" "$@"
    cmake --build "$dir" -j"$(nproc)"
}
