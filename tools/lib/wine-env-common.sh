# shellcheck shell=bash
# Part of tools/lib/wine-env.sh (which sources it): logging, locks, detached
# daemons, and what both Wine environments share about a prefix (Wine's
# default settings, telling whether its server runs, turning its debugger off).

brivel_log() { printf 'brivel-env: %s\n' "$*" >&2; }
brivel_die() { brivel_log "error: $*"; exit 1; }

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

# brivel_clone_prefix BASE PREFIX: makes PREFIX a copy of the ready prefix
# BASE (which no server may be writing meanwhile: the caller holds the
# prefix's lock). The libraries Wine installed in system32 (most of the
# prefix's size) are never written by a run and are linked, not copied;
# the file naming BASE's server directory is left out, so PREFIX gets a
# server of its own.
brivel_clone_prefix() {
    local base=$1 prefix=$2 tmp=$2.tmp
    brivel_log "making the Wine prefix $prefix from $base"
    rm -rf --one-file-system "$tmp"
    mkdir -p "$tmp"
    tar -C "$base" --exclude=./drive_c/windows/system32 --exclude=./wineserver -cf - . \
        | tar -C "$tmp" -xpf - || brivel_die "cannot copy $base"
    cp -al "$base/drive_c/windows/system32" "$tmp/drive_c/windows/system32" \
        || brivel_die "cannot link the libraries of $base"
    rm -rf --one-file-system "$prefix"
    mv -T "$tmp" "$prefix"
}
