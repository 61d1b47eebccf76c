# Sourced by the wheel and matrix scripts: minimal Debian systems made with
# debootstrap (needs root) and kept outside the clone, in $ZELMO_ROOTS (by
# default ~/.cache/tessar_mod_zelmo/debian-roots), so that a machine that is
# kept makes each once.  Roots of another architecture (arm64) run through
# qemu-user and binfmt_misc.
ROOTS=${ZELMO_ROOTS:-${XDG_CACHE_HOME:-$HOME/.cache}/tessar_mod_zelmo/debian-roots}
MIRROR=${DEBIAN_MIRROR:-http://deb.debian.org/debian}

# What the wheel legs' roots hold: an interpreter, and no build tool.
WHEEL_ROOT_PACKAGES=python3,python3-venv,ca-certificates

# Installs Debian packages on this machine, waiting for another apt-get (a
# matrix leg's) to end rather than failing.
host_install() { # packages...
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=1800 install -y -q "$@" >/dev/null
}

# Runs a command holding the lock $1 (a file in $ROOTS), so that the matrix's
# legs and its background preparation make a root or a cache (the Windows
# interpreters') once between them, the later one waiting for the earlier.
with_lock() { # name, command...
    local name=$1
    shift
    mkdir -p "$ROOTS"
    { flock 9 && "$@"; } 9>"$ROOTS/.$name.lock"
}

# qemu emulates Debian 13's and later's arm64 pointer authentication about 15
# times slower with its default CPU; a Cortex-A72 has none.
export QEMU_CPU=cortex-a72

# Lets this machine run arm64 programs: qemu-user-static, registered with
# the kernel's binfmt_misc (mounted if it is not).
arm64_emulation() {
    command -v qemu-aarch64-static >/dev/null || host_install qemu-user-static
    local binfmt=/proc/sys/fs/binfmt_misc
    [ -e $binfmt/register ] || mount -t binfmt_misc binfmt_misc $binfmt
    [ -e $binfmt/qemu-aarch64 ] || grep '^:qemu-aarch64:' /usr/lib/binfmt.d/qemu-aarch64.conf >$binfmt/register
}

# $ROOTS/$1: a minimal Debian $2 for the architecture $4 (this machine's by
# default) holding the packages $3 (comma-separated), made once.
debian_root() { # name, suite, packages, [architecture]
    with_lock "root-$1" make_debian_root "$@"
}
make_debian_root() { # as debian_root
    local root=$ROOTS/$1 arch=${4:-}
    command -v debootstrap >/dev/null || host_install debootstrap
    [ -z "$arch" ] || with_lock emulation arm64_emulation
    if [ ! -e "$root/.complete" ]; then
        rm -rf "$root"
        mkdir -p "$ROOTS"
        echo "making a Debian $2${arch:+ $arch} root in $root" >&2
        debootstrap ${arch:+--arch=$arch} --variant=minbase --include="$3" \
            "$2" "$root" "$MIRROR" >"$root.log" 2>&1 || {
            tail -20 "$root.log"
            echo "error: debootstrap of Debian $2${arch:+ $arch} failed" >&2
            return 1
        }
        touch "$root/.complete"
    fi
    # pip inside reaches PyPI as this machine does: its resolver and CA bundle.
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    for var in PIP_CERT SSL_CERT_FILE; do
        if [ -n "${!var:-}" ] && [ -f "${!var}" ]; then
            mkdir -p "$root$(dirname "${!var}")"
            cp "${!var}" "$root${!var}"
        fi
    done
}

in_root() { # root, command...
    local root=$1
    shift
    local -a vars=(PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 QEMU_CPU=$QEMU_CPU)
    for var in PIP_CERT SSL_CERT_FILE PIP_DEFAULT_TIMEOUT; do
        [ -z "${!var:-}" ] || vars+=("$var=${!var}")
    done
    chroot "$root" /usr/bin/env -i "${vars[@]}" "$@"
}

# The arm64 roots the aarch64 wheels are proven in, and the CPython each
# release carries as its python3.  No release has 3.10 for arm64.
ARM64_RELEASES=(bullseye bookworm trixie)
declare -A DEBIAN_PYTHON=([bullseye]=3.9 [bookworm]=3.11 [trixie]=3.13)

# The arm64 release whose python3 is CPython $1; fails if none is.
arm64_release_with() { # version
    local release
    for release in "${ARM64_RELEASES[@]}"; do
        [ "${DEBIAN_PYTHON[$release]}" != "$1" ] || { echo "$release"; return 0; }
    done
    return 1
}

# The arm64 root of Debian $1 that the wheel legs run in, made once.
arm64_root() { # release
    debian_root "$1-arm64" "$1" "$WHEEL_ROOT_PACKAGES" arm64
    echo "$ROOTS/$1-arm64"
}
