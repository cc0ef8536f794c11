#!/bin/bash
# Smoke test of the QvOstrel test driver and test package under Wine.
#
#   tests/driver/smoke-test.sh <build dir>
#
# <build dir> holds testpkg/ (target testpkg). Works in <build dir>/driver-smoke:
# a fresh Wine prefix, the probe exe and the output of every wine command.
# Steps: install the package (InstallHinfSection Install.NTamd64), start the
# service, open \\.\QvOstrel\System, stop (the device must go away), start and
# stop again timed from inside Wine; then the driver's device interface: the
# version query, control request, self-check and read request, each behaviour
# switched by the values under the service's Parameters key, the second
# instance, stops with reads pending or just ended, the Windows version seen by
# the driver and the v2 build; last, uninstall (Uninstall.NTamd64) and check
# that service, registry value and driver file are gone.
#
# Wine output is always redirected to files: with a persistent server, Wine's
# system processes keep the standard handles of the command that started
# them, so a pipe reader would hang.
set -u

build=$(cd "${1:?usage: smoke-test.sh <build dir>}" && pwd) || exit 2
src=$(cd "$(dirname "$0")" && pwd)
pkg=$build/testpkg/Win10-x64
work=$build/driver-smoke
prefix=$work/prefix
logs=$work/logs

[ -f "$pkg/QvOstrel.inf" ] || { echo "no package at $pkg (build target testpkg)"; exit 2; }

rm -rf "$work"
mkdir -p "$logs"

export WINEPREFIX=$prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

failures=0
step=0
pass() { echo "PASS: $*"; }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ms_now() { date +%s%3N; }

# w <log name> <wine args...>: runs wine with output to $logs/<name>.{out,err};
# leaves the (8-bit) exit status in $rc and the wall time in $ms.
w() {
    local name=$1; shift
    step=$((step + 1))
    local t0; t0=$(ms_now)
    wine "$@" >"$logs/$step-$name.out" 2>"$logs/$step-$name.err" </dev/null
    rc=$?
    ms=$(( $(ms_now) - t0 ))
}

# probe <what> <target> <name> [args...]: runs the probe exe; its result
# (first line, or all lines of a device command) in $result.
probe() {
    local what=$1 target=$2 name=$3; shift 3
    rm -f "$logs/$name.result"
    w "$name" "$work/qvostrel_probe.exe" "$what" "$target" "$(winpath "$logs/$name.result")" "$@"
    result=$(tr -d "\r" <"$logs/$name.result" 2>/dev/null || echo "no result (rc $rc)")
}

# expect <name> <text> <what it shows>: passes when a line of the result
# file <name> contains <text>.
expect() {
    if tr -d "\r" <"$logs/$1.result" 2>/dev/null | grep -q -F -- "$2"; then pass "$3"
    else fail "$3: no \"$2\" in $1:"; sed 's/^/    /' "$logs/$1.result" 2>/dev/null; fi
}

winpath() { local p=${1//\//\\}; echo "Z:$p"; }

cleanup() { wineserver -k >/dev/null 2>&1 </dev/null; }
trap cleanup EXIT

# ---- probe exe -------------------------------------------------------------
x86_64-w64-mingw32-gcc-posix -O2 -Wall -Wextra -municode -static \
    -o "$work/qvostrel_probe.exe" "$src/qvostrel_probe.c" -ladvapi32 \
    || { echo "cannot build the probe"; exit 2; }

# ---- prefix and persistent server -------------------------------------------
t0=$(ms_now)
wineboot -i >"$logs/wineboot.out" 2>"$logs/wineboot.err" </dev/null
t1=$(ms_now)
wineserver -w </dev/null
wineserver -p >/dev/null 2>&1 </dev/null
echo "prefix: wineboot -i $(( t1 - t0 )) ms, server settled $(( $(ms_now) - t1 )) ms"

inf=$(winpath "$pkg/QvOstrel.inf")
drivers=$prefix/drive_c/windows/system32/drivers
svckey='HKLM\SYSTEM\CurrentControlSet\Services\QvOstrel'
appkey='HKLM\SOFTWARE\Orvane\QvOstrel'

# ---- install ------------------------------------------------------------------
w install rundll32 setupapi.dll,InstallHinfSection Install.NTamd64 128 "$inf"
echo "install: rc $rc, $ms ms"
if cmp -s "$pkg/QvOstrel.sys" "$drivers/QvOstrel.sys"; then pass "QvOstrel.sys copied to drivers"
else fail "QvOstrel.sys not in $drivers"; fi

probe query QvOstrel svc-query
case $result in *"state 1") pass "service installed, stopped";; *) fail "service query: $result";; esac

