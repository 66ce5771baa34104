#!/bin/bash
# Runs the job scripts of examples/slurm under a real Slurm: starts a
# single-node cluster of its own (munged, slurmctld and slurmd on this
# machine, every file in a temporary folder, its own ports and munge
# socket), submits the whole road over three synthetic recordings with
# several array forms, waits, and checks that every output equals a
# single-process run of the same scripts. Stops its daemons on any exit.
# Exits 77 (skipped) only when the cluster cannot start.
#
#   tests/slurm/slurm_cluster_test.sh PELK_BINARY
set -euo pipefail
pelk=$1
here=$(cd "$(dirname "$0")" && pwd)
scripts=$(cd "$here/../../examples/slurm" && pwd)
skip() { echo "SKIPPED: $*"; exit 77; }

for program in munged slurmctld slurmd sbatch squeue; do
  command -v "$program" > /dev/null || [ -x "/usr/sbin/$program" ] || skip "$program is not installed (scripts/setup installs slurm-wlm and munge)"
done
[ "$(id -u)" -eq 0 ] || skip "a private slurmd must run as root"

tmp=$(mktemp -d /tmp/pelk_slurm_test.XXXXXX)
cluster=$tmp/cluster
mkdir -p "$cluster/munge" "$cluster/spool/ctld" "$cluster/spool/d" "$cluster/log"
stop_cluster() {
  for pid_file in "$cluster/slurmd.pid" "$cluster/slurmctld.pid" "$cluster/munge/munged.pid"; do
    [ -f "$pid_file" ] && kill "$(cat "$pid_file")" 2> /dev/null || true
  done
  sleep 1
  rm -rf "$tmp"
}
trap stop_cluster EXIT

# munge with a key and socket of its own: the machine's munge is not used.
dd if=/dev/urandom bs=1 count=1024 of="$cluster/munge/munge.key" 2> /dev/null
chmod 700 "$cluster/munge" && chmod 400 "$cluster/munge/munge.key"
/usr/sbin/munged --force --key-file="$cluster/munge/munge.key" --socket="$cluster/munge/munge.socket" \
  --pid-file="$cluster/munge/munged.pid" --log-file="$cluster/munge/munged.log" \
  --seed-file="$cluster/munge/munged.seed" || skip "munged does not start"

# Ports chosen per run so that a cluster left by another run cannot answer.
port=$((20000 + RANDOM % 20000))
host=$(hostname -s)
export SLURM_CONF=$cluster/slurm.conf
cat > "$SLURM_CONF" << CONF
ClusterName=pelktest
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$port
SlurmdPort=$((port + 1))
SlurmUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$cluster/munge/munge.socket
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
ReturnToService=2
SlurmctldPidFile=$cluster/slurmctld.pid
SlurmdPidFile=$cluster/slurmd.pid
SlurmdSpoolDir=$cluster/spool/d
StateSaveLocation=$cluster/spool/ctld
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
SlurmctldLogFile=$cluster/log/slurmctld.log
SlurmdLogFile=$cluster/log/slurmd.log
JobCompType=jobcomp/none
MpiDefault=none
NodeName=$host NodeAddr=127.0.0.1 CPUs=$(nproc) RealMemory=4000 State=UNKNOWN
PartitionName=main Nodes=$host Default=YES MaxTime=INFINITE State=UP
CONF
/usr/sbin/slurmctld -f "$SLURM_CONF" || skip "slurmctld does not start: $(tail -n 3 "$cluster/log/slurmctld.log" 2>/dev/null)"
/usr/sbin/slurmd -f "$SLURM_CONF" -N "$host" || skip "slurmd does not start: $(tail -n 3 "$cluster/log/slurmd.log" 2>/dev/null)"
for _ in $(seq 1 30); do
  sinfo -h -o %T 2> /dev/null | grep -q idle && break
  sleep 1
done
sinfo -h -o %T | grep -q idle || skip "the node does not come up: $(sinfo 2>&1 | tail -n 2)"
echo "cluster up on port $port"

# Three recordings of the synthetic scene (80 frames each), cut into clips
# of 30 frames: nine clips over three recordings.
"$pelk" demo --frames 40 --out "$tmp/demo" > /dev/null
mkdir -p "$tmp/videos/cam62"
for start in 070000 071000 072000; do
  cp "$tmp/demo/videos/cam62/Camera62_1_20240405070000.mp4" "$tmp/videos/cam62/Camera62_1_20240405$start.mp4"
done
export PELK=$pelk BASE=$tmp/videos SUB_DIRS=cam62 WORK=$tmp/run PEN=$tmp/demo/pen_polygons/Cam62.json \
  TIME_STEP=0.02 EXTRACT_ARGS="--every 1" RESOLVE=1

bash "$scripts/run_local.sh" > "$tmp/local.log" 2>&1 || { cat "$tmp/local.log"; exit 1; }
mv "$tmp/run" "$tmp/reference"

# Every array form the scripts must map onto shards: from 0, from 1, with a
# step, a single task, and more tasks than items.
run_on_cluster() {
  local name=$1 extract=$2 clips=$3 match=$4
  rm -rf "$WORK"
  local ids
  ids=$(EXTRACT_ARRAY=$extract CLIP_ARRAY=$clips MATCH_ARRAY=$match BEHAVIOUR_ARRAY=$clips EXTRA_SBATCH="--cpus-per-task=1 --mem=900M" \
        bash "$scripts/submit.sh")
  echo "$name: jobs $ids (extract --array=$extract, track, report and behaviour --array=$clips, match --array=$match)"
  for _ in $(seq 1 600); do
    [ -z "$(squeue -h -o %i 2> /dev/null)" ] && break
    # A node that Slurm takes out of service cannot launch jobs on this
    # machine (no cgroups, no privileges to start tasks): the cluster did
    # not really start.
    if sinfo -h -o %T 2> /dev/null | grep -q -E "drain|down|fail"; then
      skip "the node went out of service: $(sinfo -R -h 2>&1 | head -n 1)"
    fi
    sleep 1
  done
  if [ -n "$(squeue -h -o %i)" ]; then
    squeue
    echo "FAILED: $name: jobs still queued after 600 s"
    exit 1
  fi
  mv "$WORK/logs" "$tmp/logs_$name"
  if ! diff -r -q "$tmp/reference" "$WORK"; then
    echo "FAILED: $name: the cluster's outputs differ from the single-process run"
    tail -n 20 "$tmp/logs_$name"/*
    exit 1
  fi
  if grep -l -E "pelk: error|^failed:" "$tmp/logs_$name"/* > /dev/null 2>&1; then
    grep -H -E "pelk: error|^failed:" "$tmp/logs_$name"/*
    echo "FAILED: $name: a task reported an error"
    exit 1
  fi
  echo "$name: outputs identical to the single-process run"
}
run_on_cluster stepped "1-5:2" "0-6:3" "7"
run_on_cluster wide "0-4" "1-13:4" "2-3"
echo "PASSED"
