#!/bin/bash
# The command's bash completion, through bash-completion's own loader: options from --help, values of its own.
# Arguments: the source folder, the build folder.
set -u
source /usr/share/bash-completion/bash_completion || exit 1
source "$2/data/kiriha-check.bash" || exit 1
source "$2/data/kiriha-gate.bash" || exit 1
PATH=$2/check:$2/gate:$PATH
status=0

# The words typed so far, the last one being completed: what bash would offer.
offers() {
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    "_${COMP_WORDS[0]//-/_}" "${COMP_WORDS[0]}" "${COMP_WORDS[-1]}" "${COMP_WORDS[-2]}" 2>/dev/null
    [ ${#COMPREPLY[@]} -gt 0 ] && printf '%s ' "${COMPREPLY[@]}"
}
expect() {
    local want=$1 got
    shift
    got=$(offers "$@")
    [ "$got" = "$want" ] || { echo "after '$*': offered '$got', not '$want'"; status=1; }
}

expect '--detect ' kiriha-check --det
expect '--retries= --rate= ' kiriha-check --r
expect '0 1 2 3 4 5 ' kiriha-check --retries ''
expect '' kiriha-check --url ''
expect 'anonymous elite ' kiriha-check --anonymity ''
expect '--judge= ' kiriha-check --ju
all=$(offers kiriha-check --)
for option in --working --why --json --cp932 --url= --expect= --cacert= --no-preflight --detect --retries= --rate= \
    --timeout= --connect-timeout= --idle-timeout= --judge= --anonymity= --geoip= --country= --unaltered --quiet --help \
    --version; do
    [[ " $all " == *" $option "* ]] || { echo "$option is not offered"; status=1; }
done
expect 'each random fastest ' kiriha-gate --rotate ''
expect '--recheck= ' kiriha-gate --rech
expect '1 3 10 ' kiriha-gate --tries ''
expect '' kiriha-gate -l ''
gate=$(offers kiriha-gate --)
for option in --listen= --rotate= --sticky= --tries= --max-errors= --recheck= --auth= --auth-file= --log= --status= \
    --drain= --idle= --url= --judge= --anonymity= --country= --rate= --help --version; do
    [[ " $gate " == *" $option "* ]] || { echo "kiriha-gate: $option is not offered"; status=1; }
done
exit $status