w reg-svc reg query "$svckey"
if [ $rc -eq 0 ]; then pass "service key present"; else fail "service key missing"; fi
grep -i -E 'ImagePath|Type|Start|ErrorControl' "$logs/$step-reg-svc.out" | sed 's/^/    /'

w reg-app reg query "$appkey" /v DriverVersion
if grep -q '1\.0\.0\.1' "$logs/$step-reg-app.out"; then pass "AddReg value DriverVersion=1.0.0.1"
else fail "AddReg value missing"; fi

probe open '\\.\QvOstrel\System' open-before-start
case $result in error*) pass "device absent before start ($result)";; *) fail "device opened before start ($result)";; esac

# ---- start / open / stop with sc --------------------------------------------
w sc-start sc start QvOstrel
if [ $rc -eq 0 ]; then pass "sc start ($ms ms wall)"; else fail "sc start rc $rc"; fi

probe open '\\.\QvOstrel\System' open-after-start
case $result in ok*) pass "\\\\.\\QvOstrel\\System opens ($result)";; *) fail "device does not open ($result)";; esac
probe open '\\.\QvOstrel' open-dir
echo "    open \\\\.\\QvOstrel (directory itself): $result"

w sc-stop sc stop QvOstrel
if [ $rc -eq 0 ]; then pass "sc stop ($ms ms wall)"; else fail "sc stop rc $rc"; fi

probe open '\\.\QvOstrel\System' open-after-stop
case $result in error*) pass "device gone after stop ($result)";; *) fail "device still opens after stop ($result)";; esac

# ---- second cycle, timed inside Wine ------------------------------------------
probe start QvOstrel svc-start-2
case $result in ok*) pass "StartServiceW: $result ms";; *) fail "StartServiceW: $result";; esac
probe open '\\.\QvOstrel\System' open-2
case $result in ok*) pass "device opens after restart";; *) fail "device does not open after restart ($result)";; esac
probe stop QvOstrel svc-stop-2
case $result in ok*) pass "ControlService(STOP) until stopped: $result ms";; *) fail "stop: $result";; esac
probe open '\\.\QvOstrel\System' open-after-stop-2
case $result in error*) pass "device gone after second stop";; *) fail "device still opens ($result)";; esac

# ---- device interface ---------------------------------------------------------
# Values under Parameters are read at each open of the device (SecondInstance
# at the start of the driver), so most changes need no restart.
params='HKLM\System\CurrentControlSet\Services\QvOstrel\Parameters'
param() {
    w "param-$1" reg add "$params" /v "$1" /t REG_DWORD /d "$2" /f
    [ $rc -eq 0 ] || fail "reg add $1=$2 (rc $rc)"
}
params_clear() { w params-clear reg delete "$params" /f; }
dev='\\.\QvOstrel\System'
dev2='\\.\QvOstrel2\System'

probe start QvOstrel svc-start-dev
case $result in ok*) pass "driver started for the device tests";; *) fail "start: $result";; esac

probe version "$dev" version
expect version "index 1: ok value 3 " "query 1: interface version 3"
expect version "index 2: ok value 1 " "query 2: driver version major 1"
expect version "index 3: ok value 0 " "query 3: minor 0"
expect version "index 4: ok value 0 " "query 4: build 0"
expect version "index 5: ok value 1 " "query 5: revision 1 (v1)"
expect version "index 6: ok value 100728832 0x06010000 bytes 4" "query 6: NTDDI 0x06010000 (Wine's default Windows 7)"
expect version "index 0: error 87 nt 0xC000000D" "query 0: STATUS_INVALID_PARAMETER"
expect version "index 7: error 87 nt 0xC000000D" "query 7: STATUS_INVALID_PARAMETER"
expect version "short-input: error 87" "1-byte query input: STATUS_INVALID_PARAMETER"
expect version "short-output: error 122 nt 0xC0000023" "2-byte query output: STATUS_BUFFER_TOO_SMALL"

probe control "$dev" control
expect control "control: ok" "control request with 0: success"
expect control "control-1: error 87" "control request with 1: STATUS_INVALID_PARAMETER"

probe selfcheck "$dev" selfcheck
expect selfcheck "selfcheck: ok verdict 0x0 bytes 4" "self-check with the exe path: verdict 0"
expect selfcheck "selfcheck-empty: error 87" "self-check with an empty path: refused"
expect selfcheck "selfcheck-odd: error 87" "self-check with an odd length: refused"
expect selfcheck "selfcheck-unterminated: error 87" "self-check without NUL: refused"

probe reads "$dev" reads-cancel cancel
expect reads-cancel "read 1: pending" "read stays pending"
expect reads-cancel "second read: error 22 nt 0xC0000184" "second read on the handle: STATUS_INVALID_DEVICE_STATE"
expect reads-cancel "cancel: ended 995 internal 0xC0000120" "CancelIoEx ends the read: 995"
probe reads "$dev" reads-close close
expect reads-close "close: ended 0 internal 0xC0000120" "CloseHandle ends the pending read (STATUS_CANCELLED)"
probe cycles "$dev" cycles 60
expect cycles "failed 0" "60 read/cancel/close cycles ($result)"

