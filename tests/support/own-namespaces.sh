#!/usr/bin/env bash
# Runs a test in PID and network namespaces of its own:
# - it sees only the processes it starts, so a sample tool running elsewhere on the machine (the demo,
#   a developer's own run) cannot make an "is the tool running?" check pass or fail;
# - it has a loopback interface of its own, where nothing else on the machine listens, and where the
#   program's fixed ports and those of the tests are kept out of the range the system hands to outgoing
#   connections (a test's own connection could otherwise take 51868 just before the program listens on
#   it, or connect to itself on a test's port where nobody listens yet).
# Where the machine does not allow namespaces (no privilege, a container without them), the test runs
# as it is and says so.
set -euo pipefail
fixed_ports=12345,43231,47100-47299,51868-51869,60506
if [ "${1:-}" = --inside ]; then
    shift
    ip link set lo up
    echo "$fixed_ports" >/proc/sys/net/ipv4/ip_local_reserved_ports
    exec "$@"
fi
if command -v ip >/dev/null && unshare --net --pid --fork --mount-proc --kill-child true 2>/dev/null; then
    exec unshare --net --pid --fork --mount-proc --kill-child "$0" --inside "$@"
fi
echo "own-namespaces: namespaces not available here; other processes and listeners on the machine are visible" >&2
exec "$@"
