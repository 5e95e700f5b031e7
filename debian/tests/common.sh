# shellcheck shell=sh
# Sourced by the tests: the project's virtual module as the machine's USB library, and a network of the test's own.
set -eu

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# The driver looks for /usr/local/lib/libftd2xx.so when the linker's search finds none, so every
# consumer's process, whatever its user and environment, reads the virtual module.
install_virtual_module() {
    [ -e /usr/local/lib/libftd2xx.so ] && return
    build=$(mktemp -d)
    cmake -S . -B "$build" -DWEX_WITH_LIBFTDI=OFF >"$build/configure.log" || { cat "$build/configure.log"; exit 1; }
    cmake --build "$build" -j2 --target ftd2xx_virtual >"$build/build.log" || { cat "$build/build.log"; exit 1; }
    install -D -m 0644 "$build/vmodule-lib/libftd2xx.so" /usr/local/lib/libftd2xx.so
    ldconfig
    rm -rf "$build"
}

# A network namespace with only a loopback, so that the consumers' stock ports collide with nothing.
own_network() {
    if [ -z "${WEX_TEST_NETNS:-}" ]; then
        WEX_TEST_NETNS=1 exec unshare --net "$0" "$@"
    fi
    ip link set lo up
}

# Starts a consumer's daemon as its stock unit would (systemd is not running the testbed): the unit's
# environment file, user, runtime folder and ExecStartPre lines, then its ExecStart in the background.
start_unit() {
    unit=/lib/systemd/system/$1.service
    [ -f "$unit" ] || fail "no unit $unit"
    setting() { sed -n "s/^$1=//p" "$unit"; }
    env_file=$(setting EnvironmentFile)
    # A leading - makes the file optional, as systemd reads it.
    case $env_file in -*) env_file=${env_file#-} && { [ -e "$env_file" ] || env_file=; } ;; esac
    user=$(setting User)
    for folder in $(setting RuntimeDirectory); do
        mkdir -p "/run/$folder"
    done
    setting ExecStartPre | sed 's/^[-+!@]*//' | while IFS= read -r step; do
        sh -c "$step" || fail "$1: ExecStartPre failed: $step"
    done
    command=$(setting ExecStart | sed 's/^[-+!@]*//')
    runner=
    [ -z "$user" ] || runner="setpriv --reuid $user --regid $user --init-groups"
    # systemd splits an unquoted $VARIABLE into words, as sh does.
    # shellcheck disable=SC2086
    sh -c "${env_file:+set -a; . $env_file; set +a;} exec $runner $command" &
    # shellcheck disable=SC2034 # read by the tests that source this file
    UNIT_PID=$!
    echo "$1: started $command as ${user:-root}"
}

# Waits up to 10 s for a TCP or UDP port on 127.0.0.1 to be listened on.
wait_for_port() {
    proto=$1 port=$2 tries=0
    until ss -H -ln"$proto" "sport = :$port" | grep -q .; do
        tries=$((tries + 1))
        [ "$tries" -lt 100 ] || fail "nothing listens on $proto port $port"
        sleep 0.1
    done
}

# The virtual module's default sensor, as wex_q40_test prints it.
# shellcheck disable=SC2034 # read by the tests that source this file
TEMPERATURE=30.0 HUMIDITY=50.6 DEWPOINT=18.6
