#!/bin/sh
# Runs the README's Slurm job script as written on a one-node cluster that
# this test starts on localhost (munged, slurmctld, slurmd), with 0-based
# and 1-based arrays and a step, merges the reports with the README's
# command, and checks that the merge holds every directory exactly once
# and that a missing slice is seen; then the README's GNU parallel form
# over two ssh logins to localhost (an sshd of its own on a free port).
# Every daemon it started is stopped. Needs root; installs slurm-wlm,
# munge and openssh-server when missing.
# Usage: cluster_test.sh SOURCE-DIR MAGSYNC-DIR
set -eu
src=$(cd "$1" && pwd)
bin=$(cd "$2" && pwd)
[ "$(id -u)" = 0 ] || { echo "cluster_test.sh must run as root (it starts Slurm's and ssh's daemons)"; exit 1; }
missing=""
command -v slurmctld >/dev/null || missing="$missing slurm-wlm"
command -v munged >/dev/null || missing="$missing munge"
command -v sshd >/dev/null || [ -x /usr/sbin/sshd ] || missing="$missing openssh-server openssh-client"
if [ -n "$missing" ]; then
  apt-get update -q >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing >/dev/null
fi

work=$(mktemp -d)
chmod 755 "$work"
pids=""
stop() {
  [ -z "$pids" ] || kill $pids 2>/dev/null || true
  [ ! -f "$work/slurm.conf" ] || SLURM_CONF="$work/slurm.conf" scontrol shutdown >/dev/null 2>&1 || true
  all=$pids
  for f in "$work"/*.pid; do [ -f "$f" ] && all="$all $(cat "$f")"; done
  [ -z "$all" ] || kill $all 2>/dev/null || true
  # Each daemon gone (slurmctld saves its state as it ends) before its
  # files are removed: at most a minute.
  for p in $all; do
    i=0
    while kill -0 "$p" 2>/dev/null && [ "$i" -lt 600 ]; do i=$((i + 1)); sleep 0.1; done
  done
  rm -rf "$work"
}
trap stop EXIT

# A free TCP port on localhost, from the kernel.
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
# Waits for CONDITION (a command) on the event, not a clock: at most a minute.
await() {
  i=0
  until eval "$1" >/dev/null 2>&1; do
    i=$((i + 1)); [ "$i" -lt 600 ] || { echo "never: $1"; exit 1; }
    sleep 0.1
  done
}

# 40 event directories, and the list the README makes.
k=$(head -n 1 "$src/examples/k.txt")
s=$(head -n 1 "$src/examples/s.txt")
mkdir -p "$work/data/events"
for i in $(seq 10 49); do
  d="$work/data/events/ev $i"
  mkdir "$d"
  cp "$src/examples/mp" "$src/examples/k.txt" "$src/examples/s.txt" "$d"
  case $i in 1?) rm "$d/k.txt" ;; esac
done
form() { P=$1 awk 'index($0, ENVIRON["P"]) == 1 { print; exit }' "$src/README.md" | sed "s|/data|$work/data|g"; }
(cd "$work/data" && eval "$(form "find /data/events -name mp -type f -printf")")

# munge, with a key of the test's own.
mkdir -p "$work/munge"
dd if=/dev/urandom of="$work/munge/key" bs=1024 count=1 2>/dev/null
chown -R munge:munge "$work/munge" && chmod 711 "$work/munge" && chmod 400 "$work/munge/key"
runuser -u munge -- munged --key-file="$work/munge/key" --socket="$work/munge/sock" \
  --pid-file="$work/munge/munged.pid" --log-file="$work/munge/log" --seed-file="$work/munge/seed"
pids="$pids $(cat "$work/munge/munged.pid")"

# A one-node cluster.
node=$(hostname -s)
mkdir -p "$work/state" "$work/spool"
cat >"$work/slurm.conf" <<EOF
ClusterName=magsynctest
SlurmctldHost=$node(127.0.0.1)
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket=$work/munge/sock
CredType=cred/munge
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SchedulerType=sched/builtin
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SlurmctldPort=$(free_port)
SlurmdPort=$(free_port)
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmctldLogFile=$work/slurmctld.log
SlurmdLogFile=$work/slurmd.log
ReturnToService=2
MpiDefault=none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
NodeName=$node NodeAddr=127.0.0.1 CPUs=2 State=UNKNOWN
PartitionName=test Nodes=$node Default=YES MaxTime=INFINITE State=UP
EOF
export SLURM_CONF="$work/slurm.conf"
slurmctld
slurmd
await 'sinfo -h -o %t | grep -qx idle'

# The README's job script, as written but for where the data lies.
sed -n '/^#!\/bin\/sh$/,/^```$/p' "$src/README.md" | sed '$d' | sed "s|/data|$work/data|g" >"$work/job.sh"
grep -q 'magsync --batch' "$work/job.sh" || { echo "the README has no job script"; exit 1; }
export PATH="$bin:$PATH"
n=0
for array in 0-3 1-4 1-7:2; do
  n=$((n + 1))
  cp -r "$work/data/events" "$work/data/copy-$n"
  job=$(sbatch --parsable --wait --array="$array" -o /dev/null -e "$work/err-$n" "$work/job.sh" 2>/dev/null) ||
    { cat "$work"/err-* 2>/dev/null; echo "array $array: a task failed, though only events did"; exit 1; }
  job=${job%%;*}
  reports=$(ls "$work/data/report-$job"-*.tsv | wc -l)
  [ "$reports" = 4 ] || { echo "array $array: $reports reports, not 4"; exit 1; }
  (cd "$work/data" && eval "$(form "awk 'FNR > 1 || NR == 1' report-" | sed "s|report-\*|report-$job-*|")")
  rows=$(tail -n +2 "$work/data/report.tsv" | cut -f 1 | sort | uniq | wc -l)
  all=$(tail -n +2 "$work/data/report.tsv" | wc -l)
  [ "$rows" = 40 ] && [ "$all" = 40 ] || { echo "array $array: $all rows for $rows directories, not 40 once each"; exit 1; }
  # A missing slice is seen by the README's check.
  rm "$work/data/report-$job-2.tsv"
  [ "$(ls "$work/data/report-$job"-*.tsv | wc -l)" != 4 ] || { echo "a missing slice went unseen"; exit 1; }
  rm -rf "$work/data/events" && mv "$work/data/copy-$n" "$work/data/events"
done
echo "Slurm: arrays 0-3, 1-4 and 1-7:2 each reported the 40 directories once"

# GNU parallel over two ssh logins to localhost, to an sshd of the test's own
# whose non-interactive logins find magsync on their PATH.
command -v parallel >/dev/null || { echo "GNU parallel is not installed"; exit 1; }
port=$(free_port)
ssh-keygen -q -t ed25519 -N '' -f "$work/host_key"
ssh-keygen -q -t ed25519 -N '' -f "$work/user_key"
mkdir -p /run/sshd
cat >"$work/sshd_config" <<EOF
Port $port
ListenAddress 127.0.0.1
HostKey $work/host_key
AuthorizedKeysFile $work/user_key.pub
PermitRootLogin prohibit-password
PasswordAuthentication no
StrictModes no
PidFile $work/sshd.pid
SetEnv PATH=$bin:/usr/bin:/bin
EOF
chmod 600 "$work/user_key"
/usr/sbin/sshd -f "$work/sshd_config" -E "$work/sshd.log"
await "[ -s '$work/sshd.pid' ]"
export PARALLEL_SSH="ssh -p $port -i $work/user_key -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR"
cd "$work/data"
eval "$(form "parallel -S host1,host2" | sed 's|host1,host2|root@localhost,root@127.0.0.1|')" || true
awk 'FNR > 1 || NR == 1' report-?.tsv >report.tsv
rows=$(tail -n +2 report.tsv | cut -f 1 | sort -u | wc -l)
[ "$rows" = 40 ] && [ "$(tail -n +2 report.tsv | wc -l)" = 40 ] || { cat "$work/sshd.log"; echo "parallel -S: $rows directories, not 40 once each"; exit 1; }
echo "GNU parallel over two ssh logins: the 40 directories once each"
