# shellcheck shell=bash
# Part of tools/lib/wine-env.sh (which sources it): the host's 64-bit Wine
# with a prefix of our own and its persistent server.

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
    if [[ $BRIVEL_X64_PREFIX != "$BRIVEL_X64_BASE" && ! -e $BRIVEL_X64_PREFIX/.brivel-ready ]]; then
        # A prefix of the caller's own comes from the shared one, made first.
        (BRIVEL_X64_PREFIX=$BRIVEL_X64_BASE && brivel_x64_prepare)
        brivel_lock x64
        [[ -e $BRIVEL_X64_PREFIX/.brivel-ready ]] \
            || brivel_clone_prefix "$BRIVEL_X64_BASE" "$BRIVEL_X64_PREFIX"
    fi
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
