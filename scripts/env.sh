# Sourced by the other scripts: the isolated Wine prefix inside the build tree.
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX="$top/build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

ensure_wine_prefix() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "setup: creating the Wine prefix $WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    wine wineboot --init >/dev/null 2>&1 || true
    wineserver -w
  fi
}

# Everything a command needs first: packages, third-party sources, both builds, the Wine prefix.
prepare() {
  "$top/scripts/setup.sh"
  "$top/scripts/build.sh"
  ensure_wine_prefix
}
