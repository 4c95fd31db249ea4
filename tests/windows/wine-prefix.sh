# Sourced by the Wine tests. Gives each test a fresh Wine prefix, copied from
# a template made once per build (wineboot takes several seconds; a copy is
# under one).
#
#   qar_wine_prefix DEST   makes DEST a fresh prefix and exports WINEPREFIX
#   qar_wine ARGS...       runs wine64 in it
#   qar_wine_version NAME  sets the version GetVersionExA reports (winxp, win2k, ...)
#   qar_wine_stop          ends the prefix's wineserver
#
# QAR_WINE_TEMPLATE names the template folder (default: a folder beside the
# test's working directory). Needs an X display (run inside xvfb-run).

QAR_WINE=${QAR_WINE:-/usr/lib/wine/wine64}
QAR_WINESERVER=${QAR_WINESERVER:-/usr/lib/wine/wineserver}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="

qar_wine_template() {
  local template=${QAR_WINE_TEMPLATE:-$PWD/wine-template}
  (
    flock 9
    if [ ! -f "$template/.ready" ]; then
      rm -rf "$template"
      mkdir -p "$template"
      WINEPREFIX=$template "$QAR_WINE" wineboot --init >/dev/null 2>&1
      # No window manager on Xvfb: Wine draws the frames itself and does not
      # wait for a manager at every destroyed window.
      WINEPREFIX=$template "$QAR_WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
      WINEPREFIX=$template "$QAR_WINESERVER" -w
      touch "$template/.ready"
    fi
  ) 9>"$template.lock"
  echo "$template"
}

qar_wine_prefix() {
  local dest=$1 template
  template=$(qar_wine_template)
  rm -rf "$dest"
  cp -a "$template" "$dest"
  rm -f "$dest/.ready"
  export WINEPREFIX=$dest
}

qar_wine() { "$QAR_WINE" "$@"; }

qar_wine_version() {
  "$QAR_WINE" reg add 'HKCU\Software\Wine' /v Version /d "$1" /f >/dev/null 2>&1
  "$QAR_WINESERVER" -w
}

qar_wine_stop() { "$QAR_WINESERVER" -k 2>/dev/null || true; }
