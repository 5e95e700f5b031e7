#!/bin/bash
# The generated bash completion sourced in a bare bash and after bash-completion's
# own script: what it offers for typed words, and, for each subcommand, the same
# options as the subcommand's help names.
# usage: completion.sh COMPLETION WEX_Q40
set -u
completion=$1
wexq40=$2
bash_completion=/usr/share/bash-completion/bash_completion
[ -r "$bash_completion" ] || { echo "FAIL: $bash_completion is missing (Debian package bash-completion)"; exit 1; }
failures=0

# The words typed so far, the last one being completed, then what is offered.
cases=(
    'wex-q40 |check json influx textfile snmp mqtt diagnose munin collectd help'
    'wex-q40 mqtt --c|--calibration --cafile --credentials'
    'check_wex_q40 --hum|--humidity-warning --humidity-critical'
    '/usr/lib/nagios/plugins/check_wex_q40 --ver|--version --verbose'
    'wex-q40 help d|diagnose'
    'wex-q40 -|-h --help -V --version'
    'wex-q40 json --timeout 5 --r|--retries'
    'wex-q40 textfile -d |(files)'
    'wex-q40 mqtt --cafile =|(files)'
    'wex-q40 mqtt --prefix = -|(files)'
    'check_wex_q40 -w|-w'
    'wex-q40 nosuch --|'
    'wex-q40 help json -|'
)

# In a bash of its own: $1 is sourced first when not empty, then the completion; prints what is offered,
# "(files)" when it leaves the word to bash's own completion of file names.
offered() {
    local before=$1
    shift
    bash --norc --noprofile -c '
        [ -z "$1" ] || . "$1"
        . "$2"
        shift 2
        COMP_WORDS=("$@")
        COMP_CWORD=$(($# - 1))
        compopt() { [ "$*" = "-o default" ] && files="(files)"; }
        files=""
        _wex_q40
        echo "${COMPREPLY[*]}$files"' sh "$before" "$completion" "$@"
}

for before in "" "$bash_completion"; do
    for c in "${cases[@]}"; do
        typed=${c%%|*}
        read -ra words <<<"$typed"
        # After a space, the word being completed is empty.
        [[ $typed != *" " ]] || words+=("")
        got=$(offered "$before" "${words[@]}")
        if [ "$got" != "${c#*|}" ]; then
            echo "FAIL (${before:-bare bash}): '$typed' offers '$got', not '${c#*|}'"
            failures=$((failures + 1))
        fi
    done
done

for command in $(offered "" wex-q40 ""); do
    [ "$command" = help ] && continue
    helped=$("$wexq40" "$command" -h | grep -oE '(^|[][ ,])--?[A-Za-z][A-Za-z-]*' | tr -d '[], ' | sort -u)
    [ -n "$helped" ] || { echo "FAIL: no options in the help of $command"; failures=$((failures + 1)); }
    completed=$(offered "" wex-q40 "$command" - | tr ' ' '\n' | sort -u)
    if [ "$helped" != "$completed" ]; then
        echo "FAIL: the help of $command and its completion differ:"
        diff <(echo "$helped") <(echo "$completed")
        failures=$((failures + 1))
    fi
done

[ "$failures" -eq 0 ] || exit 1
echo "completion: ${#cases[@]} cases in a bare bash and with bash-completion; every subcommand's options as its help names them"
