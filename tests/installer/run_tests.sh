#!/bin/bash
# Installs, upgrades and removes both installation packages under 32-bit Wine
# and checks what they leave on the machine: files, the Run entry, the Start
# menu entry, the settings and their registry types, the Programs and Features
# entries; what they refuse (bad values, downgrades, the other package) and
# their exit codes; a running client closed and started again, and a program
# file held open; the service each installs with SERVICE=1, which prints a job
# of the reference service through CUPS and stops within 2 s. First it checks
# that the packages build reproducibly and can be signed.
# Prints through CUPS: run it under flock /tmp/webprint-cups.lock.
#   tests/installer/run_tests.sh [WIN32_BUILD_DIR]     (default: build/win32)
# The packages are made from the build's webprint.exe and project version, in
# WIN32_BUILD_DIR-installer-test/, which also holds a Wine prefix made afresh
# each run. It lies beside the build, not in it, so the installed copy of
# webprint.exe is never taken for the build's own.
set -uo pipefail
cd "$(dirname "$0")/../.."

build=${1:-build/win32}
work=${build%/}-installer-test
exe=$(find "$build" -name webprint.exe -type f -print -quit 2>/dev/null)
actions=$(find "$build" -name webprint-msi-actions.dll -type f -print -quit 2>/dev/null)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt" 2>/dev/null)
if [ -z "$exe" ] || [ -z "$actions" ] || [ -z "$version" ]; then
    echo "$0: no webprint.exe, webprint-msi-actions.dll or project version in $build; build it first" >&2
    exit 1
fi
# An older release to upgrade from.
old_version=0.0.1

rm -rf "$work"
mkdir -p "$work"
packages=$work/packages
installer/build-packages.sh "$exe" "$actions" "$version" "$packages" >/dev/null || exit 1
installer/build-packages.sh "$exe" "$actions" "$old_version" "$packages" >/dev/null || exit 1
setup=$packages/webprint-setup-$version.exe
old_setup=$packages/webprint-setup-$old_version.exe
msi=$packages/webprint-$version.msi
old_msi=$packages/webprint-$old_version.msi

passed=0
failed=0
check() {
    local what=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
        echo "ok    $what"
    else
        failed=$((failed + 1))
        echo "FAIL  $what"
    fi
}
section() { echo "== $*"; }

# ---------------------------------------------------------------------------
section "packages: reproducible and signable"
installer/build-packages.sh "$exe" "$actions" "$version" "$work/again" >/dev/null
for package in "webprint-setup-$version.exe" "webprint-$version.msi"; do
    check "$package: a second build is byte-identical" cmp -s "$packages/$package" "$work/again/$package"
done
pe_timestamp() { [[ $(i686-w64-mingw32-objdump -p "$1") == *$'\nTime/Date\t\tThu Jan  1 00:00:00 1970\n'* ]]; }
signature_verified() { osslsigncode verify -CAfile "$work/sign-cert.pem" -in "$1" >/dev/null 2>&1; }
check "webprint.exe carries no link time" pe_timestamp "$exe"
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=Throwaway Test Signer" \
    -keyout "$work/sign-key.pem" -out "$work/sign-cert.pem" 2>/dev/null
installer/sign-files.sh "$work/sign-cert.pem" "$work/sign-key.pem" "" "$work/again"/* >/dev/null
for package in "webprint-setup-$version.exe" "webprint-$version.msi"; do
    check "$package: signature verified" signature_verified "$work/again/$package"
done

. tools/wine-session.sh "$work"
drive_c=$WINEPREFIX/drive_c

settings_key='HKLM\SOFTWARE\Morvelund\Tarnwick Web Printing'
run_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
nsis_key="$uninstall_key\\Tarnwick Web Printing"
program_dir="$drive_c/Program Files/Tarnwick Web Printing"
program_exe='"C:\Program Files\Tarnwick Web Printing\webprint.exe"'
common_shortcut="$drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Tarnwick Web Printing Client.lnk"

# "TYPE DATA" of a registry value, nothing when it is missing.
registry_value() {
    wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' |
        sed -n "s/^    $2    \(REG_[A-Z_]*\)    \(.*\)$/\1 \2/p"
}
value_is() { [ "$(registry_value "$1" "$2")" = "$3" ]; }
value_present() { wine reg query "$1" /v "$2" >/dev/null 2>&1; }
value_missing() { ! value_present "$1" "$2"; }
key_exists() { wine reg query "$1" >/dev/null 2>&1; }
key_missing() { ! key_exists "$1"; }
exists() { [ -e "$1" ]; }
missing() { [ ! -e "$1" ]; }
# Wine's msiexec puts the Start menu entry of a per-machine package in the
# user's profile; Windows puts it in ProgramData.
msi_shortcut_exists() {
    local shortcut
    for shortcut in "$common_shortcut" "$drive_c"/users/*/AppData/Roaming/Microsoft/Windows/Start\ Menu/Programs/Tarnwick\ Web\ Printing\ Client.lnk; do
        [ -e "$shortcut" ] && return 0
    done
    return 1
}
msi_shortcut_missing() { ! msi_shortcut_exists; }
same_file() { cmp -s "$1" "$2"; }
# Wine hands on only the low 8 bits of a Windows exit code (1603 arrives as
# 67); the codes checked here stay distinct that way.
status_is() { [ "$1" = "$(($2 % 256))" ]; }
output_has() { grep -q -- "$2" "$1"; }
# A value of the version resource, which windres stores as UTF-16 text.
exe_version_is() { strings -el "$1" | grep -A1 -x FileVersion | tail -1 | grep -qx "$2"; }

