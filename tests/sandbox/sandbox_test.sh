#!/usr/bin/env bash
# Drives scripts/sandbox on namespaces of its own (prefix "vst-") and a
# temporary state folder: refusals, the tunnel through both servers, the
# accounts the VPN servers accept, and what `down` leaves behind.
#
#   tests/sandbox/sandbox_test.sh
#
# Needs root, network namespaces and the reference account service
# (VELTRA_ACCOUNT_SERVICE, or the default build path); exits 77 (skipped)
# without them.
set -uo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
script=$repo/scripts/sandbox
export VELTRA_ACCOUNT_SERVICE=${VELTRA_ACCOUNT_SERVICE:-$repo/build/tools/account-service/veltra-account-service}
export VELTRA_SANDBOX_NETNS_PREFIX=vst-
unset VELTRA_SANDBOX_EMAIL VELTRA_SANDBOX_PASSWORD

if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: needs root"
  exit 77
fi
if [ ! -x "$VELTRA_ACCOUNT_SERVICE" ] || ! command -v openvpn >/dev/null; then
  echo "skipped: needs $VELTRA_ACCOUNT_SERVICE and openvpn"
  exit 77
fi
if [ ! -c /dev/net/tun ] || ! ip netns add vst-probe 2>/dev/null; then
  echo "skipped: cannot make network namespaces or tunnels here"
  exit 77
fi
ip netns del vst-probe
for ns in vst-home vst-vpn vst-inet vst-foreign; do
  if [ -e "/run/netns/$ns" ]; then
    echo "namespace $ns is left over from an earlier run; remove it with: ip netns del $ns" >&2
    exit 1
  fi
done

work=$(mktemp -d /tmp/veltra-sandbox-test.XXXXXX)
export VELTRA_SANDBOX_DIR=$work/state
decoys=()

cleanup() {
  "$script" down >/dev/null 2>&1
  local pid
  for pid in "${decoys[@]}"; do
    kill "$pid" 2>/dev/null
  done
  [ -e /run/netns/vst-foreign ] && ip netns del vst-foreign
  rm -rf "$work"
}
trap cleanup EXIT

checks=0
failures=0

check() {
  local name=$1
  shift
  checks=$((checks + 1))
  if "$@"; then
    return 0
  fi
  failures=$((failures + 1))
  echo "FAIL: $name" >&2
  return 1
}

# Sets out and rc.
run() {
  out=$("$@" 2>&1)
  rc=$?
}

contains() { [[ "$1" == *"$2"* ]]; }

now_us() { echo "${EPOCHREALTIME/./}"; }

wait_until() {
  local deadline=$(($(now_us) + $1 * 1000000))
  shift
  until "$@"; do
    (($(now_us) < deadline)) || return 1
    sleep 0.05
  done
}

# Zombies count as gone: the processes `up` starts are reparented and
# reaped by whoever is init here, in its own time.
pid_running() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  local -a fields
  read -r -a fields <<<"${stat##*) }"
  [ "${fields[0]}" != Z ]
}

pids_gone() {
  local pid
  for pid in "$@"; do
    ! pid_running "$pid" || return 1
  done
}

recorded_pids() { awk '$1 == "pid" { print $2 }' "$VELTRA_SANDBOX_DIR/sandbox.marker" 2>/dev/null; }

none_of_ours() { ! ip netns list | grep -q '^vst-\(home\|vpn\|inet\)\b'; }

netns_present() { [ -e "/run/netns/$1" ]; }

load_env() {
  set -a
  # shellcheck source=/dev/null
  . "$VELTRA_SANDBOX_DIR/sandbox.env"
  set +a
}

# The service ends every document with "\r\n".
remote_address() {
  "$script" exec -- curl -sS --max-time 10 --cacert "$VELTRA_CA_FILE" \
    "${VELTRA_SERVICE_BASE_URL}remote_address" | tr -d '\r'
}

home_routes() { ip -n vst-home route show; }

