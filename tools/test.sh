#!/bin/bash
# Sets up a Debian 12 machine and runs every test of webprint: the portable
# core natively under AddressSanitizer and UndefinedBehaviorSanitizer, then the
# Windows build under 32-bit Wine, then the print hub.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup.sh
# Fails in seconds, with CUPS's reason, when print jobs cannot reach a capture folder.
tools/cups-queue.sh webprint-e2e >/dev/null

echo "== native build (ASan + UBSan)"
cmake --preset native-asan >/dev/null
cmake --build --preset native-asan -j2
ctest --preset native-asan
echo "== webprintd end to end: CUPS, the reference service, the Debian package"
python3 tests/linux/test_webprintd.py -v

echo "== fuzzing, briefly: tools/fuzz.sh SECONDS runs longer"
tools/fuzz.sh 30

echo "== Win32 build under Wine"
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j2
(
    . tools/wine-session.sh build/win32
    ctest --preset win32
    echo "== end to end: reference service, webprint.exe under Wine, CUPS"
    python3 tests/e2e/test_end_to_end.py -v
)

echo "== installers under Wine"
tests/installer/run_tests.sh build/win32

echo "== the print hub (its document conversion too)"
/usr/bin/python3 -m unittest discover -s tests/hub
