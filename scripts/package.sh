#!/usr/bin/env bash
# Builds what users install and checks it: `cmake --install` of the release build into stage/
# (the list of files it installs), the Debian package (lintian, desktop-file-validate and
# appstreamcli on its files), and the Windows zip from the Windows build, its two executables
# signed when a certificate is given:
#   QUARVO_SIGN_PKCS12         the code-signing certificate with its key, a PKCS#12 (.pfx) file
#   QUARVO_SIGN_PASSWORD       its password (handed to osslsigncode in a file only this user may
#                              read, never on a command line)
#   QUARVO_SIGN_TIMESTAMP_URL  an RFC 3161 timestamp server (optional), so that the signatures
#                              stay valid after the certificate expires
# Without QUARVO_SIGN_PKCS12 the zip is built unsigned, and the script says so.
# QUARVO_WERROR=ON makes warnings errors (CI sets it).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh --windows

# The largest quarvo-updater.exe that a driver should have to download.
UPDATER_EXE_LIMIT=2000000
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# sign_windows EXE...: Authenticode signatures (SHA-256) on the executables, in place.
sign_windows() {
  if [ -z "${QUARVO_SIGN_PKCS12:-}" ]; then
    echo "Windows executables: UNSIGNED (no certificate: QUARVO_SIGN_PKCS12 and" \
         "QUARVO_SIGN_PASSWORD sign them)"
    return
  fi
  if [ ! -r "$QUARVO_SIGN_PKCS12" ]; then
    echo "QUARVO_SIGN_PKCS12: cannot read $QUARVO_SIGN_PKCS12" >&2
    exit 1
  fi
  local options=(-pkcs12 "$QUARVO_SIGN_PKCS12" -h sha256)
  if [ -n "${QUARVO_SIGN_PASSWORD+set}" ]; then
    # printf is the shell's own: the password is on no process's command line.
    (umask 077 && printf '%s' "$QUARVO_SIGN_PASSWORD" > "$scratch/password")
    options+=(-readpass "$scratch/password")
  fi
  local stamp="not timestamped"
  if [ -n "${QUARVO_SIGN_TIMESTAMP_URL:-}" ]; then
    options+=(-ts "$QUARVO_SIGN_TIMESTAMP_URL")
    stamp="timestamped by $QUARVO_SIGN_TIMESTAMP_URL"
  fi
  local exe name
  for exe in "$@"; do
    # The name Windows shows for the signed program (its version resource's description).
    case "$(basename "$exe")" in
      quarvo-flash.exe) name="Quarvo road-safety device updater (command line)" ;;
      *) name="Quarvo road-safety device updater" ;;
    esac
    if ! osslsigncode sign "${options[@]}" -n "$name" -in "$exe" -out "$exe.signed" \
           > "$scratch/sign.log" 2>&1; then
      echo "signing $exe failed:" >&2
      cat "$scratch/sign.log" >&2
      rm -f "$exe.signed" "$scratch/password"
      exit 1
    fi
    mv "$exe.signed" "$exe"
  done
  rm -f "$scratch/password"
  echo "Windows executables: signed (Authenticode, SHA-256, $(basename "$QUARVO_SIGN_PKCS12"), $stamp)"
}

werror="-DQUARVO_WERROR=${QUARVO_WERROR:-OFF}"

cmake --preset release "$werror" >/dev/null
cmake --build --preset release -j"$(nproc)"
rm -rf stage
cmake --install build/release --prefix "$PWD/stage" >/dev/null
echo "cmake --install puts:"
(cd stage && find . -type f | sort | sed 's/^\./  /')
desktop-file-validate stage/share/applications/com.quarvo.updater.desktop
appstreamcli validate --no-net stage/share/metainfo/com.quarvo.updater.metainfo.xml

(cd build/release && rm -f ./*.deb && cpack -G DEB >/dev/null)
deb=$(ls build/release/quarvo-updater_*.deb)
echo "$deb:"
dpkg-deb -f "$deb" Package Version Depends | sed 's/^/  /'
# Errors and warnings fail the run; lintian's remark about running as root does not count.
lintian --fail-on error,warning "$deb" 2>&1 | grep -v "root privileges" || true
lintian --fail-on error,warning "$deb" > /dev/null 2>&1

cmake --preset windows "$werror" >/dev/null
windows_exes=(build/windows/cli/quarvo-flash.exe build/windows/win/quarvo-updater.exe)
# Linked afresh, so that each executable is signed once, or not at all, whatever an earlier run
# left in the build.
rm -f "${windows_exes[@]}"
cmake --build --preset windows -j"$(nproc)"
sign_windows "${windows_exes[@]}"
(cd build/windows && rm -f ./*.zip && cpack -G ZIP >/dev/null)
zip=$(ls build/windows/quarvo-updater-*.zip)
echo "$zip:"
unzip -l "$zip" | sed -n '4,$p' | head -n -2
unpacked=$scratch/zip
unzip -q "$zip" -d "$unpacked"
updater_exe=$(find "$unpacked" -name quarvo-updater.exe)
size=$(stat -c %s "$updater_exe")
if [ "$size" -gt "$UPDATER_EXE_LIMIT" ]; then
  echo "quarvo-updater.exe is $size bytes, more than $UPDATER_EXE_LIMIT" >&2
  exit 1
fi
# What the zip holds is what was signed.
if [ -n "${QUARVO_SIGN_PKCS12:-}" ]; then
  for exe in "$unpacked"/*/*.exe; do
    osslsigncode extract-signature -in "$exe" -out "$unpacked/signature" > /dev/null 2>&1 ||
      { echo "$(basename "$exe") in the zip carries no signature" >&2; exit 1; }
    rm -f "$unpacked/signature"
  done
fi
echo "package: 1 passed, 0 failed"