clients=0
# start_client USER PASSWORD PORT...: OpenVPN in home with the client's
# configuration; sets client_pid and client_log.
start_client() {
  local user=$1 secret=$2 port
  shift 2
  clients=$((clients + 1))
  local config=$work/client-$clients.conf creds=$work/creds-$clients
  {
    printf '%s\n' client "dev tun" "proto udp" "tun-mtu 1500" "tun-mtu-extra 32" "mssfix 1450" \
      remote-random
    for port in "$@"; do
      echo "remote $VELTRA_SANDBOX_VPN_ADDRESS $port"
    done
    printf '%s\n' "resolv-retry infinite" nobind persist-key persist-tun persist-remote-ip \
      auth-user-pass auth-nocache comp-lzo "reneg-sec 604800" "verb 3"
  } >"$config"
  printf '%s\n%s\n' "$user" "$secret" >"$creds"
  client_log=$work/client-$clients.log
  "$script" exec -- /usr/sbin/openvpn --config "$config" --ca "$VELTRA_SANDBOX_APP/openvpn/ca.crt" \
    --auth-user-pass "$creds" >"$client_log" 2>&1 &
  client_pid=$!
}

client_connected() { grep -q "Initialization Sequence Completed" "$client_log" 2>/dev/null; }
client_refused() { grep -q "AUTH_FAILED" "$client_log" 2>/dev/null; }

stop_client() {
  kill -TERM "$client_pid" 2>/dev/null
  wait "$client_pid" 2>/dev/null
}

# --- before anything is up ------------------------------------------------

# command | expected status | expected text
usage_cases=(
  "|2|usage: scripts/sandbox"
  "bogus|2|unknown command bogus"
  "up extra|2|usage"
  "--help|0|scripts/sandbox up"
  "status|3|down"
  "down|0|down"
  "env|1|not up"
  "exec|1|exec needs a command"
  "exec --|1|exec needs a command"
  "exec true|1|not up"
  "set-vpn-password alice@example.com|1|usage: scripts/sandbox set-vpn-password"
  "reset-vpn-passwords|1|not up"
)
for entry in "${usage_cases[@]}"; do
  IFS='|' read -r words status text <<<"$entry"
  # shellcheck disable=SC2086
  run "$script" $words
  check "'$words' exits $status (got $rc)" [ "$rc" -eq "$status" ]
  check "'$words' says '$text': $out" contains "$out" "$text"
done

# state folder | namespace prefix | expected text
path_cases=(
  "relative/state|vst-|absolute path"
  "$work/with space|vst-|cannot carry"
  "$work/quote\"d|vst-|cannot carry"
  "$work/semi;colon|vst-|cannot carry"
  "$work/ok|-vst|VELTRA_SANDBOX_NETNS_PREFIX"
  "$work/ok|v st|VELTRA_SANDBOX_NETNS_PREFIX"
  "$work/ok|../x|VELTRA_SANDBOX_NETNS_PREFIX"
)
for entry in "${path_cases[@]}"; do
  IFS='|' read -r dir prefix text <<<"$entry"
  run env VELTRA_SANDBOX_DIR="$dir" VELTRA_SANDBOX_NETNS_PREFIX="$prefix" "$script" up
  check "up refuses state '$dir' prefix '$prefix'" [ "$rc" -eq 1 ]
  check "refusal names the problem: $out" contains "$out" "$text"
done
check "refused runs made no namespace" none_of_ours

run setpriv --reuid=65534 --regid=65534 --clear-groups "$script" up
check "up as a normal user fails" [ "$rc" -eq 1 ]
check "and says root is needed: $out" contains "$out" "must run as root"

ip netns add vst-vpn
foreign_inode=$(stat -L -c %i /run/netns/vst-vpn)
run "$script" up
check "up refuses a namespace it did not make" [ "$rc" -eq 1 ]
check "the refusal names it: $out" contains "$out" "vst-vpn exists"
check "the foreign namespace is untouched" [ "$(stat -L -c %i /run/netns/vst-vpn)" = "$foreign_inode" ]
check "no other namespace was made" eval '! netns_present vst-home && ! netns_present vst-inet'
ip netns del vst-vpn

