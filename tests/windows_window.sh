#!/usr/bin/env bash
# Runs a Windows window test program under wine on an X server of its own, with the screen set to
# a DPI and the dialogs' faces mapped to Debian's Traditional Chinese faces (as on a Windows in
# Taiwan, the dialog is laid out in faces of their size):
#   windows_window.sh DPI PROGRAM [ARGUMENTS...]
# Both are settings of the wine prefix, so each DPI has a prefix of its own beside the usual one
# (made on the first run); the program learns the DPI it should see from QUARVO_TEST_DPI.
set -euo pipefail
dpi=$1
shift
export WINEPREFIX="${WINEPREFIX:-$HOME/.wine}-window-${dpi}dpi"
export WINEDEBUG="${WINEDEBUG:--all}"
wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null
wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v '微軟正黑體' /d 'Noto Sans CJK TC' /f >/dev/null
wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v '標楷體' /d 'AR PL UKai TW' /f >/dev/null
wineserver -w
# A screen large enough for the dialog at 200 %, with room around it to be centred in.
QUARVO_TEST_DPI=$dpi exec xvfb-run -a -s "-screen 0 1600x1200x24" wine "$@"
