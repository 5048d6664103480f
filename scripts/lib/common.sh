# Shared by the project's scripts: packages, the Wine prefix, the wineserver.

source "$(dirname "${BASH_SOURCE[0]}")/tls.sh"

log() { printf '== %s\n' "$*" >&2; }

# Whatever a script starts (the display, the wineserver, servers) is stopped
# on every way out: the end, a failure at any step, Ctrl-C, a kill. A step
# registers its stop with on_exit before it starts anything; the stops run
# in reverse order, once.
tessaline_exit_steps=()
on_exit() {
  local step
  for step in "${tessaline_exit_steps[@]}"; do [[ $step != "$1" ]] || return 0; done
  tessaline_exit_steps=("$1" "${tessaline_exit_steps[@]}")
}
run_exit_steps() {
  local step steps=("${tessaline_exit_steps[@]}")
  tessaline_exit_steps=()
  for step in "${steps[@]}"; do eval "$step" || true; done
}
trap run_exit_steps EXIT
# A signal ends the script through its EXIT trap, with the shell's usual code.
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# The scripts run what Debian's packages install, not what a PATH of the
# user's own puts first (a pyenv python3, a cmake in /usr/local): the same
# commands on every machine, and the ones check_commands vouches for.
export PATH=/usr/sbin:/usr/bin:/sbin:/bin

tessaline_packages=(
  cmake ninja-build gcc g++ pkgconf
  gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64 xvfb curl openssl
  python3 python3-minimal imagemagick-6.q16 mawk procps iproute2
  googletest nlohmann-json3-dev libssl-dev libarchive-dev zlib1g-dev libarchive-tools libz-mingw-w64-dev
  libcli11-dev osslsigncode libboost1.81-dev
)
# What bench/run needs beyond them.
tessaline_bench_packages=(nginx)

# Every command the scripts, the build and the test fixtures run, with the
# package that provides it. A command called anywhere in scripts/, bench/,
# tests/ or cmake/ belongs here; the essential packages' commands (coreutils,
# bash, sed, grep, tar, gzip, findutils, diffutils, getent, dpkg, ...) are
# left out only for brevity: check_commands accepts them as they are.
tessaline_commands=(
  "cmake cmake" "ctest cmake" "ninja ninja-build" "cc gcc" "c++ g++" "pkg-config pkgconf"
  "x86_64-w64-mingw32-gcc-posix gcc-mingw-w64-x86-64-posix"
  "x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64-posix"
  "x86_64-w64-mingw32-windres binutils-mingw-w64-x86-64"
  "x86_64-w64-mingw32-objdump binutils-mingw-w64-x86-64"
  "x86_64-w64-mingw32-strip binutils-mingw-w64-x86-64"
  "wine wine" "wineserver wine" "setarch util-linux" "setpriv util-linux" "Xvfb xvfb"
  "curl curl" "openssl openssl" "python3 python3-minimal" "convert imagemagick-6.q16"
  "awk mawk" "kill procps" "pgrep procps" "ss iproute2" "bsdtar libarchive-tools"
  "bash bash" "sh dash" "getent libc-bin" "uname coreutils" "tar tar" "gzip gzip" "cmp diffutils"
  "dpkg-query dpkg" "osslsigncode osslsigncode"
)
tessaline_bench_commands=("nginx nginx")