param FirstReadStatus 0xC0000023
probe reads "$dev" first-122 cancel
expect first-122 "read 1: error 122 nt 0xC0000023" "FirstReadStatus 0xC0000023: first read 122"
expect first-122 "read 2: pending" "FirstReadStatus: the second read stays pending"
expect first-122 "read 1: error 122 nt 0xC0000023 event 0 internal 0x00000103" \
    "Wine: a read failed at once leaves the OVERLAPPED unsignalled, Internal 0x103"
param FirstReadStatus 0xC0000022
probe reads "$dev" first-5 cancel
expect first-5 "read 1: error 5 nt 0xC0000022" "FirstReadStatus 0xC0000022: first read 5"
param FirstReadStatus 0xC0000225
probe reads "$dev" first-1168 cancel
expect first-1168 "read 1: error 1168 nt 0xC0000225" "FirstReadStatus 0xC0000225: first read 1168"

params_clear
param ImmediateReads 2
param ImmediateReadBytes 300
probe reads "$dev" immediate-300 cancel
expect immediate-300 "read 1: ok 300 event 1 internal 0x00000000 first-type 1 sizes 128,172 walked 300" \
    "ImmediateReadBytes 300: 300 bytes, records of 128 and 172 bytes, type 1"
expect immediate-300 "read 2: ok 300 " "ImmediateReads 2: the second read completes at once too"
expect immediate-300 "read 3: pending" "ImmediateReads 2: the third read stays pending"
param ImmediateReadBytes 0
probe reads "$dev" immediate-0 cancel
expect immediate-0 "read 1: ok 0 " "ImmediateReadBytes 0: completes at once with 0 bytes"
param ImmediateReadBytes 5000
probe reads "$dev" immediate-cap cancel
expect immediate-cap "read 1: ok 4096 " "ImmediateReadBytes 5000: capped at the 4096-byte buffer"

params_clear
param MinReadBuffer 8192
probe reads "$dev" min-4096 cancel 4096
expect min-4096 "read 1: error 122 nt 0xC0000023" "MinReadBuffer 8192: a 4096-byte read gets 122"
probe reads "$dev" min-8192 cancel 8192
expect min-8192 "read 1: pending" "MinReadBuffer 8192: an 8192-byte read stays pending"

params_clear
param IgnoreCancel 1
probe reads "$dev" ignore-cancel ignorecancel
expect ignore-cancel "cancel: not ended" "IgnoreCancel 1: CancelIoEx does not end the read"
expect ignore-cancel "close: ended 0 internal 0xC0000120" "IgnoreCancel 1: CloseHandle ends it"

params_clear
param InterfaceVersion 2
param FailQueryIndex 4
probe version "$dev" version-2
expect version-2 "index 1: ok value 2 " "InterfaceVersion 2"
expect version-2 "index 4: error 1 nt 0xC0000010" "FailQueryIndex 4: STATUS_INVALID_DEVICE_REQUEST"
expect version-2 "index 5: ok value 1 " "FailQueryIndex 4: query 5 still answers"

params_clear
param ControlStatus 0xC0000022
probe control "$dev" control-5
expect control-5 "control: error 5 nt 0xC0000022" "ControlStatus 0xC0000022: 5"
param ControlStatus 0xC0000001
probe control "$dev" control-31
expect control-31 "control: error 31 nt 0xC0000001" "ControlStatus 0xC0000001: 31"

params_clear
param SelfCheckVerdict 0xC000A000
probe selfcheck "$dev" selfcheck-refused
expect selfcheck-refused "selfcheck: ok verdict 0xC000A000 bytes 4" "SelfCheckVerdict 0xC000A000"

# Wine does not wait for IRP_MJ_CREATE: CreateFileW succeeds although the
# driver fails the open. The driver then fails every request on that handle
# with the same status, so a client still sees 1168 at its first request.
params_clear
param OpenStatus 0xC0000225
probe open "$dev" open-refused
case $result in
    "error 1168 "*) pass "OpenStatus 0xC0000225: CreateFileW fails with 1168";;
    ok*) probe version "$dev" open-refused-version
         expect open-refused-version "index 1: error 1168 nt 0xC0000225" \
             "OpenStatus 0xC0000225: Wine opens anyway; the first request fails with 1168";;
    *) fail "OpenStatus 0xC0000225: open gave $result";;
esac
params_clear
probe open "$dev" open-again
case $result in ok*) pass "open succeeds again without OpenStatus";; *) fail "open: $result";; esac

