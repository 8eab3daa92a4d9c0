#!/bin/sh
# Writes a program's manual page (gzipped) from its own --help with help2man; a command line
# with subcommands gets a COMMANDS section made from each subcommand's --help (--subcommands:
# every one its --help lists).
#   manpage.sh OUT.1.gz PROGRAM VERSION "WHAT IT IS" [INCLUDE.h2m] [--subcommands | SUBCOMMAND...]
set -eu
out=$1 program=$2 version=$3 name=$4
shift 4
extra=""
if [ $# -gt 0 ] && [ "${1%.h2m}" != "$1" ]; then extra=$1; shift; fi
if [ "${1:-}" = "--subcommands" ]; then
  # shellcheck disable=SC2046
  set -- $("$program" --help | sed -n '/^Subcommands:$/,/^$/p' | awk 'NR > 1 && NF { print $1 }')
  [ $# -gt 0 ] || { echo "manpage.sh: $program --help lists no subcommands" >&2; exit 1; }
fi
include=$(mktemp)
trap 'rm -f "$include"' EXIT

# CLI11's help as troff (the exit statuses, the same for every command, only once, above): "Usage:" and section lines as paragraphs, each option an indented item.
to_troff() {
  sed -e 's/\\/\\e/g' | awk '
    function esc(s) { gsub(/-/, "\\-", s); return s }
    function lead(s) { sub(/^[.'"'"']/, "\\\\\\&&", s); return s }
    NR == 1 { print ".PP"; print lead($0); next }
    /^Exit status:$/ { exit }
    /^Usage: / { print ".PP"; sub(/^Usage: /, ""); print "\\fBUsage:\\fR " esc($0); next }
    /^$/ { next }
    /^[A-Z][A-Za-z ]*:$/ { print ".PP"; print "\\fI" $0 "\\fR"; next }
    /^                    / { sub(/^ +/, ""); print lead($0); next }
    /^  [^ ]/ {
      sub(/^  /, "")
      n = match($0, /   +/)
      if (n > 0) { head = substr($0, 1, n - 1); rest = substr($0, n + RLENGTH) }
      else { head = $0; rest = "" }
      print ".TP"; print "\\fB" esc(head) "\\fR"
      if (rest != "") print lead(rest)
      next
    }
    { print lead($0) }'
}

{
  if [ -n "$extra" ]; then cat "$extra"; fi
  if [ $# -gt 0 ]; then
    echo "[COMMANDS]"
    for command in "$@"; do
      echo ".SS $command"
      "$program" "$command" --help | to_troff
    done
  fi
} >"$include"

help2man --no-info --no-discard-stderr --version-string="$version" --name="$name" \
  --include="$include" "$program" | gzip -9n >"$out"
