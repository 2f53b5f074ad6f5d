#!/usr/bin/env bash
# Installs the Debian packages a build needs, and nothing when they are already there.
#   scripts/install-deps.sh build   compiler, CMake, Ninja and the libraries
#   scripts/install-deps.sh test    the above plus the test frameworks and tools
#   scripts/install-deps.sh fuzz    the build packages plus clang and its libFuzzer runtime
#   scripts/install-deps.sh bench   the build packages plus Google Benchmark, OpenSSH's agent and
#                                   socat (the plain hop the relay is compared with)
# Works as root or through sudo; apt-get runs only when a package is missing.
set -euo pipefail

build_packages=(
  g++ cmake ninja-build pkg-config make
  libssl-dev libasio-dev nlohmann-json3-dev libicu-dev
  libavahi-client-dev libsecret-1-dev libglib2.0-dev
  qt6-base-dev qt6-svg-dev help2man dpkg-dev
)
test_packages=(
  libgtest-dev libgmock-dev libbenchmark-dev clang-format
  openssh-client openssh-server
  dbus dbus-bin avahi-daemon avahi-utils iproute2 gnome-keyring libsecret-tools
  dunst xvfb python3-dbus trayer x11-utils xdotool fonts-dejavu-core
  man-db bash-completion socat git
)

bench_packages=(
  libbenchmark-dev openssh-client socat
)

fuzz_packages=(
  clang libclang-rt-14-dev
)

case "${1:-test}" in
  build) wanted=("${build_packages[@]}") ;;
  test) wanted=("${build_packages[@]}" "${test_packages[@]}") ;;
  fuzz) wanted=("${build_packages[@]}" "${fuzz_packages[@]}") ;;
  bench) wanted=("${build_packages[@]}" "${bench_packages[@]}") ;;
  *) echo "usage: $0 build|test|fuzz|bench" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
  as_root=()
elif command -v sudo >/dev/null; then
  as_root=(sudo)
else
  echo "error: packages missing (${missing[*]}) and not root; install them or run with sudo" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -q
"${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
