#!/usr/bin/env bash
# scripts/setup against stand-ins for dpkg-query, apt-get, id and sudo placed first on PATH:
# on a machine with none, some or all of its packages, it asks apt-get for exactly the
# missing ones. Usage: SetupTest.sh PATH/TO/scripts/setup
set -euo pipefail
setup=${1:?usage: SetupTest.sh PATH/TO/scripts/setup}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fakes=$work/bin
mkdir -p "$fakes"

# Like the real one: prints the status of the packages it knows and exits 1 when any is
# unknown. $FAKE_INSTALLED and $FAKE_REMOVED list the packages it knows, one per line.
cat > "$fakes/dpkg-query" <<'EOF'
#!/usr/bin/env bash
status=0
shift 2  # -W -f=FORMAT
for p in "$@"; do
  echo "$p" >> "$FAKE_LOG/queried"
  if grep -qxF -- "$p" "$FAKE_INSTALLED"; then echo "$p install ok installed"
  elif grep -qxF -- "$p" "$FAKE_REMOVED"; then echo "$p deinstall ok config-files"
  else echo "dpkg-query: no packages found matching $p" >&2; status=1
  fi
done
exit $status
EOF
cat > "$fakes/apt-get" <<'EOF'
#!/usr/bin/env bash
echo "${DEBIAN_FRONTEND:-unset} $*" >> "$FAKE_LOG/apt-get"
EOF
cat > "$fakes/id" <<'EOF'
#!/usr/bin/env bash
[ "$1" = -u ] && echo "$FAKE_UID"
EOF
cat > "$fakes/sudo" <<'EOF'
#!/usr/bin/env bash
echo "$*" >> "$FAKE_LOG/sudo"
# The real sudo starts the command with a fresh environment.
exec env -u DEBIAN_FRONTEND "$@"
EOF
chmod +x "$fakes"/*

failures=0
fail() { echo "FAIL [$case_name]: $*" >&2; failures=$((failures + 1)); }

# run NAME UID INSTALLED REMOVED [SETUP ARGS...]: a fresh log, then scripts/setup.
run() {
  case_name=$1 uid=$2 installed=$3 removed=$4; shift 4
  export FAKE_LOG=$work/log/$case_name FAKE_UID=$uid
  export FAKE_INSTALLED=$FAKE_LOG.installed FAKE_REMOVED=$FAKE_LOG.removed
  mkdir -p "$FAKE_LOG"
  printf '%s' "$installed" > "$FAKE_INSTALLED"
  printf '%s' "$removed" > "$FAKE_REMOVED"
  touch "$FAKE_LOG/queried" "$FAKE_LOG/apt-get" "$FAKE_LOG/sudo"
  status=0
  PATH="$fakes:$PATH" "$setup" "$@" > "$FAKE_LOG/out" 2>&1 || status=$?
}

# The packages apt-get was asked to install, one per line, sorted.
asked() { sed -n 's/^[^ ]* install -y -qq --no-install-recommends //p' "$FAKE_LOG/apt-get" | tr ' ' '\n' | sort; }
queried() { sort -u "$FAKE_LOG/queried"; }
expect_status() { [ "$status" -eq "$1" ] || fail "exit status $status, expected $1: $(cat "$FAKE_LOG/out")"; }

# What the program needs, and what the tests add, as the script itself asks for them.
run probe 0 "" ""
product=$(queried)
run probe-tests 0 "" "" --tests
with_tests=$(queried)
run probe-fuzz 0 "" "" --fuzz
with_fuzz=$(queried)
case_name=groups
[ "$(wc -l <<<"$product")" -ge 5 ] || fail "asks about only: $product"
for tool in cmake g++ libcurl4-openssl-dev; do
  grep -qx "$tool" <<<"$product" || fail "the build needs $tool"
done
for tool in libgtest-dev libbenchmark-dev pipx python3-venv libcpp-httplib-dev; do
  grep -qx "$tool" <<<"$product" && fail "a plain setup installs the test tool $tool"
  grep -qx "$tool" <<<"$with_tests" || fail "--tests does not install $tool"
done
grep -qx clang-14 <<<"$with_fuzz" || fail "--fuzz does not install clang-14"
[ -z "$(comm -23 <(echo "$product") <(echo "$with_tests"))" ] || fail "--tests drops a package of the build"

# None installed, as root: one update, then every package at once, without sudo.
run none 0 "" ""
expect_status 0
[ "$(asked)" = "$product" ] || fail "installed $(asked | xargs), expected $(xargs <<<"$product")"
[ "$(head -n 1 "$FAKE_LOG/apt-get")" = "noninteractive update -qq" ] || fail "no apt-get update first"
[ "$(wc -l < "$FAKE_LOG/apt-get")" -eq 2 ] || fail "apt-get ran $(wc -l < "$FAKE_LOG/apt-get") times"
[ -s "$FAKE_LOG/sudo" ] && fail "root went through sudo"

# Some installed, one of them removed with its configuration left (dpkg still knows it),
# as a user: exactly the rest, through sudo, still without questions.
some=$(sed -n '1p;3p;5p' <<<"$with_tests")
removed=$(sed -n '2p' <<<"$with_tests")
run some 1000 "$some" "$removed" --tests
expect_status 0
expected=$(comm -23 <(echo "$with_tests") <(sort <<<"$some"))
[ "$(asked)" = "$expected" ] || fail "installed $(asked | xargs), expected $(xargs <<<"$expected")"
grep -qx "$removed" <<<"$(asked)" || fail "the removed $removed is not installed again"
[ "$(grep -c . "$FAKE_LOG/sudo")" -eq 2 ] || fail "a user's apt-get did not go through sudo"
grep -q '^unset' "$FAKE_LOG/apt-get" && fail "apt-get under sudo could ask questions"

# All installed: nothing asked of apt-get, nothing said.
run all 1000 "$with_fuzz" "" --fuzz
expect_status 0
[ -s "$FAKE_LOG/apt-get" ] && fail "apt-get ran: $(cat "$FAKE_LOG/apt-get")"
[ -s "$FAKE_LOG/out" ] && fail "said: $(cat "$FAKE_LOG/out")"

# An unknown option stops before anything is installed.
run unknown 0 "" "" --everything
expect_status 2
[ -s "$FAKE_LOG/apt-get" ] && fail "apt-get ran after an unknown option"

[ "$failures" -eq 0 ] || exit 1
echo "setup: none, some and all installed behave"
