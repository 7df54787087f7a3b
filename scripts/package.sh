#!/usr/bin/env bash
# Builds what users install and checks it: `cmake --install` of the release build into stage/
# (the list of files it installs), the Debian package (lintian, desktop-file-validate and
# appstreamcli on its files), and the Windows zip from the Windows build.
# QUARVO_WERROR=ON makes warnings errors (CI sets it).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh --windows
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
cmake --build --preset windows -j"$(nproc)"
(cd build/windows && rm -f ./*.zip && cpack -G ZIP >/dev/null)
zip=$(ls build/windows/quarvo-updater-*.zip)
echo "$zip:"
unzip -l "$zip" | sed -n '4,$p' | head -n -2
echo "package: 1 passed, 0 failed"
