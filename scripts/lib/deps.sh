# Debian packages the project needs, and the one place that installs them.
# Sourced by scripts/test, scripts/coverage, scripts/demo, scripts/fuzz and
# bench/run.

DEPS_BUILD="cmake ninja-build g++ pkg-config libsqlite3-dev libssl-dev libgtest-dev libgmock-dev libedit-dev libssh-dev libsystemd-dev zlib1g-dev"
DEPS_TEST="python3 python3-pytest python3-pexpect python3-pyftpdlib vsftpd procps curl openssl python3-openssl openssh-server openssh-client python3-prometheus-client systemd"
DEPS_AMQP="librabbitmq-dev rabbitmq-server"
DEPS_FUZZ="clang libclang-rt-14-dev"
DEPS_BENCH="libbenchmark-dev curl time lftp"
DEPS_COVERAGE="gcovr"

# deps_ensure KIND...: installs the missing packages of the named kinds
# (build is always included). As root it runs apt-get; otherwise it prints
# the exact install line and exits non-zero.
deps_ensure() {
  local want="$DEPS_BUILD $DEPS_AMQP" kind pkg missing=()
  for kind in "$@"; do
    case "$kind" in
      test) want="$want $DEPS_TEST" ;;
      fuzz) want="$want $DEPS_FUZZ" ;;
      bench) want="$want $DEPS_TEST $DEPS_BENCH" ;;
      coverage) want="$want $DEPS_TEST $DEPS_COVERAGE" ;;
      demo) want="$want python3 python3-pyftpdlib" ;;
    esac
  done
  for pkg in $want; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages. Install them with:" >&2
    echo "  sudo apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  echo "Installing: ${missing[*]}"
  if [ -z "${DEPS_APT_UPDATED:-}" ]; then
    apt-get update -qq
    export DEPS_APT_UPDATED=1
  fi
  # Keep package scripts from starting services such as vsftpd or rabbitmq:
  # the tests start their own instances on loopback ports.
  local policy=/usr/sbin/policy-rc.d created=0
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' > "$policy"; chmod +x "$policy"; created=1
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
  [ "$created" = 1 ] && rm -f "$policy"
  return 0
}