# Installs, from Debian's packages, whatever of the list (the arguments, or
# tessaline_packages without any) is not there yet.
ensure_packages() {
  local missing=() package wanted=("$@")
  [[ $# -gt 0 ]] || wanted=("${tessaline_packages[@]}")
  for package in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
  done
  [[ ${#missing[@]} -eq 0 ]] && return 0
  log "installing ${missing[*]}"
  local sudo=()
  [[ $(id -u) -eq 0 ]] || sudo=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  local apt_log="$root/build/apt.log"
  mkdir -p "$root/build"
  if ! "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" >"$apt_log" 2>&1; then
    "${sudo[@]}" apt-get update -q >>"$apt_log" 2>&1
    "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" >>"$apt_log" 2>&1 ||
      { cat "$apt_log" >&2; return 1; }
  fi
}

# check_commands PACKAGES_ARRAY COMMANDS_ARRAY: every listed command resolves
# to a file of a package in PACKAGES (or of an essential package), so that a
# command which merely happens to be installed on this machine, by hand or as
# a recommendation, cannot hide a missing install step. Checks the file the
# command names and then each link on the way to its target, and takes the
# first one a package owns (wine is a link through /etc/alternatives to a file
# of Debian's wine). Prints every problem, naming the command and the package.
check_commands() {
  local -n packages_ref=$1 commands_ref=$2
  local -A allowed=() owner=()
  local package essential entry command expected path hop target problems=0 hops=()
  for package in "${packages_ref[@]}"; do allowed[$package]=1; done
  while read -r package essential; do
    [[ $essential == yes ]] && allowed[$package]=1
  done < <(dpkg-query -W -f='${Package} ${Essential}\n')
  # One dpkg-query for every file on every command's way: it reads the whole
  # file database each time it runs.
  for entry in "${commands_ref[@]}"; do
    read -r command expected <<<"$entry"
    path=$(type -P "$command") || continue
    while :; do
      hops+=("$path")
      # Debian 12 still registers some files of essential packages under /bin.
      [[ $path == /usr/bin/* || $path == /usr/sbin/* ]] && hops+=("${path#/usr}")
      [[ -L $path ]] || break
      target=$(readlink "$path")
      [[ $target == /* ]] || target="$(dirname "$path")/$target"
      path=$target
    done
  done
  while IFS= read -r line; do
    [[ $line == *": /"* ]] || continue
    owner[${line#*: }]=${line%%: *}
  done < <(dpkg-query -S "${hops[@]}" 2>/dev/null)
  for entry in "${commands_ref[@]}"; do
    read -r command expected <<<"$entry"
    if [[ -z ${allowed[$expected]:-} ]]; then
      log "$command comes from Debian's $expected, which the scripts do not install: add $expected to the package list in scripts/lib/common.sh"
      problems=$((problems + 1))
      continue
    fi
    if ! path=$(type -P "$command"); then
      log "$command is not installed: it comes from Debian's $expected"
      problems=$((problems + 1))
      continue
    fi
    package=""
    while :; do
      package=${owner[$path]:-}
      [[ -z $package && ($path == /usr/bin/* || $path == /usr/sbin/*) ]] && package=${owner[${path#/usr}]:-}
      [[ -n $package || ! -L $path ]] && break
      target=$(readlink "$path")
      [[ $target == /* ]] || target="$(dirname "$path")/$target"
      path=$target
    done
    # dpkg-query -S answers "pkg:arch" for multi-arch packages and "a, b" for
    # a folder; a command is a file of one package.
    package=${package%%:*}
    if [[ -z $package ]]; then
      log "$command is $(type -P "$command"), which no Debian package installed: the scripts would run it in place of Debian's $expected"
      problems=$((problems + 1))
    elif [[ -z ${allowed[$package]:-} ]]; then
      log "$command is $path from Debian's $package, which the scripts do not install: add $package to the package list in scripts/lib/common.sh"
      problems=$((problems + 1))
    fi
  done
  ((problems == 0)) || { log "$problems command(s) not provided by the scripts' packages"; return 1; }
}

export TESSALINE_WINE_ROOT="${TESSALINE_WINE_ROOT:-$root/build/wine}"
wine_run() { "$root/scripts/wine-run" "$@"; }
wine_env() {
  export WINEPREFIX="$TESSALINE_WINE_ROOT/prefix" HOME="$TESSALINE_WINE_ROOT/home" WINEDEBUG=-all
  export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=;mshtml="
}

# A fresh prefix that reports Windows 10 and lets windows close at once
# without a window manager.
prepare_wine_prefix() {
  log "creating a fresh Wine prefix in $TESSALINE_WINE_ROOT"
  on_exit stop_wineserver
  ( wine_env; wineserver -k >/dev/null 2>&1 || true )
  rm -rf "$TESSALINE_WINE_ROOT"
  mkdir -p "$TESSALINE_WINE_ROOT/home"
  (
    wine_env
    wine_run wineboot -i >/dev/null 2>&1 </dev/null
    wine_run winecfg -v win10 >/dev/null 2>&1 </dev/null
    wine_run reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1 </dev/null
    wineserver -w
  )
}

# One persistent wineserver for the whole run: Wine processes then start in
# well under a tenth of a second.
start_wineserver() {
  on_exit stop_wineserver
  (
    wine_env
    wineserver -p >/dev/null 2>&1 </dev/null
    wine_run cmd /c exit >/dev/null 2>&1 </dev/null
    # The desktop process that the first window of a run would start would
    # inherit that test's output pipes and keep ctest waiting for it.
    wine_run explorer.exe /desktop >/dev/null 2>&1 </dev/null &
  )
}

# Wine ships no tar.exe; the test bench's stand-in takes its place.
install_tar_standin() {
  local standin="${TESSALINE_WINDOWS_BUILD_DIR:-$root/build/test}/tools/tar.exe"
  [[ -f $standin ]] || { log "no $standin: build the Windows tree first"; return 1; }
  cp "$standin" "$TESSALINE_WINE_ROOT/prefix/drive_c/windows/system32/tar.exe"
}

# Also ends the Wine processes of this prefix that its server no longer
# knows: one ended in the middle of its own start (the tests end starters at
# any moment) can outlive the server, holding whatever it inherited.
stop_wineserver() {
  ( wine_env; wineserver -k >/dev/null 2>&1 || true )
  local pid prefix="$TESSALINE_WINE_ROOT/prefix"
  for pid in $(pgrep -f '^/usr/lib/wine/' || true); do
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$prefix" && kill -KILL "$pid" 2>/dev/null
  done
  return 0
}

# A virtual display for the windows and message boxes of the tests; the first
# free display number from 90 up.
#   start_display [WIDTHxHEIGHT]   1280x1024 unless given
start_display() {
  on_exit stop_display
  local n size=${1:-1280x1024}
  for n in $(seq 90 120); do
    [[ -e /tmp/.X11-unix/X$n || -e /tmp/.X$n-lock ]] && continue
    Xvfb ":$n" -screen 0 "${size}x24" -nolisten tcp >/dev/null 2>&1 </dev/null &
    tessaline_xvfb_pid=$!
    export DISPLAY=":$n"
    local i
    for i in $(seq 50); do [[ -e /tmp/.X11-unix/X$n ]] && return 0; sleep 0.1; done
    log "Xvfb did not start on :$n"
    return 1
  done
  log "no free X display number"
  return 1
}

stop_display() {
  [[ -n ${tessaline_xvfb_pid:-} ]] || return 0
  kill "$tessaline_xvfb_pid" 2>/dev/null
  wait "$tessaline_xvfb_pid" 2>/dev/null
  tessaline_xvfb_pid=""
  return 0
}
