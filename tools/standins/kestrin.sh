#!/bin/sh
# kestrin.sh -- plays the appliance's mail script for a sandbox root.
#
# Records every call as the generic stand-in does (calls.log and started.log
# in $NAS_STANDIN, else $NAS_ROOT/standin, else /tmp/standin: the name, then
# each argument plain or single-quoted, exactly as received) and mails
# nothing. What it does besides, as the appliance's script does:
#   -onlysubject   prints the text of the key given with -s ("$$$key") on one
#                  line: the line "key=text" of kestrin.lang in the state
#                  folder when there is one, else "{key}"
#   -flag 0 -p P   the event is marked as mailed: the file P + "Flag" is made
#                  (orlinda removes it when the condition clears)
#   -flag 1 -p P   the event file P is taken: removed when it exists
# kestrin.status, when it exists, gives the exit status. A person can run it:
#   NAS_STANDIN=/tmp/s ./kestrin.sh -l 0 -s '$$$emailFTPSubject' -onlysubject
dir=${NAS_STANDIN:-${NAS_ROOT:+$NAS_ROOT/standin}}
dir=${dir:-/tmp/standin}
mkdir -p "$dir" 2>/dev/null
line=kestrin.sh
for arg in "$@"; do
  case $arg in
    ''|*[!A-Za-z0-9_./:=+,@%^-]*)
      q=$(printf '%s' "$arg" | sed "s/'/'\\\\''/g")
      line="$line '$q'" ;;
    *) line="$line $arg" ;;
  esac
done
printf '%s\n' "$line" >>"$dir/calls.log"
printf '%s %s\n' "$$" "$line" >>"$dir/started.log"

subject='' event='' flag='' only=0
while [ $# -gt 0 ]; do
  case $1 in
    -s) subject=$2; shift ;;
    -p) event=$2; shift ;;
    -flag) flag=$2; shift ;;
    -l|-b|-var|-t|-head) shift ;;
    -onlysubject) only=1 ;;
  esac
  [ $# -gt 0 ] && shift
done
status=0
[ -f "$dir/kestrin.status" ] && status=$(cat "$dir/kestrin.status")
if [ $only = 1 ]; then
  key=${subject#\$\$\$}
  text=''
  [ -f "$dir/kestrin.lang" ] && text=$(grep -F -m1 -- "$key=" "$dir/kestrin.lang" | sed 's/^[^=]*=//')
  printf '%s\n' "${text:-{$key\}}"
  exit "$status"
fi
if [ -n "$event" ]; then
  case $flag in
    0) : >"${event}Flag" 2>/dev/null ;;
    1) rm -f -- "$event" ;;
  esac
fi
exit "$status"
