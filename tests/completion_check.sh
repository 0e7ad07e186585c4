#!/usr/bin/env bash
# The bash completion of kavel-isp-cli: commands, options, the port list's COM names and
# image files. Usage: completion_check.sh COMPLETION_FILE CLI_DIR SIM
set -uo pipefail  # no -e: a completion function runs in the user's shell, failures and all
source "$1"
export PATH="$(realpath "$2"):$PATH"
sim_exe=$(realpath "$3")
work=$(mktemp -d)
trap 'kill "${sim:-}" 2>/dev/null || true; rm -rf "$work"' EXIT
cd "$work"
mkdir -p ports sub
ln -s /dev/ptmx-is-no-terminal ports/COM7 2>/dev/null || true
touch fw.hex fw.IHX fw.bin notes.txt
export KAVEL_ISP_PORT_DIR="$work/ports"
status=0
expect() {  # expect "WORDS" "COMPLETIONS (sorted, space-separated)"
  read -ra COMP_WORDS <<< "$1"
  [[ $1 == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  _kavel_isp_cli
  local got
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | xargs)
  if [ "$got" != "$2" ]; then echo "'$1': got '$got', want '$2'"; status=1; fi
}
expect "kavel-isp-cli pro" "program"
expect "kavel-isp-cli --no-v" "--no-verify"
expect "kavel-isp-cli -p COM1 program " "fw.IHX fw.bin fw.hex ports/ sub/"
expect "kavel-isp-cli --format" "--format"
expect "kavel-isp-cli --format " "bin hex"
expect "kavel-isp-cli security " "1 2 3"
expect "kavel-isp-cli -b 1" "115200 14400 19200"
expect "kavel-isp-cli --inv" "--invert-dtr --invert-rts"
expect "kavel-isp-cli --boot-entry " "dtr-rts"
expect "kavel-isp-cli -p rfc" "rfc2217://"
expect "kavel-isp-cli log --stats --by day,h" "day,hour"
expect "kavel-isp-cli log --result no" "no_answer"
expect "kavel-isp-cli --stop-words " "HUP= INT= TERM="
expect "kavel-isp-cli --stop-words INT=by" ""
expect "kavel-isp-cli --stop-words HUP=x sy" "sync"
# Every option and every command --help names is offered: the completion follows the tables.
COMP_WORDS=(kavel-isp-cli --)
COMP_CWORD=1
_kavel_isp_cli
offered=" ${COMPREPLY[*]} "
for option in $(kavel-isp-cli --help | grep -oE -- '--[a-z][a-z0-9-]*' | sort -u); do
  [[ $offered == *" $option "* ]] || { echo "--help names $option, the completion does not offer it"; status=1; }
done
COMP_WORDS=(kavel-isp-cli "")
COMP_CWORD=1
_kavel_isp_cli
offered=" ${COMPREPLY[*]} "
for command in $(kavel-isp-cli --help | sed -n '/^Commands:/,/^$/p' | awk 'NR > 1 && /^  [a-z]/ {print $1}'); do
  [[ $offered == *" $command "* ]] || { echo "--help names the command $command, the completion does not offer it"; status=1; }
done
# Only terminals are ports: the entry leading nowhere is not offered, the simulator's is.
"$sim_exe" --port COM3 --port-dir "$work/ports" >/dev/null 2>&1 &
sim=$!
for _ in $(seq 50); do [ -e ports/COM3.kavel-claim ] && break; sleep 0.1; done
read -ra COMP_WORDS <<< "kavel-isp-cli -p C"
COMP_CWORD=2
_kavel_isp_cli
[[ " ${COMPREPLY[*]} " == *" COM3 "* && " ${COMPREPLY[*]} " != *" COM7 "* ]] || { echo "ports offered: ${COMPREPLY[*]}"; status=1; }
# The devices the ports lead to beside their names, and any path once a word starts like one.
device=$(realpath ports/COM3)
for word in "" "${device%/*}/"; do
  COMP_WORDS=(kavel-isp-cli -p "$word")
  COMP_CWORD=2
  _kavel_isp_cli
  [[ " ${COMPREPLY[*]} " == *" $device "* ]] || { echo "'-p $word': devices offered: ${COMPREPLY[*]}"; status=1; }
done
exit $status
