#!/usr/bin/env bash
# Installs the Debian packages a task needs: `run` (build and run the program, the default),
# `test` (the tests and the real peers they talk to), `bench` (the benchmarks), `fuzz` (the
# libFuzzer targets), `sanitize` (the tests built with clang's sanitizers) or `package` (the
# Debian package and its checks). Idempotent: installs only what is missing, and refreshes the
# package lists only then.
set -euo pipefail

task="${1:-run}"

run=(
  build-essential cmake ninja-build ccache pkg-config
  qt6-base-dev libgl-dev
  libssl-dev libcurl4-openssl-dev libsystemd-dev fonts-noto-cjk libqt6svg6 qt6-translations-l10n
)
test=(
  "${run[@]}"
  googletest libgtest-dev libgmock-dev clang-format
  libevt-utils libevtx-utils
  binutils-mingw-w64-x86-64 python3 python3-pefile python3-aiosmtpd nodejs openssl
  lhasa libarchive-tools samba xvfb xauth x11-utils xdotool imagemagick trayer openbox
  rsyslog systemd-journal-remote
)
bench=("${test[@]}" libbenchmark-dev strace jlha-utils)
fuzz=("${run[@]}" clang libclang-rt-14-dev lhasa)
sanitize=("${test[@]}" clang libclang-rt-14-dev)
package=("${run[@]}" dpkg-dev file lintian desktop-file-utils appstream man-db groff-base
  systemd)

case "$task" in
  run) packages=("${run[@]}") ;;
  test) packages=("${test[@]}") ;;
  bench) packages=("${bench[@]}") ;;
  fuzz) packages=("${fuzz[@]}") ;;
  sanitize) packages=("${sanitize[@]}") ;;
  package) packages=("${package[@]}") ;;
  *) echo "usage: $0 [run|test|bench|fuzz|sanitize|package]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
