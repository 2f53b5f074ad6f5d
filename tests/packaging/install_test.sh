#!/usr/bin/env bash
# The install tree and the Debian package, as a user gets them: `cmake --install` into a
# scratch prefix, then the .deb that CPack makes from the same build, unpacked with dpkg -x.
# Each is checked for its files and modes, and the programs are run from where they landed.
#   install_test.sh BUILD_DIR
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# What both trees must hold, relative to their prefix, with the mode each must have.
expected=(
  "bin/kestrel-relay 755"
  "bin/kestrel-agent 755"
  "bin/kestrel-relay-tray 755"
  "share/man/man1/kestrel-relay.1 644"
  "share/man/man1/kestrel-agent.1 644"
  "share/bash-completion/completions/kestrel-relay 644"
  "share/bash-completion/completions/kestrel-agent 644"
  "share/systemd/user/kestrel-relay.service 644"
  "share/applications/kestrel-relay-tray.desktop 644"
  "share/icons/hicolor/scalable/apps/kestrel-relay.svg 644"
  "share/doc/kestrel-relay/LICENSE 644"
)

check_tree() {
  local name=$1 prefix=$2 bin_prefix=$3
  for entry in "${expected[@]}"; do
    local path=${entry% *} mode=${entry#* }
    if [ ! -f "$prefix/$path" ]; then
      fail "$name: $path is missing"
      continue
    fi
    [ "$(stat -c %a "$prefix/$path")" = "$mode" ] ||
      fail "$name: $path has mode $(stat -c %a "$prefix/$path"), not $mode"
  done
  for page in kestrel-relay kestrel-agent; do
    local rendered
    rendered=$(MANWIDTH=80 man -l "$prefix/share/man/man1/$page.1" 2>&1 >/dev/null) ||
      fail "$name: man -l $page.1 failed"
    [ -z "$rendered" ] || fail "$name: man -l $page.1 warned: $rendered"
    MANWIDTH=80 man -l "$prefix/share/man/man1/$page.1" 2>/dev/null | grep -q "^COMMANDS" ||
      fail "$name: $page.1 has no COMMANDS section"
    bash -n "$prefix/share/bash-completion/completions/$page" ||
      fail "$name: the completion of $page does not parse"
    "$prefix/bin/$page" --version | grep -qx "$page [0-9.]*" ||
      fail "$name: $page --version"
    "$prefix/bin/$page" --help | grep -q "^usage: $page COMMAND" || fail "$name: $page --help"
  done
  grep -qx "ExecStart=$bin_prefix/bin/kestrel-relay serve" \
    "$prefix/share/systemd/user/kestrel-relay.service" ||
    fail "$name: the unit does not start $bin_prefix/bin/kestrel-relay"
}

# The completion offers what the program has.
words=$(bash -c "source /usr/share/bash-completion/bash_completion
  source '$(dirname "$0")/../../packaging/completions/kestrel-relay'
  COMP_WORDS=(kestrel-relay config set secret-store ''); COMP_CWORD=4
  COMP_LINE='kestrel-relay config set secret-store '; COMP_POINT=\${#COMP_LINE}
  _kestrel_relay; echo \${COMPREPLY[*]}")
[ "$words" = "auto file secret-service" ] || fail "completion of config set secret-store: '$words'"

cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
check_tree "cmake --install" "$scratch/prefix" "$scratch/prefix"

(cd "$scratch" && cpack --config "$build/CPackConfig.cmake" -B "$scratch/package" >/dev/null)
deb=$(ls "$scratch"/package/kestrel-relay_*.deb)
dpkg-deb --field "$deb" Package Depends | grep -q "^Depends: .*libqt6svg6" ||
  fail "the package does not depend on the SVG icon engine"
dpkg-deb --field "$deb" Depends | grep -q "libssl3" ||
  fail "the package's dependencies were not computed (no libssl3)"
dpkg -x "$deb" "$scratch/unpacked"
check_tree ".deb" "$scratch/unpacked/usr" /usr

if [ "$failures" -ne 0 ]; then
  echo "$failures failed" >&2
  exit 1
fi
echo "the install tree and $(basename "$deb") hold every file, and their programs run"
