#!/bin/bash
# Smoke test of the QvOstrel test driver and test package under Wine.
#
#   tests/driver/smoke-test.sh <build dir>
#
# <build dir> holds testpkg/ (target testpkg). Works in <build dir>/driver-smoke:
# a fresh Wine prefix, the probe exe and the output of every wine command.
# Steps: install the package (InstallHinfSection Install.NTamd64), start the
# service, open \\.\QvOstrel\System, stop (the device must go away), start and
# stop again timed from inside Wine, uninstall (Uninstall.NTamd64), check that
# service, registry value and driver file are gone.
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

# probe <what> <target> <name>: runs the probe exe; result line in $result.
probe() {
    w "$3" "$work/qvostrel_probe.exe" "$1" "$2" "$(winpath "$logs/$3.result")"
    result=$(tr -d "\r" <"$logs/$3.result" 2>/dev/null || echo "no result (rc $rc)")
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
