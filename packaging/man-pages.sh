#!/usr/bin/env bash
# Manual pages made from the programs' own --help by help2man, gzipped as Debian wants them.
#   man-pages.sh MODEMFLASH MODEMSIM OUTDIR VERSION
# Writes OUTDIR/cli/modemflash.1.gz, one OUTDIR/cli/modemflash-<subcommand>.1.gz per
# subcommand the program lists, and OUTDIR/sim/modemsim.1.gz.
set -euo pipefail
cli=$1 sim=$2 out=$3 version=$4
mkdir -p "$out/cli" "$out/sim" "$out/wrappers"

page() { # NAME-SECTION-TEXT OUTPUT PROGRAM [help2man options]
  local name=$1 output=$2 program=$3
  shift 3
  help2man --no-info --no-discard-stderr --version-string="$version" --name="$name" \
    --source="modemflash $version" --section=1 "$@" --output="$output.tmp" "$program"
  gzip -9n <"$output.tmp" >"$output"
  rm -f "$output.tmp"
}

# The subcommands are the lines under "Subcommands:" in the top-level help.
subcommands=$("$cli" --help | awk '/^Subcommands:/ {on=1; next} on && /^  [a-z]/ {print $1} on && /^[^ ]/ {on=0}')
[ -n "$subcommands" ] || { echo "man-pages: no subcommands in '$cli --help'" >&2; exit 1; }

see_also=$(mktemp)
trap 'rm -f "$see_also"' EXIT
{
  echo "[SEE ALSO]"
  for s in $subcommands; do printf '.BR modemflash\\-%s (1),\n' "$s"; done
  echo ".BR modemsim (1)"
} >"$see_also"

page "write firmware into USB cellular modems through their serial port" \
  "$out/cli/modemflash.1.gz" "$cli" --include="$see_also"
for s in $subcommands; do
  # help2man runs a program: a wrapper named after the page runs the subcommand.
  wrapper=$out/wrappers/modemflash-$s
  printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$cli" "$s" >"$wrapper"
  chmod +x "$wrapper"
  summary=$("$cli" --help | awk -v s="$s" '$1 == s {$1 = ""; sub(/^ +/, ""); print; exit}')
  page "${summary:-a modemflash subcommand}" "$out/cli/modemflash-$s.1.gz" "$wrapper"
done
page "simulated USB cellular modem on a pseudo-terminal" "$out/sim/modemsim.1.gz" "$sim"
