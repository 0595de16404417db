# SPDX-License-Identifier: MIT
# Shared by the set-up scripts: the Debian packages the project needs and
# an install step that does nothing when they are already there.

VIRELTO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# The Debian packages, one list per set-up script: scripts/demo.sh installs
# the demo's, scripts/test.sh both.

# The demo: build everything (the program, its virtual camera, the local OCR
# service, the walkthrough) and run the walkthrough under Xvfb.
VIRELTO_DEMO_PACKAGES=(
    # build
    cmake g++ make pkg-config
    # the program: Qt 5 widgets, multimedia, network, and Qt's camera backends
    qtbase5-dev qtbase5-dev-tools qtmultimedia5-dev libqt5multimedia5-plugins
    # the local OCR service and its models
    libtesseract-dev libleptonica-dev tesseract-ocr-eng tesseract-ocr-chi-sim tesseract-ocr-osd
    libboost-dev nlohmann-json3-dev libssl-dev libpoppler-cpp-dev libseccomp-dev
    libopencv-dnn-dev libopencv-imgproc-dev
    # the service's text-line models: the pinned npm package, prepared for
    # OpenCV at build time (npm: see missing_packages)
    nodejs npm python3-onnx python3-numpy
    # the walkthrough's text score (ICU) and its check of the PNG sent (file)
    libicu-dev file
    # the test card's and the window's fonts: Latin, Chinese, the buttons' emoji
    fonts-dejavu-core fonts-noto-cjk fonts-noto-color-emoji
    # a display for the headless walkthrough
    xvfb xauth
)

# What the tests, the benchmarks and the fuzzing pass add.
VIRELTO_TEST_PACKAGES=(
    # cpp-httplib: a plain HTTP client for the service's tests; python3 sums up
    # the benchmarks' output
    libgtest-dev libbenchmark-dev libcpp-httplib-dev python3
    # Prometheus' own parser reads the whole /metrics scrape
    python3-prometheus-client
    # the vendor's Node.js SDK runs against the service on the demo's Node.js;
    # the shipped nginx site and systemd unit, run and checked for real
    nginx-light systemd
    # certificates, image checks, the Windows resource script
    openssl imagemagick binutils-mingw-w64-x86-64
    # packaging checks
    desktop-file-utils appstream dpkg-dev
    # the fuzzing pass: clang with libFuzzer and the sanitizer runtimes
    clang libclang-rt-14-dev
)

# Services that packages above enable at boot; the tests start their own
# (nginx-light's would serve its default site on port 80). When an install
# brings one to the machine it is disabled again; one the machine already had
# is left as it was.
VIRELTO_BOOT_SERVICES=(nginx)

# The calling script as its user typed it from the top of the tree, for messages.
VIRELTO_SCRIPT=$(realpath --relative-to="$VIRELTO_ROOT" -- "$0")
case $VIRELTO_SCRIPT in ../*) VIRELTO_SCRIPT=${0##*/} ;; esac

# missing_packages PACKAGE...: prints those that are not installed.
missing_packages() {
    local package
    for package; do
        case $package in
            # Node.js builds that bundle npm conflict with Debian's npm package.
            npm) command -v npm >/dev/null 2>&1 && continue ;;
            *) dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' && continue ;;
        esac
        echo "$package"
    done
}

service_installed() { # service_installed NAME: a systemd unit or an init script
    [ -e "/lib/systemd/system/$1.service" ] || [ -e "/usr/lib/systemd/system/$1.service" ] \
        || [ -e "/etc/init.d/$1" ]
}

