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

brivel_log() { printf 'brivel-env: %s\n' "$*" >&2; }
brivel_die() { brivel_log "error: $*"; exit 1; }

# Resolves the cache directory once (absolute and physical: the same path is
# used inside the arm64 root file system).
brivel_init() {
    [[ -n ${BRIVEL_CACHE_DIR:-} ]] && return 0
    local c=${BRIVEL_CACHE:-/var/cache/brivel-bootstrap}
    mkdir -p "$c" || brivel_die "cannot create the cache directory $c"
    BRIVEL_CACHE_DIR=$(cd "$c" && pwd -P)
    BRIVEL_RUN=$BRIVEL_CACHE_DIR/run
    BRIVEL_X64_PREFIX=$BRIVEL_CACHE_DIR/wine-x64
    BRIVEL_ARM64_PREFIX=$BRIVEL_CACHE_DIR/wine-arm64
    BRIVEL_ROOTFS=$BRIVEL_CACHE_DIR/rootfs-arm64
    BRIVEL_NS_STATE=$BRIVEL_RUN/arm64-ns
    mkdir -p "$BRIVEL_RUN"
}

# ---------------------------------------------------------------- utilities

# brivel_lock NAME: takes an exclusive lock held until brivel_unlock NAME or
# the end of the process. Locks nest by name; taking a held one is a no-op.
declare -A BRIVEL_LOCK_FDS=()
brivel_lock() {
    local name=$1 fd
    [[ -n ${BRIVEL_LOCK_FDS[$name]:-} ]] && return 0
    exec {fd}>"$BRIVEL_RUN/$name.lock"
    if ! flock -n "$fd"; then
        brivel_log "waiting for another set-up ($name) to finish"
        flock "$fd"
    fi
    BRIVEL_LOCK_FDS[$name]=$fd
}
brivel_unlock() {
    local name=$1 fd=${BRIVEL_LOCK_FDS[$1]:-}
    [[ -n $fd ]] || return 0
    exec {fd}>&-
    unset "BRIVEL_LOCK_FDS[$name]"
}

# brivel_detached [-f] CMD...: runs CMD in its own session with standard input
# from /dev/null, output to $BRIVEL_DETACHED_LOG (default /dev/null) and every
# other inherited descriptor closed. Waits for CMD, unless -f (then CMD is left
# running in the background).
brivel_detached() {
    local mode=-w
    if [[ $1 == -f ]]; then mode=-f; shift; fi
    (
        cd /
        for f in "/proc/$BASHPID/fd"/*; do
            n=${f##*/}
            ((n > 2)) && eval "exec $n>&-"
        done 2>/dev/null
        exec setsid "$mode" "$@" </dev/null >>"${BRIVEL_DETACHED_LOG:-/dev/null}" 2>&1
    )
}

# Wine settings every run gets unless the caller chose otherwise.
brivel_wine_defaults() {
    export WINEDEBUG=${WINEDEBUG--all}
    export WINEDLLOVERRIDES=${WINEDLLOVERRIDES-mscoree,mshtml=}
}

