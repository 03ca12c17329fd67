# shellcheck shell=bash
# Part of tools/lib/wine-env.sh (which sources it): the arm64 Debian root
# file system (unpacked from the cached tarball, or built from this machine's
# mirror and cached), and the binfmt_misc handler that runs its programs.

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
