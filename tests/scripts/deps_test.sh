#!/usr/bin/env bash
# scripts/deps against a stand-in apt-get (and dpkg-query, sudo) on the PATH: it installs only
# what the command asked for needs, waits while another tool holds a package lock, and stops
# at once on any other failure.
set -euo pipefail
deps=${1:?path of scripts/deps}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"

# Nothing is installed; apt-get logs each call and fails with a lock message while
# $work/locked counts down, or with another error when $work/broken exists.
cat >"$work/bin/dpkg-query" <<'SH'
#!/bin/sh
echo "unknown ok not-installed"
SH
cat >"$work/bin/apt-get" <<SH
#!/bin/sh
echo "\$*" >>"$work/calls"
if [ -f "$work/broken" ]; then echo "E: Unable to locate package wine" >&2; exit 100; fi
left=\$(cat "$work/locked" 2>/dev/null || echo 0)
if [ "\$left" -gt 0 ]; then
    echo \$((left - 1)) >"$work/locked"
    echo "E: Could not get lock /var/lib/apt/lists/lock. It is held by process 99 (apt-get)" >&2
    exit 100
fi
SH
printf '#!/bin/sh\nexec "$@"\n' >"$work/bin/sudo"
chmod +x "$work/bin/"*

run() { PATH="$work/bin:$PATH" UPGRADE_DEPS_RETRY_S=0 "$deps" "$@" 2>"$work/err"; }
fail() {
    echo "FAIL: $*" >&2
    echo "--- apt-get calls:" >&2
    cat "$work/calls" >&2 || true
    echo "--- stderr:" >&2
    cat "$work/err" >&2 || true
    exit 1
}
packages_installed() { grep -o 'install .*' "$work/calls" | tail -1; }

# The demo needs the build tools alone.
rm -f "$work/calls"
run demo || fail "demo"
[ "$(packages_installed)" = "install -y -q --no-install-recommends cmake g++ make libgtest-dev nettle-dev nlohmann-json3-dev" ] ||
    fail "demo installs only the build tools"

# The tests add the Windows build, wine, the packaging tools, the analysers and the virtual
# machine bench, not the benchmark's.
rm -f "$work/calls"
run check || fail "check"
installed=$(packages_installed)
for p in wine g++-mingw-w64-x86-64 groff-base dpkg-dev unzip lintian libgtest-dev clang libclang-rt-14-dev \
    clang-tidy cppcheck qemu-system-x86 busybox-static cpio; do
    [[ " $installed " == *" $p "* ]] || fail "check installs $p"
done
[[ " $installed " != *" lrzsz "* ]] || fail "check installs the benchmark's lrzsz"

# Another tool holds the lock for three tries: deps waits and then installs.
rm -f "$work/calls"
echo 3 >"$work/locked"
run demo || fail "a held lock"
[ "$(grep -c ' update ' "$work/calls")" -eq 4 ] || fail "update tried again while the lock was held"
grep -q "another package tool holds the lock" "$work/err" || fail "no word about the wait"
packages_installed | grep -q libgtest-dev || fail "no install after the lock was released"

# Any other failure ends it at once, with apt-get's status.
rm -f "$work/calls"
touch "$work/broken"
status=0
run check || status=$?
[ $status -eq 100 ] || fail "status $status after a failure that is no lock"
[ "$(wc -l <"$work/calls")" -eq 1 ] || fail "tried again after a failure that is no lock"
rm "$work/broken"

run nonsense && fail "an unknown command was taken"
echo "deps: all cases passed"