# install_packages PACKAGE...: installs those that are missing with apt-get.
# The terminal gets one line, the install's progress and, when it fails, the
# last lines apt printed; all of apt's output goes to $VIRELTO_INSTALL_LOG
# (by default a temporary file, kept only when the install fails).
install_packages() {
    local missing=()
    mapfile -t missing < <(missing_packages "$@")
    [ ${#missing[@]} -eq 0 ] && return 0

    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null 2>&1 || {
            echo "$VIRELTO_SCRIPT: these packages are missing and installing them needs root or sudo:" \
                "${missing[*]}" >&2
            return 1
        }
        sudo=(sudo)
    fi
    local log=${VIRELTO_INSTALL_LOG:-} temporary=''
    if [ -z "$log" ]; then
        log=$(mktemp "${TMPDIR:-/tmp}/virelto-install.XXXXXX") || return 1
        temporary=1
    else
        mkdir -p "$(dirname "$log")" && : >"$log" || return 1
    fi
    [ -t 1 ] && printf '  updating the package lists'
    # An old package list may still do; if not, the install below says so.
    local updated=0
    "${sudo[@]}" apt-get update -q >>"$log" 2>&1 || updated=$?
    [ -t 1 ] && printf '\r\033[K'
    [ "$updated" -eq 0 ] \
        || echo "$VIRELTO_SCRIPT: apt-get update failed; trying the package lists already here" >&2
    local note=''
    [ -n "$temporary" ] || note="apt's output in $log"
    echo "Installing $(install_summary "$note" "${missing[@]}") ..."
    local service new_services=()
    for service in "${VIRELTO_BOOT_SERVICES[@]}"; do
        service_installed "$service" || new_services+=("$service")
    done
    # Nor may packaged daemons (nginx) start now: the tests run their own.
    local policy=/usr/sbin/policy-rc.d placed='' status=0 statuses=()
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' | "${sudo[@]}" tee "$policy" >/dev/null
        "${sudo[@]}" chmod 755 "$policy"
        placed=1
    fi
    # apt's status lines share its standard output (sudo closes other
    # descriptors); the progress filter takes them out of the log.
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends \
        -o APT::Status-Fd=1 "${missing[@]}" 2>&1 | show_progress "$log" \
        && statuses=("${PIPESTATUS[@]}") || statuses=("${PIPESTATUS[@]}")
    status=${statuses[0]}
    [ -z "$placed" ] || "${sudo[@]}" rm -f "$policy"
    for service in "${new_services[@]}"; do
        service_installed "$service" || continue
        # Works without a running systemd (containers, chroots), and takes the
        # init script's links along; systemd comes with the same list.
        local enabled=''
        command -v systemctl >/dev/null 2>&1 && systemctl is-enabled --quiet "$service.service" 2>/dev/null \
            && enabled=1
        if command -v systemctl >/dev/null 2>&1 \
            && "${sudo[@]}" systemctl disable --quiet "$service.service" >>"$log" 2>&1; then
            [ -z "$enabled" ] \
                || echo "$service: its package enabled it at boot; disabled again (the tests start their own)"
        else
            echo "$VIRELTO_SCRIPT: could not disable $service, which the install enabled at boot;" \
                "disable it with: systemctl disable $service" >&2
        fi
    done
    if [ "$status" -eq 0 ]; then
        [ -z "$temporary" ] || rm -f "$log"
        return 0
    fi
    mapfile -t missing < <(missing_packages "$@")
    echo "$VIRELTO_SCRIPT: apt-get install failed (exit $status); not installed: ${missing[*]:-none}" >&2
    echo "The last lines of $log:" >&2
    tail -n 30 "$log" | sed 's/^/  | /' >&2
    return 1
}

# install_summary NOTE PACKAGE...: "85 Debian packages (about 340 MB to
# download; NOTE)", counted by apt with what they pull in (the packages
# alone when apt cannot tell); NOTE may be empty.
install_summary() {
    local note=$1 count bytes details=()
    shift
    count=$(apt-get install -s --no-install-recommends "$@" 2>/dev/null | grep -c '^Inst ')
    [ "${count:-0}" -gt 0 ] || count=$#
    bytes=$(apt-get install -qq --print-uris --no-install-recommends "$@" 2>/dev/null |
        awk '$3 ~ /^[0-9]+$/ { sum += $3 } END { print sum + 0 }')
    if [ "${bytes:-0}" -ge 1000000 ]; then
        details+=("about $(((bytes + 500000) / 1000000)) MB to download")
    elif [ "${bytes:-0}" -gt 0 ]; then
        details+=("about $(((bytes + 999) / 1000)) kB to download")
    fi
    [ -z "$note" ] || details+=("$note")
    local summary="$count Debian package" joined
    [ "$count" -eq 1 ] || summary+=s
    if [ ${#details[@]} -gt 0 ]; then
        joined=$(printf '; %s' "${details[@]}")
        summary+=" (${joined:2})"
    fi
    echo "$summary"
}

# show_progress LOG: copies standard input to LOG and shows how far it got:
# make's "[ 42%]" lines as "built 42 %", apt's status lines (which stay out
# of LOG) as "downloading 42 %" and "installing 42 %". On a terminal that is
# one line rewritten in place; otherwise a line at each tenth.
show_progress() {
    local line what='' shown='' percent best=-1 tty=''
    [ -t 1 ] && tty=1
    while IFS= read -r line; do
        if [[ $line =~ ^(dl|pm)status:[^:]*:([0-9]+) ]]; then
            percent=${BASH_REMATCH[2]}
            [ "${BASH_REMATCH[1]}" = dl ] && line=downloading || line=installing
        else
            printf '%s\n' "$line" >&3
            [[ $line =~ ^\[\ *([0-9]+)%\] ]] || continue
            percent=${BASH_REMATCH[1]} line=built
        fi
        percent=$((10#$percent))
        if [ "$line" != "$what" ]; then
            what=$line best=-1
        fi
        # make -j's percentages may step back a little; apt's are fractions.
        [ "$percent" -gt "$best" ] || continue
        if [ -n "$tty" ]; then
            printf '\r\033[K  %s %d %%' "$what" "$percent"
            shown=1
        elif [ $((percent / 10)) -gt $((best < 0 ? -1 : best / 10)) ]; then
            printf '  %s %d %%\n' "$what" "$percent"
        fi
        best=$percent
    done 3>>"$1"
    [ -z "$shown" ] || printf '\r\033[K'
}

# configure_and_build BUILD_DIR BUILD_TYPE [cmake options...]
# Shows CMake's and the compiler's output as they come; says which step
# failed, and in which folder.
configure_and_build() {
    build_steps "" "$@"
}

# configure_and_build_quietly BUILD_DIR BUILD_TYPE [cmake options...]
# The same with that output in BUILD_DIR/build-output.log, whose last lines
# are shown when a step fails.
configure_and_build_quietly() {
    mkdir -p "$1"
    echo "Building in $1 (output in $1/build-output.log) ..."
    build_steps "$1/build-output.log" "$@"
}

# build_steps OUTPUT BUILD_DIR BUILD_TYPE [cmake options...]; OUTPUT "" for the terminal.
build_steps() {
    local output=$1 dir=$2 type=$3
    shift 3
    [ -z "$output" ] || : >"$output"
    build_step "$output" "configuring $dir" \
        cmake -S "$VIRELTO_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE="$type" "$@" &&
        build_step "$output" "building in $dir" cmake --build "$dir" -j"$(nproc)"
}

build_step() { # build_step OUTPUT WHAT COMMAND...
    local output=$1 what=$2 status=0 statuses=()
    shift 2
    if [ -n "$output" ]; then
        "$@" 2>&1 | show_progress "$output" && statuses=("${PIPESTATUS[@]}") || statuses=("${PIPESTATUS[@]}")
        status=${statuses[0]}
    else
        "$@" || status=$?
    fi
    [ "$status" -eq 0 ] && return 0
    echo "$VIRELTO_SCRIPT: $what failed (exit $status)" >&2
    if [ -n "$output" ]; then
        echo "The last lines of $output:" >&2
        tail -n 30 "$output" | sed 's/^/  | /' >&2
    fi
    return 1
}

# run_to_file NAME OUTPUT COMMAND...: runs a benchmark with its standard
# output in OUTPUT and its standard error in OUTPUT.stderr; when it fails or
# prints nothing, says so, naming it, with the last lines of its standard error.
run_to_file() {
    local name=$1 output=$2 status=0
    shift 2
    "$@" >"$output" 2>"$output.stderr" || status=$?
    if [ "$status" -ne 0 ]; then
        echo "$VIRELTO_SCRIPT: $name failed (exit $status)" >&2
    elif [ ! -s "$output" ]; then
        echo "$VIRELTO_SCRIPT: $name printed nothing" >&2
        status=1
    else
        return 0
    fi
    if [ -s "$output.stderr" ]; then
        echo "The last lines of its standard error:" >&2
        tail -n 20 "$output.stderr" | sed 's/^/  | /' >&2
    fi
    return "$status"
}
