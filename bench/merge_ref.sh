#!/usr/bin/env bash
# The awk merge of two model files, the reference k_graft is timed against: merge_ref.sh FIRST
# SECOND OUTPUT. Refuses (exit 1) unequal line counts; else writes FIRST's lines before its first
# line starting "@3", then SECOND's lines from its first such line on, each ended CR LF.
set -euo pipefail
[ "$(wc -l <"$1")" -eq "$(wc -l <"$2")" ] || { echo "merge_ref.sh: the line counts differ" >&2; exit 1; }
awk 'BEGIN { ORS = "\r\n" }
     FNR == 1 { file++ }
     { sub(/\r$/, "") }
     file == 1 { if (/^@3/) nextfile; print; next }
     !copying && /^@3/ { copying = 1 }
     copying { print }' "$1" "$2" >"$3"