# Bounded waits, polled in short steps.
wait_until() {
    local tries=$1
    shift
    while ! "$@"; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || return 1
        sleep 0.1
    done
}
process_ended() { ! kill -0 "$1" 2>/dev/null; }

# Starts the installed client and waits until it has loaded its settings: it
# writes Cipher back at every start, and the tests never set it.
start_client() {
    wine reg delete "$settings_key" /v Cipher /f >/dev/null 2>&1
    wine "C:\\Program Files\\Tarnwick Web Printing\\webprint.exe" </dev/null >"$work/client.log" 2>&1 &
    client=$!
    wait_until 100 value_present "$settings_key" Cipher
}
client_ended() { wait_until 150 process_ended "$client"; }

# Wine's msiexec leaves a conditional component's registry values in place on
# removal, so the settings' permanence is checked in the package itself:
# every settings component has the permanent attribute (16).
settings_permanent() {
    local rows
    rows=$(msiinfo export "$1" Component | tr -d '\r' | awk -F'\t' '$1 ~ /^Setting/ && int($4 / 16) % 2 == 1' | wc -l)
    [ "$rows" -eq 9 ]
}
# The package's entry under the Uninstall key; nothing when the package has no
# product code, so that "registered" cannot pass on the Uninstall key itself.
product_key() {
    local code
    code=$(msiinfo export "$1" Property | tr -d '\r' | sed -n 's/^ProductCode\t//p')
    [ -n "$code" ] && echo "$uninstall_key\\$code"
}

