# shellcheck shell=bash
# Part of tools/lib/wine-env.sh (which sources it): installs the Debian
# packages a Wine environment needs, under the apt lock.

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
