# Shared by the project's scripts: packages, the Wine prefix, the wineserver.

source "$(dirname "${BASH_SOURCE[0]}")/tls.sh"

log() { printf '== %s\n' "$*" >&2; }

tessaline_packages=(
  cmake ninja-build g++ pkg-config
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64 xvfb curl openssl
  python3 imagemagick
  googletest nlohmann-json3-dev libssl-dev libarchive-dev libarchive-tools libcpp-httplib-dev libz-mingw-w64-dev
  libcli11-dev osslsigncode
)

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
  if ! "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" >/tmp/tessaline-apt.log 2>&1; then
    "${sudo[@]}" apt-get update -q >>/tmp/tessaline-apt.log 2>&1
    "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" >>/tmp/tessaline-apt.log 2>&1 ||
      { cat /tmp/tessaline-apt.log >&2; return 1; }
  fi
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
  ( wine_env; wineserver -k >/dev/null 2>&1 || true )
  rm -rf "$TESSALINE_WINE_ROOT"
  mkdir -p "$TESSALINE_WINE_ROOT/home"
  (
    wine_env
    wineboot -i >/dev/null 2>&1 </dev/null
    wine winecfg -v win10 >/dev/null 2>&1 </dev/null
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1 </dev/null
    wineserver -w
  )
}

# One persistent wineserver for the whole run: Wine processes then start in
# well under a tenth of a second.
start_wineserver() {
  (
    wine_env
    wineserver -p >/dev/null 2>&1 </dev/null
    wine cmd /c exit >/dev/null 2>&1 </dev/null
    # The desktop process that the first window of a run would start would
    # inherit that test's output pipes and keep ctest waiting for it.
    wine explorer.exe /desktop >/dev/null 2>&1 </dev/null &
  )
}

# Wine ships no tar.exe; the test bench's stand-in takes its place.
install_tar_standin() {
  local standin="${TESSALINE_WINDOWS_BUILD_DIR:-$root/build/test}/tools/tar.exe"
  [[ -f $standin ]] || { log "no $standin: build the Windows tree first"; return 1; }
  cp "$standin" "$TESSALINE_WINE_ROOT/prefix/drive_c/windows/system32/tar.exe"
}

stop_wineserver() { ( wine_env; wineserver -k >/dev/null 2>&1 || true ); }

# A virtual display for the windows and message boxes of the tests; the first
# free display number from 90 up.
start_display() {
  local n
  for n in $(seq 90 120); do
    [[ -e /tmp/.X11-unix/X$n || -e /tmp/.X$n-lock ]] && continue
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 </dev/null &
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

stop_display() { [[ -n ${tessaline_xvfb_pid:-} ]] && kill "$tessaline_xvfb_pid" 2>/dev/null; return 0; }
