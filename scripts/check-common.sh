# Shared by the package checks (sourced): how a check reports and waits.
fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "-- $*"; }
# waits up to $1 seconds for the command that follows to succeed
within() {
    local seconds=$1
    shift
    for ((i = 0; i < seconds * 10; i++)); do "$@" && return 0; sleep 0.1; done
    return 1
}
# a Linux path as Wine's Z: drive names it
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
