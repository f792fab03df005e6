# Wine and display helpers for the test and run scripts. Source it, then call
#   morvik_display_start      a private Xvfb display (sets DISPLAY); never reuses one we did not start
#   morvik_prefix_init DIR    creates the Wine prefix DIR once (fonts, Japanese text, no crash dialog)
#   morvik_wine_server_start  starts the Wine server and its services, detached from our pipes
#   morvik_wine_stop          stops our Wine server and our display
# Everything is quiet unless it fails.

MORVIK_XVFB_PID=
MORVIK_STARTED_SERVER=

morvik_display_start() {
  local fifo dir
  dir=$(mktemp -d)
  fifo="$dir/displayfd"
  mkfifo "$fifo"
  # -displayfd lets Xvfb pick a free display number itself, so an existing
  # display (the user's, or another run's) is never touched.
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
  MORVIK_XVFB_PID=$!
  local n
  if ! read -r -t 20 n <"$fifo"; then
    echo "wine.sh: Xvfb did not start" >&2
    rm -rf "$dir"
    return 1
  fi
  rm -rf "$dir"
  export DISPLAY=":$n"
}

# Writes one registry value with the prefix's reg tool.
morvik__reg() { wine reg add "$@" /f >/dev/null 2>&1; }

morvik_prefix_init() {
  local prefix=$1
  export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=-all
  [ -f "$prefix/.morvik-ready" ] && return 0
  rm -rf "$prefix"
  mkdir -p "$(dirname "$prefix")"
  # No Mono or Gecko installers: they would ask through dialogs, and nothing here needs them.
  WINEDLLOVERRIDES='mscoree,mshtml=' wineboot -i >/dev/null 2>&1 || { echo "wine.sh: wineboot failed" >&2; return 1; }
  wineserver -w
  # A crash must end the process (exit code 5, backtrace on stderr) instead of
  # opening a dialog that would hang the test.
  morvik__reg 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0
  # Japanese in Tahoma and the Japanese face names: link and substitute the IPA
  # Gothic font, which the fonts-ipafont-gothic package installs.
  local key='HKLM\Software\Microsoft\Windows NT\CurrentVersion'
  morvik__reg "$key\\FontLink\\SystemLink" /v Tahoma /t REG_MULTI_SZ /d 'ipagp.ttf,IPAPGothic'
  morvik__reg "$key\\FontLink\\SystemLink" /v 'Tahoma Bold' /t REG_MULTI_SZ /d 'ipagp.ttf,IPAPGothic'
  morvik__reg "$key\\FontLink\\SystemLink" /v 'MS Shell Dlg' /t REG_MULTI_SZ /d 'ipagp.ttf,IPAPGothic'
  morvik__reg "$key\\FontSubstitutes" /v 'ＭＳ Ｐゴシック' /t REG_SZ /d IPAPGothic
  morvik__reg "$key\\FontSubstitutes" /v 'MS UI Gothic' /t REG_SZ /d IPAPGothic
  morvik__reg "$key\\FontSubstitutes" /v 'ＭＳ ゴシック' /t REG_SZ /d IPAGothic
  wineserver -w
  # Debian's Wine does not find the fonts of fonts-wine where they are
  # installed; without Marlett the title-bar buttons draw as letters.
  cp /usr/share/wine/fonts/*.ttf "$prefix/drive_c/windows/Fonts/" 2>/dev/null || true
  local ipa
  for ipa in /usr/share/fonts/opentype/ipafont-gothic/ipag.ttf /usr/share/fonts/opentype/ipafont-gothic/ipagp.ttf; do
    [ -f "$ipa" ] && cp "$ipa" "$prefix/drive_c/windows/Fonts/"
  done
  touch "$prefix/.morvik-ready"
}

morvik_wine_server_start() {
  # A persistent server and its background services, started outside any
  # test's pipes: otherwise ctest waits ~3 s per test for the services that
  # inherited the first test's stderr.
  wineserver -p
  MORVIK_STARTED_SERVER=1
  wine cmd /c exit </dev/null >/dev/null 2>&1
}

morvik_wine_stop() {
  if [ -n "$MORVIK_STARTED_SERVER" ]; then
    wineserver -k >/dev/null 2>&1 || true
    MORVIK_STARTED_SERVER=
  fi
  if [ -n "$MORVIK_XVFB_PID" ]; then
    kill "$MORVIK_XVFB_PID" 2>/dev/null || true
    wait "$MORVIK_XVFB_PID" 2>/dev/null || true
    MORVIK_XVFB_PID=
  fi
}