# A service that fails to serve: `up` must undo everything it made so far,
# the OpenVPN servers it already started included.
cat >"$work/failing-service" <<EOF
#!/bin/sh
[ "\$1" = serve ] && { echo "cannot serve" >&2; exit 1; }
exec "$VELTRA_ACCOUNT_SERVICE" "\$@"
EOF
chmod +x "$work/failing-service"
run env VELTRA_ACCOUNT_SERVICE="$work/failing-service" "$script" up
check "up with a failing service fails" [ "$rc" -eq 1 ]
check "and undoes itself: $out" contains "$out" "up failed; undoing"
check "no namespace is left" none_of_ours
check "no marker is left" [ ! -e "$VELTRA_SANDBOX_DIR/sandbox.marker" ]
started_servers() { pgrep -f "$VELTRA_SANDBOX_DIR/run/openvpn-" | while read -r p; do pid_running "$p" && echo "$p"; done; }
check "no OpenVPN server is left" wait_until 10 test -z "$(started_servers)"

# --- up -------------------------------------------------------------------

root_links=$(ip -o link show | awk -F': ' '{ print $2 }' | sort)
root_forward=$(cat /proc/sys/net/ipv4/ip_forward)
root_tables=$(nft list tables)

run "$script" up
check "up succeeds: $out" [ "$rc" -eq 0 ] || exit 1
run "$script" up
check "up again exits 0" [ "$rc" -eq 0 ]
check "and says it is up: $out" contains "$out" "already up"
run "$script" status
check "status exits 0 when up: $out" [ "$rc" -eq 0 ]
load_env

for key in VELTRA_SERVICE_BASE_URL VELTRA_CA_FILE VELTRA_SANDBOX_APP VELTRA_SANDBOX_VPN_ADDRESS \
  VELTRA_SANDBOX_HOME_ADDRESS VELTRA_SANDBOX_NAT_ADDRESS VELTRA_SANDBOX_VPN_PORTS \
  VELTRA_SANDBOX_EMAIL VELTRA_SANDBOX_PASSWORD VELTRA_SANDBOX_EXPIRED_EMAIL \
  VELTRA_SANDBOX_TRIAL_EMAIL VELTRA_SANDBOX_NETNS_HOME; do
  check "sandbox.env sets $key" [ -n "${!key:-}" ]
done
check "the home namespace carries the prefix" [ "$VELTRA_SANDBOX_NETNS_HOME" = vst-home ]
check "the app folder runs the system OpenVPN" \
  [ "$(readlink "$VELTRA_SANDBOX_APP/openvpn/pelk.openvpn.exe")" = /usr/sbin/openvpn ]
ca_signs_server() { openssl verify -CAfile "$VELTRA_SANDBOX_APP/openvpn/ca.crt" "$VELTRA_SANDBOX_DIR/pki/vpn/server.pem" >/dev/null; }
check "the app folder holds the VPN CA" ca_signs_server

# --- isolation ------------------------------------------------------------

check "no link was added to the machine's namespace" \
  [ "$(ip -o link show | awk -F': ' '{ print $2 }' | sort)" = "$root_links" ]
check "the machine's forwarding is unchanged" [ "$(cat /proc/sys/net/ipv4/ip_forward)" = "$root_forward" ]
check "no nft table in the machine's namespace" [ "$(nft list tables)" = "$root_tables" ]
in_test_range() {
  local ns address bad=0
  for ns in vst-home vst-vpn vst-inet; do
    while read -r address; do
      case "$address" in
        127.0.0.1/8 | 198.18.* | 198.19.*) ;;
        *)
          echo "address $address in $ns" >&2
          bad=1
          ;;
      esac
    done < <(ip -n "$ns" -o -4 addr show | awk '{ print $4 }')
  done
  return "$bad"
}
check "every address lies in 198.18.0.0/15" in_test_range
check "inet has no default route" [ -z "$(ip -n vst-inet route show default)" ]
check "inet has no route to the tunnels" [ -z "$(ip -n vst-inet route get 198.18.100.2 2>/dev/null)" ]
check "forwarding is on in vpn" [ "$(ip netns exec vst-vpn cat /proc/sys/net/ipv4/ip_forward)" = 1 ]

# --- the public address with and without the tunnel -----------------------