# brivel_need_packages PKG...: installs the packages that are missing, with a
# single `apt-get update` per process; silent when all are present.
BRIVEL_APT_UPDATED=
brivel_need_packages() {
    local p missing=()
    for p; do
        [[ $(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null) == installed ]] || missing+=("$p")
    done
    ((${#missing[@]})) || return 0
    ((EUID == 0)) || brivel_die "must run as root to install: ${missing[*]}"
    brivel_init
    brivel_lock apt
    # Re-check: a parallel set-up may have installed them meanwhile.
    local still=()
    for p in "${missing[@]}"; do
        [[ $(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null) == installed ]] || still+=("$p")
    done
    if ((${#still[@]})); then
        brivel_log "installing ${still[*]}"
        local log=$BRIVEL_RUN/apt.log
        export DEBIAN_FRONTEND=noninteractive
        if [[ -z $BRIVEL_APT_UPDATED ]]; then
            apt-get -qq -o DPkg::Lock::Timeout=600 update >"$log" 2>&1 \
                || { cat "$log" >&2; brivel_die "apt-get update failed"; }
            BRIVEL_APT_UPDATED=1
        fi
        apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=600 "${still[@]}" >"$log" 2>&1 \
            || { cat "$log" >&2; brivel_die "apt-get install ${still[*]} failed"; }
    fi
    brivel_unlock apt
}

# brivel_server_alive PREFIX: true when a wine server holds PREFIX's server
# lock. Debian's Wine keeps the server directory under a random name in /tmp,
# recorded in PREFIX/wineserver; the server directory is named after the
# prefix's device and inode, and the server holds a POSIX lock on its "lock"
# file, which /proc/locks shows (whatever mount namespace the server is in).
brivel_server_alive() {
    local prefix=$1 top dev ino lock lino maj min
    [[ -r $prefix/wineserver ]] || return 1
    top=$(<"$prefix/wineserver")
    [[ -n $top ]] || return 1
    [[ $top == /* ]] || top=/tmp/$top
    read -r dev ino < <(stat -c '%D %i' "$prefix") || return 1
    lock=$(printf '%s/server-%s-%x/lock' "$top" "$dev" "$ino")
    lino=$(stat -c %i "$lock" 2>/dev/null) || return 1
    dev=$((16#$dev))
    maj=$(((dev >> 8) & 0xfff))
    min=$(((dev & 0xff) | ((dev >> 12) & 0xfff00)))
    grep -q " $(printf '%02x:%02x' "$maj" "$min"):$lino " /proc/locks
}

# ---------------------------------------------------------------- the debugger

# Wine starts its debugger (winedbg --auto) for a process that dies of an
# unhandled exception; the debugger prints its report and ends the process,
# under Wine 8 now and then with exit code 0, which reads as a pass. An empty
# "Debugger" under AeDebug starts none, so such a process always ends with
# its exception's code (Wine still writes "wine: Unhandled ..." on standard
# error). Tried here: without the value Wine falls back to winedbg; "Auto"
# "0" starts it all the same.
BRIVEL_AEDEBUG='HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug'

# brivel_debugger_off PREFIX RUNNER...: once per prefix (a marker file says
# it is done), through RUNNER (the command that runs wine for that prefix).
brivel_debugger_off() {
    local prefix=$1
    shift
    [[ -e $prefix/.brivel-no-debugger ]] && return 0
    if "$@" reg add "$BRIVEL_AEDEBUG" /v Debugger /t REG_SZ /d '' /f >/dev/null 2>&1; then
        touch "$prefix/.brivel-no-debugger"
    else
        brivel_log "warning: cannot turn Wine's debugger off in $prefix"
    fi
}

# ---------------------------------------------------------------- x64

brivel_x64_wine() { WINEPREFIX=$BRIVEL_X64_PREFIX "$@"; }

# Creates the x64 prefix if needed and makes sure its persistent server runs.
brivel_x64_prepare() {
    brivel_init
    if command -v wine >/dev/null && [[ -e $BRIVEL_X64_PREFIX/.brivel-ready ]] \
        && [[ -e $BRIVEL_X64_PREFIX/.brivel-no-debugger ]] \
        && brivel_server_alive "$BRIVEL_X64_PREFIX"; then
        return 0
    fi
    brivel_need_packages wine wine64
    brivel_wine_defaults
    brivel_lock x64
    if [[ ! -e $BRIVEL_X64_PREFIX/.brivel-ready ]]; then
        brivel_x64_create_prefix
    fi
    if ! brivel_server_alive "$BRIVEL_X64_PREFIX"; then
        brivel_x64_wine brivel_detached wineserver -p || true
        # Let the prefix's services start now, detached, rather than under the
        # first program (they would inherit and hold its output pipe).
        brivel_x64_wine brivel_detached wine cmd.exe /c exit 0 || true
        brivel_server_alive "$BRIVEL_X64_PREFIX" || brivel_log "warning: the x64 wine server did not stay up"
    fi
    brivel_debugger_off "$BRIVEL_X64_PREFIX" brivel_x64_wine wine
    brivel_unlock x64
}

brivel_x64_create_prefix() {
    local p=$BRIVEL_X64_PREFIX log=$BRIVEL_RUN/wine-x64-init.log
    brivel_log "creating the x64 Wine prefix $p"
    if [[ -d $p ]]; then
        brivel_x64_wine wineserver -k >/dev/null 2>&1 || true
        rm -rf --one-file-system "$p"
    fi
    mkdir -p "$p"
    # Output goes to a file: the server that wineboot starts would otherwise
    # hold the caller's pipe. `wineserver -w` waits until that server has
    # written the registry and gone.
    : >"$log"
    if ! { BRIVEL_DETACHED_LOG=$log brivel_x64_wine brivel_detached wine wineboot.exe -i \
        && brivel_x64_wine wineserver -w; } >>"$log" 2>&1; then
        cat "$log" >&2
        brivel_die "wineboot failed for $p"
    fi
    [[ -s $p/system.reg ]] || brivel_die "wineboot did not create $p (see $log)"
    touch "$p/.brivel-ready"
}

# ---------------------------------------------------------------- arm64

# brivel_apt_mirror: prints the Debian mirror this machine's apt uses, from
# deb822 sources (URIs:) or one-line sources.list entries; an entry for the
# suite we build is preferred.
brivel_apt_mirror() {
    local files=() f
    for f in /etc/apt/sources.list.d/*.sources; do [[ -r $f ]] && files+=("$f"); done
    local m=
    if ((${#files[@]})); then
        m=$(awk -v suite="$BRIVEL_SUITE" '
            BEGIN { RS = ""; FS = "\n" }
            {
                types = ""; uris = ""; suites = ""; enabled = "yes"
                for (i = 1; i <= NF; i++) {
                    line = $i
                    if (line ~ /^[ \t]*#/) continue
                    if (match(line, /^[A-Za-z-]+:/)) {
                        key = tolower(substr(line, 1, RLENGTH - 1))
                        val = substr(line, RLENGTH + 1)
                        gsub(/^[ \t]+|[ \t]+$/, "", val)
                        if (key == "types") types = val
                        else if (key == "uris") uris = val
                        else if (key == "suites") suites = val
                        else if (key == "enabled") enabled = tolower(val)
                    }
                }
                if (enabled == "no" || (" " types " ") !~ / deb / || uris == "") next
                split(uris, u, /[ \t]+/)
                if ((" " suites " ") ~ (" " suite " ")) { if (best == "") best = u[1] }
                else if (first == "") first = u[1]
            }
            END { print (best != "" ? best : first) }' "${files[@]}")
    fi
    if [[ -z $m ]]; then
        files=()
        for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do [[ -r $f ]] && files+=("$f"); done
        ((${#files[@]})) && m=$(awk -v suite="$BRIVEL_SUITE" '
            $1 == "deb" {
                i = 2
                if ($i ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ }
                if ($(i + 1) == suite) { if (best == "") best = $i }
                else if (first == "") first = $i
            }
            END { print (best != "" ? best : first) }' "${files[@]}")
    fi
    [[ -n $m ]] || brivel_die "no Debian mirror found in /etc/apt/sources.list or /etc/apt/sources.list.d"
    printf '%s\n' "$m"
}

# Mounts binfmt_misc and registers qemu's aarch64 handler with the F flag
# (interpreter opened at registration), so that arm64 programs can execve one
# another inside the chroot, where the interpreter's path does not exist.
brivel_binfmt_aarch64() {
    local dir=/proc/sys/fs/binfmt_misc conf=/usr/lib/binfmt.d/qemu-aarch64.conf entry
    entry=$dir/qemu-aarch64
    if [[ ! -e $dir/register ]]; then
        mount -t binfmt_misc binfmt_misc "$dir" || brivel_die "cannot mount binfmt_misc on $dir"
    fi
    if [[ -e $entry ]]; then
        if grep -qx enabled "$entry" && grep -q '^flags:.*F' "$entry"; then
            return 0
        fi
        brivel_log "replacing the qemu-aarch64 binfmt handler (it lacks the F flag or is disabled)"
        echo -1 >"$entry"
    fi
    [[ -r $conf ]] || brivel_die "$conf is missing (qemu-user-static not installed?)"
    grep -q '^[^#;].*:[A-Z]*F[A-Z]*$' "$conf" || brivel_die "$conf does not use the F flag"
    grep -v '^[#;]' "$conf" | grep . >"$dir/register" || [[ -e $entry ]] \
        || brivel_die "cannot register $conf with binfmt_misc"
    [[ -e $entry ]] || brivel_die "qemu-aarch64 binfmt handler did not register"
}

# Makes BRIVEL_ROOTFS exist: from the cached tarball when there is one,
# otherwise built from the mirror (and the tarball cached).
brivel_rootfs_ensure() {
    [[ -d $BRIVEL_ROOTFS ]] && return 0
    local tmp=$BRIVEL_ROOTFS.tmp tarball='' log=$BRIVEL_RUN/rootfs.log
    brivel_clear_dir "$tmp"
    if [[ -s $BRIVEL_ROOTFS.tar.zst ]] && command -v zstd >/dev/null; then
        tarball=$BRIVEL_ROOTFS.tar.zst
    elif [[ -s $BRIVEL_ROOTFS.tar.gz ]]; then
        tarball=$BRIVEL_ROOTFS.tar.gz
    fi
    if [[ -n $tarball ]]; then
        brivel_log "unpacking the arm64 root file system from $tarball"
        mkdir "$tmp"
        local dec=(gzip -dc)
        [[ $tarball == *.zst ]] && dec=(zstd -dc -q)
        "${dec[@]}" "$tarball" | tar -C "$tmp" --numeric-owner --xattrs --xattrs-include='*' -xpf - \
            || brivel_die "cannot unpack $tarball"
    else
        local mirror
        mirror=$(brivel_apt_mirror)
        brivel_log "building the arm64 root file system from $mirror (about 4 minutes; log: $log)"
        if ! mmdebstrap --arch=arm64 --variant=apt --include="$BRIVEL_ARM64_PACKAGES" \
            "$BRIVEL_SUITE" "$tmp" "$mirror" >"$log" 2>&1; then
            tail -n 30 "$log" >&2
            brivel_die "mmdebstrap failed"
        fi
        brivel_rootfs_pack "$tmp"
    fi
    chroot "$tmp" /bin/true || brivel_die "arm64 programs do not run in $tmp (binfmt_misc/qemu)"
    mv -T "$tmp" "$BRIVEL_ROOTFS"
}

# Caches a compressed tarball of a freshly built root file system.
brivel_rootfs_pack() {
    local dir=$1 out comp
    if command -v zstd >/dev/null; then
        out=$BRIVEL_ROOTFS.tar.zst comp=(zstd -q -T0 -6)
    else
        out=$BRIVEL_ROOTFS.tar.gz comp=(gzip -6)
    fi
    brivel_log "caching the root file system in $out"
    tar -C "$dir" --numeric-owner --xattrs --xattrs-include='*' -cf - . | "${comp[@]}" >"$out.tmp" \
        || brivel_die "cannot write $out"
    mv -f "$out.tmp" "$out"
}

# Removes a leftover directory from an interrupted set-up, refusing if anything
# is still mounted below it.
brivel_clear_dir() {
    local d=$1
    [[ -e $d ]] || return 0
    if awk -v d="$d/" '{ if (index($5 "/", d) == 1) found = 1 } END { exit !found }' /proc/self/mountinfo; then
        brivel_die "$d has mounts below it; unmount them first"
    fi
    rm -rf --one-file-system "$d"
}

# ---- the mount namespace
#
# State file: "PID NSID GEN". PID is the holder (`sleep infinity`), NSID its
# mount namespace, GEN the inodes of the root file system and the prefix it
# mounted (both are recreated only together with the namespace).

brivel_ns_gen() { stat -c %i "$BRIVEL_ROOTFS" "$BRIVEL_ARM64_PREFIX" 2>/dev/null | tr '\n' : ; }

# Reads the state: sets BRIVEL_NS_PID if the holder recorded is alive and
# still in the namespace recorded; true if so.
brivel_ns_holder() {
    local pid nsid
    BRIVEL_NS_PID='' BRIVEL_NS_GEN=''
    [[ -r $BRIVEL_NS_STATE ]] || return 1
    read -r pid nsid BRIVEL_NS_GEN <"$BRIVEL_NS_STATE" || return 1
    [[ -n $pid && $(readlink "/proc/$pid/ns/mnt" 2>/dev/null) == "$nsid" ]] || return 1
    BRIVEL_NS_PID=$pid
}

# True if the holder is alive and its mounts are of the current root file
# system and prefix.
brivel_ns_alive() {
    brivel_ns_holder && [[ $BRIVEL_NS_GEN == "$(brivel_ns_gen)" ]]
}

# brivel_ns_covered PATH: true if host PATH is seen at the same path inside
# the root file system, in the namespace. Compared by device and inode through
# the holder's /proc/PID/root, which walks that namespace's mounts: a bind
# whose source folder was deleted (and perhaps made anew, as a fresh clone at
# the same path is) no longer counts.
brivel_ns_covered() {
    local host inside
    host=$(stat -L -c %d:%i "$1" 2>/dev/null) || return 1
    inside=$(stat -L -c %d:%i "/proc/$BRIVEL_NS_PID/root$BRIVEL_ROOTFS$1" 2>/dev/null) || return 1
    [[ $host == "$inside" ]]
}

brivel_ns_exec() { nsenter -t "$BRIVEL_NS_PID" -m -- "$@"; }

# brivel_ns_bind PATH: bind-mounts host PATH at the same path in the root file
# system, inside the namespace. Caller holds the arm64 lock.
brivel_ns_bind() {
    local p=$1 target=$BRIVEL_ROOTFS$1
    brivel_ns_covered "$p" && return 0
    [[ -d $p ]] || brivel_die "cannot share $p with the arm64 environment: not a directory"
    mkdir -p "$target"
    # A symlink on the way would send the mount outside the root file system.
    [[ $(realpath -m "$target") == "$target" ]] \
        || brivel_die "cannot share $p: $target crosses a symbolic link"
    # Drop a stale bind first (its source folder was deleted): mounting onto it
    # would fail.
    # shellcheck disable=SC2016 # $1 and $2 belong to the inner shell
    brivel_ns_exec sh -c 'while umount -l "$1" 2>/dev/null; do :; done; exec mount --rbind "$2" "$1"' \
        sh "$target" "$p" || brivel_die "cannot bind-mount $p"
}

# Starts the holder and mounts /proc, /dev, /tmp and the prefix in it.
# Caller holds the arm64 lock.
brivel_ns_start() {
    local pidfile=$BRIVEL_RUN/arm64-ns.pid pid='' nsid i
    rm -f "$pidfile" "$BRIVEL_NS_STATE"
    # shellcheck disable=SC2016 # $$ and $1 belong to the inner shell
    brivel_detached -f unshare --mount --propagation private \
        sh -c 'echo $$ >"$1.tmp" && mv "$1.tmp" "$1" && exec sleep infinity' sh "$pidfile"
    for ((i = 0; i < 100; i++)); do
        [[ -s $pidfile ]] && pid=$(<"$pidfile") && break
        sleep 0.05
    done
    [[ -n $pid ]] || brivel_die "the mount namespace holder did not start"
    nsid=$(readlink "/proc/$pid/ns/mnt") || brivel_die "the mount namespace holder died"
    [[ $nsid != "$(readlink /proc/self/ns/mnt)" ]] || brivel_die "the holder is not in its own mount namespace"
    rm -f "$pidfile"
    printf '%s %s %s\n' "$pid" "$nsid" "$(brivel_ns_gen)" >"$BRIVEL_NS_STATE"
    BRIVEL_NS_PID=$pid
    local r=$BRIVEL_ROOTFS
    brivel_ns_exec mount -t proc proc "$r/proc" || brivel_die "cannot mount /proc in the root file system"
    brivel_ns_exec mount --rbind /dev "$r/dev" || brivel_die "cannot bind /dev into the root file system"
    brivel_ns_bind /tmp
    brivel_ns_bind "$BRIVEL_ARM64_PREFIX"
}

# Ends the holder recorded in the state file (only if it is still ours).
brivel_ns_stop() {
    if brivel_ns_holder; then
        kill "$BRIVEL_NS_PID" 2>/dev/null || true
    fi
    rm -f "$BRIVEL_NS_STATE"
}

# Runs a command inside the chroot: brivel_arm64_chroot [-C DIR] CMD...
brivel_arm64_chroot() {
    local wd=/
    if [[ $1 == -C ]]; then wd=$2; shift 2; fi
    brivel_ns_exec chroot "$BRIVEL_ROOTFS" /usr/bin/env -C "$wd" "$@"
}

brivel_arm64_prefix_wine() { WINEPREFIX=$BRIVEL_ARM64_PREFIX "$@"; }

# Stops the arm64 server of our prefix, wherever it runs.
brivel_arm64_server_stop() {
    local i
    brivel_server_alive "$BRIVEL_ARM64_PREFIX" || return 0
    brivel_arm64_prefix_wine brivel_arm64_chroot /usr/bin/wineserver -k >/dev/null 2>&1 || true
    for ((i = 0; i < 100; i++)); do
        brivel_server_alive "$BRIVEL_ARM64_PREFIX" || return 0
        sleep 0.1
    done
    brivel_log "warning: the arm64 wine server did not stop"
}

# Everything the arm64 runs need; cheap when all is in place.
brivel_arm64_prepare() {
    brivel_init
    if [[ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 && -e $BRIVEL_ARM64_PREFIX/.brivel-ready ]] \
        && [[ -e $BRIVEL_ARM64_PREFIX/.brivel-no-debugger ]] && brivel_ns_alive && brivel_ns_covered "$BRIVEL_REPO" \
        && brivel_server_alive "$BRIVEL_ARM64_PREFIX"; then
        return 0
    fi
    ((EUID == 0)) || brivel_die "the arm64 environment needs root (chroot, mounts)"
    brivel_need_packages qemu-user-static mmdebstrap arch-test zstd
    brivel_binfmt_aarch64
    brivel_wine_defaults
    brivel_lock arm64
    brivel_rootfs_ensure
    local fresh_prefix=
    if [[ ! -e $BRIVEL_ARM64_PREFIX/.brivel-ready ]]; then
        fresh_prefix=1
        if brivel_ns_holder; then brivel_arm64_server_stop; fi
        brivel_ns_stop
        rm -rf --one-file-system "$BRIVEL_ARM64_PREFIX"
        mkdir -p "$BRIVEL_ARM64_PREFIX"
    fi
    if ! brivel_ns_alive; then
        brivel_ns_stop
        brivel_ns_start
        # A server left from an earlier namespace cannot see this one's mounts.
        brivel_arm64_server_stop
    fi
    brivel_ns_bind "$BRIVEL_REPO"
    if [[ -n $fresh_prefix ]]; then
        local log=$BRIVEL_RUN/wine-arm64-init.log
        brivel_log "creating the arm64 Wine prefix $BRIVEL_ARM64_PREFIX (about 20 s)"
        : >"$log"
        if ! { BRIVEL_DETACHED_LOG=$log brivel_arm64_prefix_wine brivel_detached \
                nsenter -t "$BRIVEL_NS_PID" -m -- chroot "$BRIVEL_ROOTFS" /usr/bin/wine wineboot.exe -i \
            && brivel_arm64_prefix_wine brivel_arm64_chroot /usr/bin/wineserver -w; } >>"$log" 2>&1; then
            cat "$log" >&2
            brivel_die "wineboot failed in the arm64 environment"
        fi
        [[ -s $BRIVEL_ARM64_PREFIX/system.reg ]] || brivel_die "wineboot did not create $BRIVEL_ARM64_PREFIX (see $log)"
        touch "$BRIVEL_ARM64_PREFIX/.brivel-ready"
    fi
    if ! brivel_server_alive "$BRIVEL_ARM64_PREFIX"; then
        brivel_arm64_prefix_wine brivel_detached nsenter -t "$BRIVEL_NS_PID" -m -- \
            chroot "$BRIVEL_ROOTFS" /usr/bin/wineserver -p || true
        brivel_arm64_prefix_wine brivel_detached nsenter -t "$BRIVEL_NS_PID" -m -- \
            chroot "$BRIVEL_ROOTFS" /usr/bin/wine cmd.exe /c exit 0 || true
        brivel_server_alive "$BRIVEL_ARM64_PREFIX" || brivel_log "warning: the arm64 wine server did not stay up"
    fi
    brivel_debugger_off "$BRIVEL_ARM64_PREFIX" brivel_arm64_prefix_wine brivel_arm64_chroot /usr/bin/wine
    brivel_unlock arm64
}

# Ends the persistent servers and the namespace holder (setup-env --stop).
brivel_stop_all() {
    brivel_init
    if command -v wineserver >/dev/null && [[ -e $BRIVEL_X64_PREFIX/.brivel-ready ]]; then
        brivel_lock x64
        brivel_x64_wine wineserver -k >/dev/null 2>&1 || true
        brivel_unlock x64
    fi
    brivel_lock arm64
    if brivel_ns_holder; then
        brivel_arm64_server_stop
    fi
    brivel_ns_stop
    brivel_unlock arm64
}
