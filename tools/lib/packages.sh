# Debian packages the project needs, and a quiet installer for the missing
# ones. Sourced by the project's commands.

BUILD_PACKAGES=(
  clang-19 lld-19 llvm-19 mingw-w64 mingw-w64-x86-64-dev
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
  cmake ninja-build python3 gcab googletest
)
# The icon's tools (resources/make_icon.sh): the build uses the committed
# resources/installer.ico and needs none of them; the check that the icon is
# what its drawing gives does.
ICON_PACKAGES=(librsvg2-bin icoutils netpbm)
TEST_PACKAGES=(
  wine wine64 libwine qemu-user-static mmdebstrap arch-test zstd
  libclang-rt-19-dev softhsm2 opensc python3-pefile "${ICON_PACKAGES[@]}"
)
# Signing (tools/package --sign-...): OpenSSL, its pkcs11 engine for keys in
# a token, and osslsigncode, which ensure_signing_packages takes from
# bookworm-backports.
SIGNING_PACKAGES=(openssl libengine-pkcs11-openssl)
# Debian 12's own osslsigncode (2.5) writes a file of a few kilobytes, and
# reports success, when it signs a file of 2 GiB or more; 2.9 signs it.
OSSLSIGNCODE_MINIMUM=2.9

# ensure_packages NAME...: installs those not installed yet.
ensure_packages() {
  local missing=()
  local name
  for name in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q "ok installed"; then
      missing+=("$name")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# debian_mirror: the Debian archive this machine's apt sources name (deb822
# .sources files first, then sources.list), so that no host is written here.
debian_mirror() {
  local file uri
  for file in /etc/apt/sources.list.d/*.sources; do
    [ -f "$file" ] || continue
    # Paragraph by paragraph: the URI of the first one whose suites include
    # bookworm itself.
    uri=$(awk -v RS= '/(^|\n)[Ss]uites:[^\n]*[ \t]bookworm([ \t]|\n|$)/ {
            if (match($0, /URIs:[ \t]*[^ \t\n]+/)) {
              u = substr($0, RSTART, RLENGTH); sub(/URIs:[ \t]*/, "", u); print u; exit
            } }' "$file")
    [ -n "$uri" ] && { echo "$uri"; return 0; }
  done
  awk '$1 == "deb" && $3 == "bookworm" { print $2; exit }' /etc/apt/sources.list 2>/dev/null
}

# ensure_signing_packages: SIGNING_PACKAGES, and osslsigncode of at least
# OSSLSIGNCODE_MINIMUM, from bookworm-backports added beside the machine's
# own sources when bookworm's is older.
ensure_signing_packages() {
  ensure_packages "${SIGNING_PACKAGES[@]}"
  local installed
  installed=$(dpkg-query -W -f='${Version}' osslsigncode 2>/dev/null || true)
  if [ -n "$installed" ] && dpkg --compare-versions "$installed" ge "$OSSLSIGNCODE_MINIMUM"; then
    return 0
  fi
  local list=/etc/apt/sources.list.d/bookworm-backports.sources mirror
  if ! grep -rqs "bookworm-backports" /etc/apt/sources.list /etc/apt/sources.list.d/; then
    mirror=$(debian_mirror)
    if [ -z "$mirror" ]; then
      echo "no Debian bookworm source in /etc/apt to take bookworm-backports from" >&2
      return 1
    fi
    printf 'Types: deb\nURIs: %s\nSuites: bookworm-backports\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
      "$mirror" >"$list"
  fi
  echo "Installing: osslsigncode (bookworm-backports)"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends -t bookworm-backports osslsigncode >/dev/null
}