# Second instance: created at the driver's start.
param SecondInstance 1
probe stop QvOstrel svc-stop-dev
probe start QvOstrel svc-start-two
case $result in ok*) pass "restart with SecondInstance 1";; *) fail "start: $result";; esac
probe version "$dev2" version-two
expect version-two "index 1: ok value 3 " "QvOstrel2\\System answers the version query"
expect version-two "index 6: ok value 100728832 " "QvOstrel2\\System answers query 6"
probe reads "$dev2" reads-two close
expect reads-two "close: ended 0 internal 0xC0000120" "QvOstrel2\\System: pending read ended by CloseHandle"
param SecondOpenStatus 0xC0000022
probe version "$dev2" version-two-refused
expect version-two-refused "index 1: error 5 nt 0xC0000022" "SecondOpenStatus 0xC0000022 refuses QvOstrel2\\System"
probe version "$dev" version-one
expect version-one "index 1: ok value 3 " "SecondOpenStatus leaves QvOstrel\\System alone"
w param-del reg delete "$params" /v SecondOpenStatus /f
probe reads "$dev" reads-before-stop close
probe stop QvOstrel svc-stop-two
case $result in ok*) pass "stop with the second instance, right after a pending read was closed (${result#ok } ms)";;
    *) fail "stop: $result";; esac
probe open "$dev" open-one-after-stop
case $result in error*) pass "QvOstrel\\System gone ($result)";; *) fail "QvOstrel\\System still opens";; esac
probe open "$dev2" open-two-after-stop
case $result in error*) pass "QvOstrel2\\System gone ($result)";; *) fail "QvOstrel2\\System still opens";; esac
params_clear
probe start QvOstrel svc-start-one
probe open "$dev2" open-two-absent
case $result in error*) pass "no QvOstrel2 without SecondInstance ($result)";; *) fail "QvOstrel2 opens";; esac

# A stop while a read is pending on an open handle: Wine unloads the driver
# at once (Windows would wait for the handle), and the unload ends the read.
rm -f "$logs/hold.result"
wine "$work/qvostrel_probe.exe" reads "$dev" "$(winpath "$logs/hold.result")" hold \
    >"$logs/hold.out" 2>"$logs/hold.err" </dev/null &
holder=$!
for _ in $(seq 50); do grep -q holding "$logs/hold.result" 2>/dev/null && break; sleep 0.1; done
probe stop QvOstrel svc-stop-held
case $result in ok*) pass "stop with a read pending on an open handle";; *) fail "stop: $result";; esac
wait $holder
expect hold "hold: ended 995 internal 0xC0000120" "the unload ends the pending read with STATUS_CANCELLED"

# The Windows version seen by the driver follows the prefix's setting.
w wine-win10 reg add 'HKCU\Software\Wine' /v Version /d win10 /f
probe start QvOstrel svc-start-win10
probe version "$dev" version-win10
expect version-win10 "index 6: ok value 167772160 0x0A000000" "query 6 under Windows 10: 0x0A000000"
probe stop QvOstrel svc-stop-win10
w wine-win7 reg delete 'HKCU\Software\Wine' /v Version /f

# The v2 build answers 1.0.0.2.
if [ -f "$build/testpkg-v2/Win10-x64/QvOstrel.sys" ]; then
    cp "$build/testpkg-v2/Win10-x64/QvOstrel.sys" "$drivers/QvOstrel.sys"
    probe start QvOstrel svc-start-v2
    probe version "$dev" version-v2
    expect version-v2 "index 5: ok value 2 " "v2 build: query 5 gives 2"
    probe stop QvOstrel svc-stop-v2
else
    fail "no $build/testpkg-v2 (build target testpkg)"
fi

# ---- uninstall ----------------------------------------------------------------
w uninstall rundll32 setupapi.dll,InstallHinfSection Uninstall.NTamd64 128 "$inf"
echo "uninstall: rc $rc, $ms ms"

probe query QvOstrel svc-query-after
case $result in "error 1060 "*) pass "service deleted (OpenServiceW: 1060)";; *) fail "service still there ($result)";; esac
w reg-svc-after reg query "$svckey"
if [ $rc -ne 0 ]; then pass "service key gone"; else fail "service key still present"; fi
if [ ! -e "$drivers/QvOstrel.sys" ]; then pass "QvOstrel.sys deleted"; else fail "QvOstrel.sys still in drivers"; fi
w reg-app-after reg query "$appkey"
if [ $rc -ne 0 ]; then pass "DelReg removed $appkey"; else fail "$appkey still present"; fi

trap - EXIT
cleanup

echo "logs: $logs"
if [ $failures -eq 0 ]; then echo "smoke test passed"; exit 0; fi
echo "smoke test: $failures failure(s)"; exit 1
