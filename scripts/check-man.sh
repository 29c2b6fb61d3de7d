#!/usr/bin/env bash
# Fails when a manual page makes man warn, or holds a control character (a form feed where a
# font change was meant shows as text). Checks every page under packaging/man/ without
# arguments.
#   scripts/check-man.sh [PAGE...]
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."
(($#)) || set -- packaging/man/*.[1-9]
bad=0
for page in "$@"; do
  if grep -nP '[\x00-\x08\x0B-\x1F\x7F]' "$page" | cat -A | sed "s|^|$page:|"; then bad=1; fi
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null || true)
  if [[ -n $warnings ]]; then
    echo "$page: $warnings"
    bad=1
  fi
done
((bad == 0)) || { echo "manual pages with faults"; exit 1; }
