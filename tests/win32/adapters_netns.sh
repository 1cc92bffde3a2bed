#!/bin/sh
# Runs the WinAdapters tests under Wine inside a network namespace of their
# own: a veth pair with hardware addresses, IPv4 addresses, a default route
# and a name server chosen here, and told to the test through its
# environment. Needs root and `ip netns`; exits 77 (skipped) without them.
#
#   adapters_netns.sh path/to/addrsmith_win32_tests.exe
set -u

EXE=${1:?usage: adapters_netns.sh TEST_EXE}
: "${WINEPREFIX:=${TMPDIR:-/tmp}/addrsmith-wine-adapters}"
: "${WINEDEBUG:=-all}"
export WINEPREFIX WINEDEBUG

if [ "$(id -u)" != 0 ] || ! ip netns list >/dev/null 2>&1 || ! command -v wine >/dev/null; then
    echo "adapters_netns: needs root, ip netns and wine; skipped"
    exit 77
fi

NS=addrsmith-adapters-$$
MAC=52:54:00:ab:cd:ef
PEER_MAC=52:54:00:12:34:56

cleanup() {
    # Wine's server must not outlive the namespace it was started in.
    wineserver -k >/dev/null 2>&1
    ip netns del "$NS" >/dev/null 2>&1
    rm -rf "/etc/netns/$NS"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Made if missing, COM1 mapped away from this machine's serial port.
sh "$(dirname "$0")/wine_prefix.sh" || exit 1
# Whatever server runs for this prefix runs outside the namespace: stop it,
# so the test's one starts inside.
wineserver -k >/dev/null 2>&1

in_ns() { ip netns exec "$NS" "$@"; }
set -e
ip netns add "$NS"
in_ns ip link set lo up
in_ns ip link add adp0 type veth peer name adp1
in_ns ip link set adp0 address "$MAC"
in_ns ip link set adp1 address "$PEER_MAC"
in_ns ip addr add 10.77.0.2/24 dev adp0
in_ns ip addr add 10.78.0.5/16 dev adp0
in_ns ip addr add 10.77.0.1/24 dev adp1
in_ns ip link set adp0 up
in_ns ip link set adp1 up
in_ns ip route add default via 10.77.0.1 dev adp0 metric 10
# `ip netns exec` shows this file as the namespace's /etc/resolv.conf.
mkdir -p "/etc/netns/$NS"
echo "nameserver 10.77.0.53" > "/etc/netns/$NS/resolv.conf"
set +e

OUT=$(ADDRSMITH_NETNS_MAC=$MAC \
      ADDRSMITH_NETNS_NAME=adp0 \
      ADDRSMITH_NETNS_ADDRESSES=10.77.0.2/24,10.78.0.5/16 \
      ADDRSMITH_NETNS_GATEWAY=10.77.0.1 \
      ADDRSMITH_NETNS_DNS=10.77.0.53 \
      ADDRSMITH_NETNS_PEER=adp1 \
      ip netns exec "$NS" wine "$EXE" --gtest_filter='WinAdapters*' 2>&1)
RC=$?
printf '%s\n' "$OUT"

# A skip here means the expectations never reached the test: a failure.
if printf '%s\n' "$OUT" | grep -q '\[  SKIPPED \]'; then
    echo "adapters_netns: the tests skipped inside the namespace"
    exit 1
fi
if ! printf '%s\n' "$OUT" | grep -q '\[  PASSED  \] 3 tests'; then
    [ "$RC" -ne 0 ] || RC=1
fi
exit "$RC"
