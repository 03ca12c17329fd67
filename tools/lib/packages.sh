# Debian packages the project needs, and a quiet installer for the missing
# ones. Sourced by the project's commands.

BUILD_PACKAGES=(
  clang-19 lld-19 llvm-19 mingw-w64 mingw-w64-x86-64-dev
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
  cmake ninja-build python3 gcab
)
TEST_PACKAGES=(
  googletest wine wine64 libwine qemu-user-static mmdebstrap arch-test zstd
  libclang-rt-19-dev
)

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