run_setup() {
    wine "$@" </dev/null >"$work/setup.out" 2>&1
}
run_msiexec() {
    rm -f "$drive_c/msi.log"
    wine msiexec "$@" </dev/null >/dev/null 2>&1
}
# The log that msiexec ... /l*v 'C:\msi.log' wrote, in whatever encoding.
msi_log_has() { iconv -f UTF-16LE -t UTF-8 "$drive_c/msi.log" 2>/dev/null | grep -q -F -- "$1" || grep -a -q -F -- "$1" "$drive_c/msi.log"; }
# The installed program's own quit request: exit code 1 when a client was
# running and has ended, so it also tells whether a client was running.
quit_client() {
    wine "C:\\Program Files\\Tarnwick Web Printing\\webprint.exe" /quit </dev/null >/dev/null 2>&1
}
client_restarted() { quit_client; [ $? -eq 1 ]; }
# Runs a command line as Programs and Features stores it (quoting included),
# the way a deployment tool does, through a batch file.
run_command_line() {
    printf '%s\r\nexit %%ERRORLEVEL%%\r\n' "$1" >"$drive_c/command.bat"
    wine cmd /c 'C:\command.bat' </dev/null >/dev/null 2>&1
}
# Holds the installed webprint.exe open in a process the quit request cannot
# reach (as a client in another session or one stuck in a long poll): Wine's
# cmd.exe, installed as webprint.exe, waiting on a pipe.
hold_program_file() {
    cp "$drive_c/windows/system32/cmd.exe" "$program_dir/webprint.exe"
    rm -f "$work/hold"
    mkfifo "$work/hold"
    wine "C:\\Program Files\\Tarnwick Web Printing\\webprint.exe" /c "echo holding& pause" \
        <"$work/hold" >"$work/holder.out" 2>&1 &
    holder=$!
    exec 7>"$work/hold"
    wait_until 100 output_has "$work/holder.out" holding
}
# End of input ends the pause.
release_program_file() { exec 7>&-; wait_until 100 process_ended "$holder"; }
# The service "webprint": its state as the service control manager tells it.
service_state_is() { wine sc query webprint 2>/dev/null | tr -d '\r' | grep -q "STATE *: [0-9]  $1"; }
service_missing() { ! wine sc query webprint >/dev/null 2>&1; }
service_command_quoted() {
    value_is 'HKLM\System\CurrentControlSet\Services\webprint' ImagePath "REG_SZ $program_exe /service"
}
pending_removal_of() { wine reg query 'HKLM\System\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations 2>/dev/null | tr -d '\r' | grep -qi "$1"; }

# ---------------------------------------------------------------------------
section "setup program: bad parameters change nothing"
bad_parameters=(
    "/PORT=abc|/PORT=abc is not a number"
    "/PORT=70000|is not a number from 1 to 65535"
    "/PORT=0|is not a number from 1 to 65535"
    "/PORT=|/PORT= needs a value"
    "/POLL=ten|/POLL=ten is not a number"
    "/POLL=0|is not a number from 1 to 86400"
    "/POLL=99999999999|is not a number from 1 to 86400"
    "/SERVER=$(printf 's%.0s' {1..64})|/SERVER= is 64 characters long"
    "/COMPUTER=$(printf 'c%.0s' {1..64})|/COMPUTER= is 64 characters long"
    "/SERVER=http://print.example.com/|is not a host name or address"
    "/SEVER=print.example.com|Unknown parameter /SEVER="
    "/TLS=yes|/TLS=yes is not 0 or 1"
    "/BLOCKSINFLIGHT=0|/BLOCKSINFLIGHT=0 is not a number from 1 to 256"
    "/BLOCKSINFLIGHT=257|is not a number from 1 to 256"
    "/LONGPOLL=301|/LONGPOLL=301 is not a number from 0 to 300"
    "/LONGPOLL=-1|is not a number from 0 to 300"
    "/PROXY=proxy.example.com|/PROXY=proxy.example.com is not a proxy as host:port"
    "/PROXY=|/PROXY= needs a value"
    "/SERVICE=yes|/SERVICE=yes is not 0 or 1"
    "/CIPHER=$(printf 'k%.0s' {1..256})|/CIPHER= is 256 characters long"
    "/CIPHER=|/CIPHER= needs a value"
)
for case in "${bad_parameters[@]}"; do
    parameter=${case%%|*}
    message=${case#*|}
    run_setup "$setup" /S /SERVER=localhost "$parameter"
    status=$?
    check "$parameter: exit code 87" status_is "$status" 87
    check "$parameter: says why" output_has "$work/setup.out" "$message"
done
check "no program folder" missing "$program_dir"
check "no settings key" key_missing "$settings_key"
check "no Run entry" value_missing "$run_key" "Tarnwick Web Printing"
check "no uninstall entry" key_missing "$nsis_key"

# ---------------------------------------------------------------------------
section "setup program: silent installation with settings"
run_setup "$old_setup" /S /SERVER=localhost /PORT=9 /POLL=15 "/COMPUTER=Front Desk" /TLS=1 /BLOCKSINFLIGHT=016 \
    /PROXY=proxy.example.com:3128 /LONGPOLL=025
check "exit code 0" status_is $? 0
check "webprint.exe installed" same_file "$program_dir/webprint.exe" "$exe"
check "uninstaller installed" exists "$program_dir/uninstall.exe"
check "Start menu entry" exists "$common_shortcut"
check "Run entry" value_is "$run_key" "Tarnwick Web Printing" "REG_SZ $program_exe"
check "Url REG_SZ" value_is "$settings_key" Url "REG_SZ localhost"
check "Port REG_DWORD" value_is "$settings_key" Port "REG_DWORD 0x9"
check "PollFreq REG_DWORD" value_is "$settings_key" PollFreq "REG_DWORD 0xf"
check "ComputerName REG_SZ" value_is "$settings_key" ComputerName "REG_SZ Front Desk"
check "UseTls REG_DWORD" value_is "$settings_key" UseTls "REG_DWORD 0x1"
check "BlocksInFlight REG_DWORD" value_is "$settings_key" BlocksInFlight "REG_DWORD 0x10"
check "Proxy REG_SZ" value_is "$settings_key" Proxy "REG_SZ proxy.example.com:3128"
check "LongPoll REG_DWORD" value_is "$settings_key" LongPoll "REG_DWORD 0x19"
check "no service without /SERVICE=1" service_missing
check "Cipher left to the client" value_missing "$settings_key" Cipher
check "ShowStartUpPanel left to the client" value_missing "$settings_key" ShowStartUpPanel
check "Add/Remove Programs entry" value_is "$nsis_key" DisplayVersion "REG_SZ $old_version"
check "Programs and Features entry" value_is "$nsis_key" DisplayName "REG_SZ Tarnwick Web Printing Client"
check "publisher" value_is "$nsis_key" Publisher "REG_SZ Morvelund"
check "install location" value_is "$nsis_key" InstallLocation 'REG_SZ C:\Program Files\Tarnwick Web Printing'
check "size" value_present "$nsis_key" EstimatedSize
check "quiet uninstall command" value_is "$nsis_key" QuietUninstallString \
    'REG_SZ "C:\Program Files\Tarnwick Web Printing\uninstall.exe" /S _?=C:\Program Files\Tarnwick Web Printing'

run_setup "$setup" /S /SERVER=other.example.com /PORT=abc
check "bad parameter over an installation: exit code 87" status_is $? 87
check "bad parameter over an installation: Url kept" value_is "$settings_key" Url "REG_SZ localhost"
check "bad parameter over an installation: version kept" value_is "$nsis_key" DisplayVersion "REG_SZ $old_version"
run_msiexec /i "$msi" /qn SERVER=localhost
check "MSI over the setup program's copy: refused" status_is $? 1603
check "MSI over the setup program's copy: not registered" key_missing "$(product_key "$msi")"

# ---------------------------------------------------------------------------
section "setup program: upgrade over a running client"
check "client started" start_client
run_setup "$setup" /S /POLL=45
check "exit code 0" status_is $? 0
check "running client closed" client_ended
check "webprint.exe replaced" same_file "$program_dir/webprint.exe" "$exe"
check "webprint.exe carries version $version" exe_version_is "$program_dir/webprint.exe" "$version"
check "new version registered" value_is "$nsis_key" DisplayVersion "REG_SZ $version"
check "PollFreq given again" value_is "$settings_key" PollFreq "REG_DWORD 0x2d"
check "Url kept" value_is "$settings_key" Url "REG_SZ localhost"
check "Port kept" value_is "$settings_key" Port "REG_DWORD 0x9"
check "ComputerName kept" value_is "$settings_key" ComputerName "REG_SZ Front Desk"
check "client's own values kept" value_is "$settings_key" Cipher "REG_SZ k2vd9qa3m1t74p6n"
check "one Run entry" value_is "$run_key" "Tarnwick Web Printing" "REG_SZ $program_exe"
check "client started again, then quit on request" client_restarted
check "quit request with no client running" quit_client

run_setup "$old_setup" /S
check "downgrade: refused" status_is $? 1638
check "downgrade: says why" output_has "$work/setup.out" "newer than $old_version"
check "downgrade: version kept" value_is "$nsis_key" DisplayVersion "REG_SZ $version"

# ---------------------------------------------------------------------------
section "setup program: upgrade while a program holds webprint.exe open"
check "holder started" hold_program_file
run_setup "$setup" /S
check "exit code 3010" status_is $? 3010
check "webprint.exe replaced" same_file "$program_dir/webprint.exe" "$exe"
check "file in use moved aside" exists "$program_dir/webprint.old"
check "file in use removed at restart" pending_removal_of 'webprint.old'
check "holder ended" release_program_file
run_setup "$old_setup" /S /ALLOWDOWNGRADE "/CIPHER=$(printf 'k%.0s' {1..253}) z"
check "downgrade with /ALLOWDOWNGRADE" status_is $? 0
check "downgrade with /ALLOWDOWNGRADE: version" value_is "$nsis_key" DisplayVersion "REG_SZ $old_version"
check "Cipher REG_SZ, 255 characters" value_is "$settings_key" Cipher "REG_SZ $(printf 'k%.0s' {1..253}) z"

# ---------------------------------------------------------------------------
section "setup program: silent uninstallation"
check "client started" start_client
# The quiet uninstall command as a deployment tool runs it: when it ends, the
# removal is done.
run_command_line "$(registry_value "$nsis_key" QuietUninstallString | sed 's/^REG_SZ //')"
check "exit code 0" status_is $? 0
check "webprint.exe removed when it ends" missing "$program_dir/webprint.exe"
check "running client closed" client_ended
check "uninstaller itself removed at the next restart" pending_removal_of 'Printing\\uninstall.exe'
# What that restart would do.
rm -r "$program_dir"
check "Run entry removed" value_missing "$run_key" "Tarnwick Web Printing"
check "Start menu entry removed" missing "$common_shortcut"
check "Add/Remove Programs entry removed" key_missing "$nsis_key"
check "settings kept" value_is "$settings_key" Url "REG_SZ localhost"
check "client's own values kept" value_is "$settings_key" Cipher "REG_SZ k2vd9qa3m1t74p6n"

# ---------------------------------------------------------------------------
section "MSI: bad properties change nothing"
wine reg delete "$settings_key" /f >/dev/null 2>&1
# The rules are the setup program's, checked above: here each property reaches them.
bad_properties=(PORT=abc PORT=70000 POLL=0 POLL=x TLS=2 SERVER=http://print.example.com
    "COMPUTER=$(printf 'c%.0s' {1..64})" BLOCKSINFLIGHT=0 PROXY=proxy.example.com SERVICE=2 LONGPOLL=301
    "CIPHER=$(printf 'k%.0s' {1..256})")
for property in "${bad_properties[@]}"; do
    run_msiexec /i "$msi" /qn SERVER=localhost "$property"
    check "${property:0:20}: exit code 1603" status_is $? 1603
done
check "no program folder" missing "$program_dir"
check "no settings key" key_missing "$settings_key"

section "MSI: silent installation with properties"
check "settings components are permanent" settings_permanent "$msi"
run_msiexec /i "$old_msi" /qn SERVER=print.example.com PORT=7001
check "exit code 0" status_is $? 0
check "webprint.exe installed" same_file "$program_dir/webprint.exe" "$exe"
check "Start menu entry" msi_shortcut_exists
check "Run entry" value_is "$run_key" "Tarnwick Web Printing" "REG_SZ $program_exe"
check "Url REG_SZ" value_is "$settings_key" Url "REG_SZ print.example.com"
check "Port REG_DWORD" value_is "$settings_key" Port "REG_DWORD 0x1b59"
check "PollFreq not given, not written" value_missing "$settings_key" PollFreq
check "ComputerName not given, not written" value_missing "$settings_key" ComputerName
check "UseTls not given, not written" value_missing "$settings_key" UseTls
check "BlocksInFlight not given, not written" value_missing "$settings_key" BlocksInFlight
check "Proxy not given, not written" value_missing "$settings_key" Proxy
check "LongPoll not given, not written" value_missing "$settings_key" LongPoll
check "no service without SERVICE=1" service_missing
old_product=$(product_key "$old_msi")
check "registered" key_exists "$old_product"
check "one Programs and Features name" value_is "$old_product" DisplayName "REG_SZ Tarnwick Web Printing Client"
check "publisher" value_is "$old_product" Publisher "REG_SZ Morvelund"
check "install location" value_is "$old_product" InstallLocation 'REG_SZ C:\Program Files\Tarnwick Web Printing\'
check "size" value_present "$old_product" EstimatedSize
run_setup "$setup" /S
check "setup program over the MSI's copy: refused" status_is $? 1638
check "setup program over the MSI's copy: says why" output_has "$work/setup.out" "installed from its MSI package"

# The checks run when the package is installed already (maintenance) and on
# an upgrade; the rules themselves are checked above.
section "MSI: bad properties over an installed copy"
run_msiexec /i "$old_msi" /qn PORT=abc
check "same version, PORT=abc: exit code 1603" status_is $? 1603
run_msiexec /i "$msi" /qn POLL=0
check "upgrade, POLL=0: exit code 1603" status_is $? 1603
check "Port kept" value_is "$settings_key" Port "REG_DWORD 0x1b59"
check "PollFreq not written" value_missing "$settings_key" PollFreq
check "older version still registered" key_exists "$old_product"
# Windows Installer adds no component for a condition that changed since the
# first installation: the same version cannot switch modes, and says how.
run_msiexec /i "$old_msi" /qn SERVICE=1 /l*v 'C:\msi.log'
check "same version, SERVICE=1: exit code 1603" status_is $? 1603
check "same version, SERVICE=1: says how" msi_log_has "then install it again with SERVICE=1"
check "same version, SERVICE=1: no service" service_missing
check "same version, SERVICE=1: Run entry kept" value_is "$run_key" "Tarnwick Web Printing" "REG_SZ $program_exe"

section "MSI: upgrade over a running client"
check "client started" start_client
run_msiexec /i "$msi" /qn POLL=20 TLS=1 BLOCKSINFLIGHT=64 PROXY=10.0.0.5:8080 LONGPOLL=0 "CIPHER=Front Desk 7"
check "exit code 0" status_is $? 0
check "running client closed" client_ended
new_product=$(product_key "$msi")
check "new version registered" key_exists "$new_product"
check "older version removed" key_missing "$old_product"
check "webprint.exe in place" same_file "$program_dir/webprint.exe" "$exe"
check "PollFreq given" value_is "$settings_key" PollFreq "REG_DWORD 0x14"
check "Url kept" value_is "$settings_key" Url "REG_SZ print.example.com"
check "Port kept" value_is "$settings_key" Port "REG_DWORD 0x1b59"
check "UseTls given" value_is "$settings_key" UseTls "REG_DWORD 0x1"
check "BlocksInFlight given" value_is "$settings_key" BlocksInFlight "REG_DWORD 0x40"
check "Proxy given" value_is "$settings_key" Proxy "REG_SZ 10.0.0.5:8080"
check "LongPoll 0 given, written" value_is "$settings_key" LongPoll "REG_DWORD 0x0"
check "Cipher given" value_is "$settings_key" Cipher "REG_SZ Front Desk 7"
check "one Run entry" value_is "$run_key" "Tarnwick Web Printing" "REG_SZ $program_exe"
check "client started again, then quit on request" client_restarted
run_msiexec /i "$old_msi" /qn
check "downgrade: refused" status_is $? 1603

section "MSI: silent removal with a running client"
check "client started" start_client
run_command_line "$(registry_value "$new_product" QuietUninstallString | sed 's/^REG_SZ //')"
check "quiet uninstall command: exit code 0" status_is $? 0
check "running client closed" client_ended
check "program folder removed" missing "$program_dir"
check "Run entry removed" value_missing "$run_key" "Tarnwick Web Printing"
check "Start menu entry removed" msi_shortcut_missing
check "unregistered" key_missing "$new_product"
check "settings kept" value_is "$settings_key" Url "REG_SZ print.example.com"
check "settings kept, types too" value_is "$settings_key" PollFreq "REG_DWORD 0x14"

section "MSI: removal while a program holds webprint.exe open"
run_msiexec /i "$msi" /qn
check "installed" status_is $? 0
check "holder started" hold_program_file
run_msiexec /x "$msi" /qn
check "exit code 3010" status_is $? 3010
check "webprint.exe removed at restart" pending_removal_of 'Tarnwick Web Printing\\webprint.exe'
check "unregistered" key_missing "$new_product"
check "holder ended" release_program_file

# ---------------------------------------------------------------------------
section "MSI: SERVICE=1, a service that prints with no window"
# What the restart that the last removal asked for would do: the held file
# there is Wine's cmd.exe, whose version the MSI would not overwrite.
rm -rf "$program_dir"
wine reg delete 'HKLM\System\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations /f >/dev/null 2>&1
# The settings left by the sections above (TLS on, a proxy) go too.
wine reg delete "$settings_key" /f >/dev/null 2>&1
# A raw CUPS queue before any Wine program starts (Wine reads the queue list
# once per process), and the reference service with an empty database.
queue=webprint-service-test
printed=$(tools/cups-queue.sh "$queue") || exit 1
/usr/bin/python3 -m hub serve --port 0 --db "$work/service.sqlite" >"$work/service.port" 2>"$work/service.log" &
hub=$!
wine_session_before_stop() { kill -CONT "$hub" 2>/dev/null; kill "$hub" 2>/dev/null; }
wait_until 100 output_has "$work/service.port" "listening on" || exit 1
port=$(sed -n 's/.*://p' "$work/service.port")
# The service's events reach Wine's trace of the event log calls, in the
# standard error of its service manager: a new server for that.
wineserver -k
WINEDEBUG=-all,err+eventlog,warn+eventlog,trace+eventlog wineserver -p </dev/null >/dev/null 2>&1
WINEDEBUG=-all,err+eventlog,warn+eventlog,trace+eventlog wineboot </dev/null >"$work/events.log" 2>&1
# How many events begin with the text.
event_logged() { tr -d '\r' <"$work/events.log" | grep -c -F "ReportEventW L\"$1" ; }
event_logged_times() { [ "$(event_logged "$1")" -eq "$2" ]; }

# "field JOB NAME" prints a field of a job; "acknowledge JOB" takes a job out
# of the way as the client would.
reference_service() {
    python3 - "$port" "$@" <<'PY'
import json, sys, urllib.request
base = f"http://127.0.0.1:{sys.argv[1]}/"
state = json.load(urllib.request.urlopen(base + "api/state", timeout=5))
if sys.argv[2] == "field":
    print(next(job[sys.argv[4]] for job in state["jobs"] if str(job["id"]) == sys.argv[3]))
else:
    urllib.request.urlopen(urllib.request.Request(base + state["prefix"] + "printed",
                                                  data=f"<printed id='{sys.argv[3]}'/>".encode()), timeout=5)
PY
}
job_field() { reference_service field "$1" "$2"; }
job_field_is() { [ "$(job_field "$1" "$2")" = "$3" ]; }
blocks_served_from() { [ "$(job_field "$1" blocks_served)" -ge "$2" ]; }
submit_job() {
    python3 -c 'import sys; sys.path.insert(0, "tools"); from e2e_common import job_bytes
sys.stdout.buffer.write(job_bytes(int(sys.argv[1])))' "$1" >"$work/job.bin"
    /usr/bin/python3 -m hub submit "$work/job.bin" --computer SERVICE-TEST --printer "${2:-$queue}" \
        --db "$work/service.sqlite"
}
printout_matches() { local f; for f in "$printed"/job-*.prn; do cmp -s "$f" "$work/job.bin" && return 0; done; return 1; }
requests_of() { grep -c "$1" "$work/service.log"; }
more_requests_of() { [ "$(requests_of "$1")" -ge "$2" ]; }
service_process_gone() { ! pgrep -f 'webprint.exe /service' >/dev/null; }
# Three datagrams to each UDP socket on 127.0.0.1 of this prefix's Wine
# processes (their wineserver holds them), the service's among them; false
# when there is none.
datagrams_to_service() {
    python3 - "$WINEPREFIX" $(pgrep wineserver) <<'PY'
import os, re, socket, sys
inodes = set()
for pid in sys.argv[2:]:
    try:
        with open(f"/proc/{pid}/environ", "rb") as environment:
            if f"WINEPREFIX={sys.argv[1]}".encode() not in environment.read().split(b"\0"):
                continue
    except OSError:
        continue
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            found = re.fullmatch(r"socket:\[(\d+)\]", os.readlink(f"/proc/{pid}/fd/{fd}"))
        except OSError:
            continue
        if found:
            inodes.add(found.group(1))
with open("/proc/net/udp") as table:
    ports = [int(fields[1].split(":")[1], 16) for fields in (line.split() for line in list(table)[1:])
             if fields[9] in inodes and fields[1].startswith("0100007F:")]
sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
for port in ports:
    for _ in range(3):
        sender.sendto(b"wake", ("127.0.0.1", port))
sys.exit(0 if ports else 1)
PY
}
probe=$(find "$build" -name window_probe.exe -type f -print -quit)
client_window_shown() { wine "$probe" shown </dev/null >/dev/null 2>&1; }
no_client_window() { wine "$probe" shown </dev/null >/dev/null 2>&1; [ $? -eq 2 ]; }

# LocalSystem runs the program: only from a folder users cannot write to.
run_msiexec /i "$old_msi" /qn SERVICE=1 INSTALLDIR='C:\webprint-elsewhere\' SERVER=127.0.0.1 /l*v 'C:\msi.log'
check "a service outside Program Files: exit code 1603" status_is $? 1603
check "a service outside Program Files: says why" msi_log_has "is installed only below C:\Program Files"
check "a service outside Program Files: nothing installed" service_missing
check "a service outside Program Files: no settings written" value_missing "$settings_key" Url
run_msiexec /i "$old_msi" /qn SERVICE=1 SERVER=127.0.0.1 PORT="$port" POLL=1 COMPUTER=SERVICE-TEST
check "exit code 0" status_is $? 0
check "the service runs when msiexec returns" service_state_is RUNNING
check "its command quoted" service_command_quoted
check "no Run entry" value_missing "$run_key" "Tarnwick Web Printing"
check "its events registered" value_present 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\webprint' EventMessageFile
# An upgrade without SERVICE keeps the service: stopped, replaced, started.
run_msiexec /i "$msi" /qn
check "upgrade: exit code 0" status_is $? 0
check "upgrade: the service runs again" service_state_is RUNNING
check "upgrade: its command quoted" service_command_quoted
check "upgrade: no Run entry" value_missing "$run_key" "Tarnwick Web Printing"
check "upgrade: the older version removed" key_missing "$(product_key "$old_msi")"
check "upgrade: started twice, logged twice" event_logged_times \
    "webprint service $version started: polling 127.0.0.1:$port every 1 s as SERVICE-TEST, user " 2
# A change of the settings key is read at once.
wine reg add "$settings_key" /v ComputerName /t REG_SZ /d SERVICE-RENAMED /f >/dev/null 2>&1
check "a changed setting read again" wait_until 100 event_logged_times "Settings read again: polling 127.0.0.1:$port every 1 s as SERVICE-RENAMED" 1
wine reg add "$settings_key" /v ComputerName /t REG_SZ /d SERVICE-TEST /f >/dev/null 2>&1
wait_until 100 event_logged_times "Settings read again: polling 127.0.0.1:$port every 1 s as SERVICE-TEST" 1
# The key deleted, then made again value by value: the new key is read.
wine reg delete "$settings_key" /f >/dev/null 2>&1
for value in "Url REG_SZ 127.0.0.1" "Port REG_DWORD $port" "PollFreq REG_DWORD 1" "ComputerName REG_SZ SERVICE-TEST"; do
    read -r name type data <<<"$value"
    wine reg add "$settings_key" /v "$name" /t "$type" /d "$data" /f >/dev/null 2>&1
done
check "a key made again read" wait_until 100 event_logged_times \
    "Settings read again: polling 127.0.0.1:$port every 1 s as SERVICE-TEST" 2
run_msiexec /i "$msi" /qn SERVICE=0 /l*v 'C:\msi.log'
check "same version, SERVICE=0: exit code 1603" status_is $? 1603
check "same version, SERVICE=0: says how" msi_log_has "then install it again with SERVICE=0"
check "same version, SERVICE=0: the service still runs" service_state_is RUNNING
# Any local process can send datagrams to the sockets of the service: they
# neither stop it nor cut its polls short.
check "datagrams sent to the service's sockets" datagrams_to_service
job=$(submit_job 70000)
check "a job printed and acknowledged" wait_until 300 job_field_is "$job" state printed
check "the printout byte for byte" wait_until 100 printout_matches
check "no window" no_client_window

# A failure goes to the event log (once until it changes, as the daemon's).
job=$(submit_job 100 webprint-no-such-queue)
check "a job for a printer that is not installed refused" wait_until 100 event_logged_times "OpenPrinter refused: " 1
reference_service acknowledge "$job"

# One poller per computer: a client started by hand opens its window and
# leaves the polling to the service (a new process would ping first).
pings=$(requests_of ping)
wine "C:\\Program Files\\Tarnwick Web Printing\\webprint.exe" </dev/null >/dev/null 2>&1 &
check "a client started by hand opens its window" wait_until 100 client_window_shown
qryspool=$(requests_of qryspool)
wait_until 100 more_requests_of qryspool $((qryspool + 2))
check "and does not poll" [ "$(requests_of ping)" -eq "$pings" ]
quit_client

# A stop while the service waits for a block that does not come: the
# reference service, stopped, keeps the connection and answers nothing.
job=$(submit_job $((8 << 20)))
wait_until 300 blocks_served_from "$job" 20
kill -STOP "$hub"
stop_started=$(date +%s%N)
wine sc stop webprint >/dev/null 2>&1
wait_until 50 service_process_gone
stop_milliseconds=$((($(date +%s%N) - stop_started) / 1000000))
kill -CONT "$hub"
check "stopped during a stalled block within 2 s ($stop_milliseconds ms)" [ "$stop_milliseconds" -lt 2000 ]
check "reported stopped" service_state_is STOPPED
check "the job not acknowledged" job_field_is "$job" acks 0
check "the stop logged as one line" event_logged_times "webprint service stopped; the poll in progress was cut short" 1
check "no failure logged for the stop" event_logged_times "select() failed in SocketReceive" 0

run_msiexec /x "$msi" /qn
check "removal: exit code 0" status_is $? 0
check "removal: the service is gone" service_missing
check "removal: the program folder too" missing "$program_dir"
check "removal: nothing waits for a restart" value_missing 'HKLM\System\CurrentControlSet\Control\Session Manager' PendingFileRenameOperations

section "setup program: /SERVICE=1 and back"
run_setup "$setup" /S /SERVICE=1 '/D=C:\webprint-elsewhere'
check "a service outside Program Files: exit code 87" status_is $? 87
check "a service outside Program Files: says why" output_has "$work/setup.out" "is installed only below C:.Program Files"
check "a service outside Program Files: nothing installed" missing "$drive_c/webprint-elsewhere"
run_setup "$setup" /S /SERVICE=1
check "exit code 0" status_is $? 0
# Its custom actions' library is unloaded after each call, so the temporary
# folder it ran from goes now, not at a restart.
check "nothing waits for a restart" value_missing 'HKLM\System\CurrentControlSet\Control\Session Manager' PendingFileRenameOperations
check "the service runs when the setup program returns" service_state_is RUNNING
check "its command quoted" service_command_quoted
check "no Run entry" value_missing "$run_key" "Tarnwick Web Printing"
run_setup "$setup" /S
check "again without /SERVICE: still the service" service_state_is RUNNING
run_setup "$setup" /S /SERVICE=0
check "/SERVICE=0: the service is gone" service_missing
check "/SERVICE=0: the Run entry back" value_is "$run_key" "Tarnwick Web Printing" "REG_SZ $program_exe"
# Any process can create the named mutex an earlier client took for the
# sign of a running service: the client asks the service control manager.
rm -f "$work/hold"
mkfifo "$work/hold"
wine "$probe" squat <"$work/hold" >"$work/squatter.out" 2>&1 &
squatter=$!
exec 7>"$work/hold"
check "a process holds the service's old mutex name" wait_until 100 output_has "$work/squatter.out" holding
pings=$(requests_of ping)
check "client started" start_client
check "the tray client polls all the same" wait_until 100 more_requests_of ping $((pings + 1))
quit_client
exec 7>&-
wait_until 100 process_ended "$squatter"
run_setup "$setup" /S /SERVICE=1
check "/SERVICE=1 again: running" service_state_is RUNNING
check "/SERVICE=1 again: the Run entry gone" value_missing "$run_key" "Tarnwick Web Printing"
run_command_line "$(registry_value "$nsis_key" QuietUninstallString | sed 's/^REG_SZ //')"
check "uninstall: exit code 0" status_is $? 0
check "uninstall: the service is gone" service_missing
check "uninstall: webprint.exe removed" missing "$program_dir/webprint.exe"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
