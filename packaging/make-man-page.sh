#!/usr/bin/env bash
# Writes a program's man page with help2man from its own --help and --version, with a
# COMMANDS section made of each subcommand's --help, so that the page and the program say the
# same thing.
#   make-man-page.sh PROGRAM OUTPUT DESCRIPTION COMMAND...
set -euo pipefail
program=$1 output=$2 description=$3
shift 3
include=$(mktemp)
trap 'rm -f "$include"' EXIT
{
  echo "[COMMANDS]"
  for command in "$@"; do
    echo ".SS $command"
    echo ".nf"
    # Roff reads a leading dot or quote as a request, and backslashes as escapes.
    "$program" "$command" --help | sed -e 's/\\/\\e/g' -e "s/^\\([.']\\)/\\\\\\&\\1/"
    echo ".fi"
  done
  cat <<'TEXT'
[FILES]
.TP
$XDG_CONFIG_HOME
Settings and the list of paired relays or devices (default ~/.config).
.TP
$XDG_DATA_HOME
Keys kept in files (default ~/.local/share).
.TP
$XDG_RUNTIME_DIR
The relay's control socket and kestrel-agent's agent socket.
TEXT
} > "$include"
# help2man reads --help and --version from the program itself.
help2man --no-info --no-discard-stderr --section 1 --name "$description" \
  --include "$include" --output "$output" "$program"