baseline_routes=$(home_routes)
answer=$(remote_address)
check "before the tunnel the service sees home: $answer" \
  [ "$answer" = "{\"ip\":\"$VELTRA_SANDBOX_HOME_ADDRESS\",\"country_code\":\"$VELTRA_SANDBOX_HOME_COUNTRY\"}" ]

# user | password | ports | outcome (up: connected, address changed; refused: AUTH_FAILED)
client_cases=(
  "$VELTRA_SANDBOX_EMAIL|$VELTRA_SANDBOX_PASSWORD|1194|up"
  "$VELTRA_SANDBOX_EMAIL|$VELTRA_SANDBOX_PASSWORD|1195|up"
  "$VELTRA_SANDBOX_EMAIL|$VELTRA_SANDBOX_PASSWORD|$VELTRA_SANDBOX_VPN_PORTS|up"
  "${VELTRA_SANDBOX_EMAIL^^}|$VELTRA_SANDBOX_PASSWORD|1194|up"
  "$VELTRA_SANDBOX_TRIAL_EMAIL|$VELTRA_SANDBOX_TRIAL_PASSWORD|1195|up"
  "$VELTRA_SANDBOX_SOON_EMAIL|$VELTRA_SANDBOX_SOON_PASSWORD|1194|up"
  "$VELTRA_SANDBOX_EMAIL|wrong password|1194|refused"
  "$VELTRA_SANDBOX_EMAIL|${VELTRA_SANDBOX_PASSWORD^^}|1195|refused"
  "nobody@example.com|$VELTRA_SANDBOX_PASSWORD|1194|refused"
  "$VELTRA_SANDBOX_EXPIRED_EMAIL|$VELTRA_SANDBOX_EXPIRED_PASSWORD|1194 1195|refused"
  "\$(touch $work/pwned)|x|1194|refused"
  "\"; touch $work/pwned; \"|\`touch $work/pwned\`|1195|refused"
  "../../etc/passwd|x|1194|refused"
)
for entry in "${client_cases[@]}"; do
  IFS='|' read -r user secret ports outcome <<<"$entry"
  # shellcheck disable=SC2086
  start_client "$user" "$secret" $ports
  if [ "$outcome" = up ]; then
    if check "$user on $ports connects" wait_until 20 client_connected; then
      answer=$(remote_address)
      check "through the tunnel ($user, $ports) the service sees vpn: $answer" \
        [ "$answer" = "{\"ip\":\"$VELTRA_SANDBOX_NAT_ADDRESS\",\"country_code\":\"$VELTRA_SANDBOX_NAT_COUNTRY\"}" ]
    fi
    stop_client
  else
    check "$user on $ports is refused" wait_until 20 client_refused
    check "and OpenVPN ends by itself" wait_until 20 pids_gone "$client_pid"
    wait "$client_pid" 2>/dev/null
    status=$?
    check "ending with status 0 (got $status)" [ "$status" -eq 0 ]
  fi
  check "routes in home are back to the baseline after $user on $ports" [ "$(home_routes)" = "$baseline_routes" ]
done
check "no user name ran as a command" [ ! -e "$work/pwned" ]

# --- a VPN password that disagrees with the service's ----------------------

hash=$(printf '%s\n' "$VELTRA_SANDBOX_PASSWORD" | "$VELTRA_ACCOUNT_SERVICE" hash-password)
sign_in() {
  "$script" exec -- curl -sS --max-time 10 --cacert "$VELTRA_CA_FILE" \
    "${VELTRA_SERVICE_BASE_URL}authentication?email=${VELTRA_SANDBOX_EMAIL/@/%40}&password=$hash&version=Foo"
}
run "$script" set-vpn-password "$VELTRA_SANDBOX_EMAIL" "vpn only"
check "set-vpn-password succeeds: $out" [ "$rc" -eq 0 ]
check "the service still signs the account in" contains "$(sign_in)" '"error_code":0'
start_client "$VELTRA_SANDBOX_EMAIL" "$VELTRA_SANDBOX_PASSWORD" 1194
check "the VPN refuses the service's password" wait_until 20 client_refused
wait "$client_pid" 2>/dev/null
start_client "$VELTRA_SANDBOX_EMAIL" "vpn only" 1195
check "the VPN accepts the new password" wait_until 20 client_connected
stop_client
run "$script" set-vpn-password stranger@example.com x
check "set-vpn-password refuses an account the sandbox did not seed" [ "$rc" -eq 1 ]
run "$script" reset-vpn-passwords
check "reset-vpn-passwords succeeds" [ "$rc" -eq 0 ]
start_client "$VELTRA_SANDBOX_EMAIL" "$VELTRA_SANDBOX_PASSWORD" 1194
check "after the reset the service's password works again" wait_until 20 client_connected
stop_client

