# shellcheck shell=bash
# Part of tools/lib/wine-env.sh (which sources it): the long-lived mount
# namespace the arm64 runs share, the arm64 prefix and its server inside it,
# and stopping both environments.

# ---- the mount namespace
#
# State file: "PID NSID GEN". PID is the holder (`sleep infinity`), NSID its
# mount namespace, GEN the inodes of the root file system and the prefix it
# mounted (both are recreated only together with the namespace).

brivel_ns_gen() { stat -c %i "$BRIVEL_ROOTFS" "$BRIVEL_ARM64_BASE" 2>/dev/null | tr '\n' : ; }

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
    brivel_ns_bind "$BRIVEL_ARM64_BASE"
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
        && brivel_ns_covered "$BRIVEL_ARM64_PREFIX" && brivel_server_alive "$BRIVEL_ARM64_PREFIX"; then
        return 0
    fi
    ((EUID == 0)) || brivel_die "the arm64 environment needs root (chroot, mounts)"
    brivel_need_packages qemu-user-static mmdebstrap arch-test zstd
    brivel_binfmt_aarch64
    brivel_wine_defaults
    if [[ $BRIVEL_ARM64_PREFIX != "$BRIVEL_ARM64_BASE" && ! -e $BRIVEL_ARM64_PREFIX/.brivel-ready ]]; then
        # A prefix of the caller's own comes from the shared one, made first.
        (BRIVEL_ARM64_PREFIX=$BRIVEL_ARM64_BASE && brivel_arm64_prepare)
        brivel_lock arm64
        [[ -e $BRIVEL_ARM64_PREFIX/.brivel-ready ]] \
            || brivel_clone_prefix "$BRIVEL_ARM64_BASE" "$BRIVEL_ARM64_PREFIX"
    fi
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
    brivel_ns_bind "$BRIVEL_ARM64_PREFIX"
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
    local prefix
    if command -v wineserver >/dev/null; then
        brivel_lock x64
        for prefix in "$BRIVEL_X64_BASE" "$BRIVEL_X64_BASE".*; do
            [[ -e $prefix/.brivel-ready ]] || continue
            WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
        done
        brivel_unlock x64
    fi
    brivel_lock arm64
    if brivel_ns_holder; then
        for prefix in "$BRIVEL_ARM64_BASE" "$BRIVEL_ARM64_BASE".*; do
            [[ -e $prefix/.brivel-ready ]] || continue
            BRIVEL_ARM64_PREFIX=$prefix brivel_arm64_server_stop
        done
    fi
    brivel_ns_stop
    brivel_unlock arm64
}
