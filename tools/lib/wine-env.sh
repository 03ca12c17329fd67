# shellcheck shell=bash
# Shared by tools/run-x64, tools/run-arm64 and tools/setup-env: prepares and
# enters the Wine environments the tests run in.
#
#   x64:   the host's 64-bit Wine with a prefix of our own.
#   arm64: arm64 Wine in an arm64 Debian root file system, emulated by
#          qemu-user-static through binfmt_misc, entered with chroot inside a
#          private mount namespace.
#
# Everything lives in ${BRIVEL_CACHE:-/var/cache/brivel-bootstrap}, outside the
# work tree, so that every clone on the machine shares one set-up:
#   rootfs-arm64.tar.{zst,gz}  the built root file system (rebuilding it from
#                              the mirror takes minutes, unpacking seconds)
#   rootfs-arm64/              the unpacked root file system, reused as it is
#   wine-x64/ wine-arm64/      the Wine prefixes
#   wine-x64.NAME/ ...         prefixes of their own for callers that name
#                              one (BRIVEL_PREFIX_NAME), cloned from those
#   run/                       locks, logs and the mount namespace's state
#
# Speed comes from keeping a persistent wine server per prefix (a program start
# drops from seconds to a fraction of one). For arm64 the server must see every
# path a client names (it opens files by name on the clients' behalf), so all
# runs share one long-lived mount namespace, held open by a `sleep` process and
# entered with nsenter; the server lives in it, and paths a later run needs are
# bind-mounted into it on demand.
#
# Setup steps hold flock locks, so parallel first runs wait for one another
# instead of racing. Daemons are started with every inherited descriptor closed:
# a server holding a caller's pipe would keep `$(tools/run-x64 ...)` waiting,
# and one holding a lock descriptor would keep the lock forever.

BRIVEL_REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd -P)
BRIVEL_SUITE=bookworm
BRIVEL_ARM64_PACKAGES=wine,wine64,libwine

# Resolves the cache directory once (absolute and physical: the same path is
# used inside the arm64 root file system).
brivel_init() {
    [[ -n ${BRIVEL_CACHE_DIR:-} ]] && return 0
    local c=${BRIVEL_CACHE:-/var/cache/brivel-bootstrap}
    mkdir -p "$c" || brivel_die "cannot create the cache directory $c"
    BRIVEL_CACHE_DIR=$(cd "$c" && pwd -P)
    BRIVEL_RUN=$BRIVEL_CACHE_DIR/run
    BRIVEL_X64_BASE=$BRIVEL_CACHE_DIR/wine-x64
    BRIVEL_ARM64_BASE=$BRIVEL_CACHE_DIR/wine-arm64
    # A caller that names a prefix of its own (BRIVEL_PREFIX_NAME: letters,
    # digits, '-' and '_') gets one beside the shared one, cloned from it on
    # first use, with a registry and a temporary folder nobody else touches:
    # tests that would otherwise take turns in the shared prefix run side
    # by side.
    local name=${BRIVEL_PREFIX_NAME:-}
    [[ -z $name || $name =~ ^[A-Za-z0-9_-]+$ ]] || brivel_die "BRIVEL_PREFIX_NAME '$name': letters, digits, '-' and '_' only"
    BRIVEL_X64_PREFIX=$BRIVEL_X64_BASE${name:+.$name}
    BRIVEL_ARM64_PREFIX=$BRIVEL_ARM64_BASE${name:+.$name}
    BRIVEL_ROOTFS=$BRIVEL_CACHE_DIR/rootfs-arm64
    BRIVEL_NS_STATE=$BRIVEL_RUN/arm64-ns
    mkdir -p "$BRIVEL_RUN"
}

# The parts, by theme: logging, locks, daemons and what both prefixes share;
# installing packages; the x64 prefix; the arm64 root file system; the arm64
# mount namespace and server. They only define functions and constants.
BRIVEL_LIB=$(dirname "${BASH_SOURCE[0]}")
# shellcheck source=wine-env-common.sh
source "$BRIVEL_LIB/wine-env-common.sh"
# shellcheck source=wine-env-packages.sh
source "$BRIVEL_LIB/wine-env-packages.sh"
# shellcheck source=wine-env-x64.sh
source "$BRIVEL_LIB/wine-env-x64.sh"
# shellcheck source=wine-env-rootfs.sh
source "$BRIVEL_LIB/wine-env-rootfs.sh"
# shellcheck source=wine-env-arm64.sh
source "$BRIVEL_LIB/wine-env-arm64.sh"