# --- down touches only what the marker proves is its own --------------------

ours=$(recorded_pids)
setsid sleep 600 </dev/null >/dev/null 2>&1 &
decoys+=($!)
setsid sleep 600 </dev/null >/dev/null 2>&1 &
decoys+=($!)
"$script" exec -- sleep 600 </dev/null >/dev/null 2>&1 &
decoys+=($!)
# shellcheck disable=SC2016
wait_until 10 eval '[ "$(readlink /proc/${decoys[2]}/exe)" = /usr/bin/sleep ]'
start_of() { awk '{ sub(/.*\) /, ""); print $20 }' "/proc/$1/stat"; }
ip netns add vst-foreign
{
  # the right start time, another program
  echo "pid ${decoys[0]} $(start_of "${decoys[0]}") openvpn-forged /usr/sbin/openvpn"
  # the right program, another start time
  echo "pid ${decoys[1]} 1 sleep-forged $(readlink /proc/"${decoys[1]}"/exe)"
  echo "pid x1 2 malformed /bin/true"
  echo "netns vst-foreign 1"
  echo "netns -all 0"
  echo "netns ../vst-foreign $(stat -L -c %i /run/netns/vst-foreign)"
} >>"$VELTRA_SANDBOX_DIR/sandbox.marker"
run "$script" down
check "down succeeds: $out" [ "$rc" -eq 0 ]
check "down warns about processes it did not start: $out" contains "$out" "did not start remain in vst-home"
check "the sandbox's namespaces are gone" none_of_ours
# shellcheck disable=SC2086
check "the sandbox's processes are gone" wait_until 10 pids_gone $ours
for pid in "${decoys[@]}"; do
  check "process $pid that it did not start still runs" pid_running "$pid"
done
check "a namespace with another identity is left alone" netns_present vst-foreign
check "no marker is left" [ ! -e "$VELTRA_SANDBOX_DIR/sandbox.marker" ]
kill "${decoys[@]}" 2>/dev/null
decoys=()
ip netns del vst-foreign

# --- a sandbox that lost a part ----------------------------------------------

run "$script" up
check "up after down succeeds" [ "$rc" -eq 0 ]
service_pid=$(awk '$1 == "pid" && $4 == "account-service" { print $2 }' "$VELTRA_SANDBOX_DIR/sandbox.marker")
kill "$service_pid"
check "the service stops" wait_until 10 pids_gone "$service_pid"
run "$script" status
check "status says partly up (exit 1): $out" [ "$rc" -eq 1 ]
check "and names the lost part" contains "$out" "account-service (pid $service_pid): gone"
run "$script" up
check "up refuses a partial sandbox" [ "$rc" -eq 1 ]
check "and says how to clear it: $out" contains "$out" "run 'scripts/sandbox down' first"
run "$script" down
check "down clears a partial sandbox" [ "$rc" -eq 0 ]
check "leaving no namespace" none_of_ours

# --- repeated cycles stay clean ----------------------------------------------

for round in 1 2 3; do
  run "$script" up
  check "round $round: up" [ "$rc" -eq 0 ]
  ours=$(recorded_pids)
  run "$script" down
  check "round $round: down" [ "$rc" -eq 0 ]
  check "round $round: no namespace" none_of_ours
  # shellcheck disable=SC2086
  check "round $round: no process" wait_until 10 pids_gone $ours
done
run "$script" down
check "down when down exits 0" [ "$rc" -eq 0 ]
check "the machine's links are as before" \
  [ "$(ip -o link show | awk -F': ' '{ print $2 }' | sort)" = "$root_links" ]

echo "$((checks - failures)) of $checks checks passed"
[ "$failures" -eq 0 ]
