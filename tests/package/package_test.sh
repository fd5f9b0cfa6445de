#!/usr/bin/env bash
# The Debian package as an operator gets it. `build` makes it with CPack from
# this build tree; the other steps unpack it into a temporary folder (it is
# never installed on the machine) and check it:
#   contents  the files against contents.txt, no build path in the programs,
#             the desktop entry, the unit and the settings file it names
#   programs  each program's --version and --help from the unpacked tree;
#             quvcall and quvtasks against a demo server of the package
#   lintian   no error and no warning
# Usage: package_test.sh STEP BUILD_DIR SOURCE_DIR VERSION
set -euo pipefail
step=$1
build_dir=$(realpath "$2")
source_dir=$(realpath "$3")
version=$4
package_dir=$build_dir/package-test

fail() {
  echo "package_test $step: $*" >&2
  exit 1
}

# The one .deb that `build` left.
package_file() {
  local found=("$package_dir"/quv_*.deb)
  if [ ${#found[@]} -ne 1 ] || [ ! -f "${found[0]}" ]; then
    fail "no package in $package_dir; run the build step"
  fi
  echo "${found[0]}"
}

work=$(mktemp -d)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

unpack() {
  root=$work/root
  dpkg-deb -x "$(package_file)" "$root"
}

build_package() {
  rm -rf "$package_dir"
  cpack -G DEB --config "$build_dir/CPackConfig.cmake" -B "$package_dir" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack failed"; }
  package_file >/dev/null
}

# Every file of the package matches a line of contents.txt (a shell
# pattern), and every line without a pattern character names a file there.
check_contents() {
  unpack
  local expected=() line path
  while IFS= read -r line; do
    [[ -z $line || $line == \#* ]] || expected+=("$line")
  done <"$source_dir/tests/package/contents.txt"
  local listed=()
  while IFS= read -r path; do listed+=("${path#./}"); done < <(cd "$root" && find . ! -type d | sort)
  for path in "${listed[@]}"; do
    local known=
    for line in "${expected[@]}"; do
      # shellcheck disable=SC2053  # the line is a pattern
      if [[ $path == $line ]]; then known=1; break; fi
    done
    [ -n "$known" ] || fail "unexpected file in the package: $path"
  done
  for line in "${expected[@]}"; do
    [[ $line == *[\*\?\[]* ]] && continue
    [ -e "$root/$line" ] || fail "missing from the package: $line"
  done
  [ "$(dpkg-deb -f "$(package_file)" Version)" = "$version" ] ||
    fail "the package's version is not the project's"

  # A program that read its data from the build tree would work here and
  # nowhere else.
  local program
  for program in "$root"/usr/bin/*; do
    if strings -a "$program" | grep -F -q "$build_dir"; then
      fail "$(basename "$program") holds the build folder $build_dir"
    fi
  done

  desktop-file-validate "$root/usr/share/applications/quvtasks.desktop" ||
    fail "the desktop entry is not valid"
  local unit=$root/usr/lib/systemd/system/quvtasks.service exec command
  exec=$(sed -n 's/^ExecStart=//p' "$unit")
  command=${exec%% *}
  [ -x "$root$command" ] || fail "the unit starts $command, which the package does not hold"
  local settings
  settings=$(sed -n 's/.*--settings \([^ ]*\).*/\1/p' <<<"$exec")
  [ -f "$root$settings" ] || fail "the unit reads $settings, which the package does not hold"
  grep -qx "$settings" <(dpkg-deb --ctrl-tarfile "$(package_file)" | tar -xO ./conffiles) ||
    fail "$settings is not a conffile"
  grep -q '^StateDirectory=quvtasks$' "$unit" || fail "the unit has no state folder"
}

# Starts a demo server of the package on a free loopback port; sets server.
start_demo_server() {
  "$root/usr/bin/quvserver" --demo --seed 1 --demo-scale 1 --listen 127.0.0.1 --port 0 \
    --locator-port 0 >"$work/server.out" 2>"$work/server.err" &
  pids+=("$!")
  local line=
  for _ in $(seq 100); do
    line=$(grep -m1 '^listening on ' "$work/server.out" || true)
    [ -n "$line" ] && break
    kill -0 "${pids[-1]}" 2>/dev/null || break
    sleep 0.1
  done
  [ -n "$line" ] || fail "the demo server did not start: $(cat "$work/server.err")"
  server=${line#listening on }
}

check_programs() {
  unpack
  local program
  for program in "$root"/usr/bin/*; do
    local name
    name=$(basename "$program")
    [ "$("$program" --version)" = "$name $version" ] || fail "$name --version"
    "$program" --help >"$work/help" || fail "$name --help failed"
    grep -q "^Usage:" "$work/help" || fail "$name --help shows no usage"
    [ -f "$root/usr/share/man/man1/$name.1.gz" ] || fail "$name has no manual page"
  done

  start_demo_server
  # The definitions of quvsystem and quvtest come from the package's data folder.
  "$root/usr/bin/quvcall" --host "$server" --json quvsystem.tasks.list >"$work/tasks.json" ||
    fail "quvcall quvsystem.tasks.list: $(cat "$work/tasks.json")"
  "$root/usr/bin/quvcall" --host "$server" quvtest.test.echo code=42 name=pacote >"$work/echo" ||
    fail "quvcall quvtest.test.echo failed"
  grep -q pacote "$work/echo" || fail "quvtest.test.echo did not answer: $(cat "$work/echo")"
  "$root/usr/bin/quvtasks" --once --json "$server" >"$work/once.json" ||
    fail "quvtasks --once failed: $(cat "$work/once.json")"
  grep -q '"state":"respondendo"' "$work/once.json" || fail "quvtasks --once printed no server: $(cat "$work/once.json")"

  # The watch as the unit runs it, with the package's settings file.
  "$root/usr/bin/quvtasks" --serve --settings "$root/etc/quvtasks/quvtasks.ini" \
    --record "$work/record.db" "$server" 2>"$work/serve.err" &
  local watch=$!
  pids+=("$watch")
  for _ in $(seq 100); do
    grep -q 'respondendo' "$work/serve.err" && break
    kill -0 "$watch" 2>/dev/null || break
    sleep 0.1
  done
  grep -q 'respondendo' "$work/serve.err" || fail "the watch saw no server: $(cat "$work/serve.err")"
  kill -TERM "$watch"
  local status=0
  wait "$watch" || status=$?
  [ "$status" -eq 0 ] || fail "the watch ended with status $status: $(cat "$work/serve.err")"
  [ -s "$work/record.db" ] || fail "the watch recorded nothing"
}

check_lintian() {
  lintian --fail-on error,warning "$(package_file)" >"$work/lintian" 2>&1 ||
    { cat "$work/lintian" >&2; fail "lintian found faults"; }
}

case $step in
  build) build_package ;;
  contents) check_contents ;;
  programs) check_programs ;;
  lintian) check_lintian ;;
  *) fail "unknown step" ;;
esac
