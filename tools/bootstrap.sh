#!/usr/bin/env bash
# Installs the Debian packages that this project needs and that are missing, and nothing else.
#
#   tools/bootstrap.sh [build|test]
#
#   build  what building every program and library takes: the compiler, CMake, Ninja,
#          pkg-config and the libraries of the terminal-side tools (libfuse3, libedit,
#          libsodium);
#   test   (the default) all of that, plus what the test suite, the sanitizer and valgrind
#          runs, the fuzzing run, the benchmark, the manual-page check and the Debian package
#          need.
#
# It says what it installs, and does nothing when everything is there. When it cannot install
# (not root, or no apt-get) it stops at once, naming the packages to install.
set -euo pipefail

profile=${1:-test}
build_packages=(g++ cmake ninja-build pkg-config libfuse3-dev libedit-dev libsodium-dev)
test_packages=(
  clang libclang-rt-14-dev          # the Clang builds and the fuzz target (libFuzzer)
  libgtest-dev googletest           # the test suite
  fuse3 sshfs                       # hostfs's mounts, and sshfs to measure it against
  util-linux                        # unshare, which confines the fuzzing run
  openssh-server openssh-client openssh-sftp-server # launches through a real sshd; the sftp peer
  valgrind                          # tools/valgrind.sh
  mandoc                            # manual-page check
  systemd                           # systemd-socket-activate
  dpkg-dev file                     # cpack -G DEB: dpkg-shlibdeps and file
  tmux python3 git                  # terminal tests, fuzz seeds, the sources themselves
  sqlite3                           # hostrun's test of locks and mmap on a mount
)
case $profile in
  build) wanted=("${build_packages[@]}") ;;
  test) wanted=("${build_packages[@]}" "${test_packages[@]}") ;;
  *)
    echo "usage: $0 [build|test]" >&2
    exit 2
    ;;
esac

missing=()
if command -v dpkg-query >/dev/null; then
  for package in "${wanted[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$package")
  done
else
  missing=("${wanted[@]}")
fi

if [ ${#missing[@]} -eq 0 ]; then
  echo "bootstrap ($profile): every package needed is installed"
  exit 0
fi

if ! command -v apt-get >/dev/null || ! command -v dpkg-query >/dev/null; then
  echo "bootstrap ($profile): no apt-get here; install these Debian packages (or their equivalents):" >&2
  echo "  ${missing[*]}" >&2
  exit 1
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "bootstrap ($profile): these packages are missing; as root, run:" >&2
  echo "  apt-get install -y ${missing[*]}" >&2
  exit 1
fi

echo "bootstrap ($profile): installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Another apt run (an unattended upgrade) may hold the lock for a while: wait for it.
apt_get() { apt-get -o DPkg::Lock::Timeout=300 "$@"; }
apt_get update -q
apt_get install -y -q "${missing[@]}"
