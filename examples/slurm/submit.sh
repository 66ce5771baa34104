#!/bin/bash
# Submits the whole road as job arrays chained by dependencies:
#   extract --afterok--> track --aftercorr--> report
#                              --afterok----> match --afterok--> chain --afterok--> behaviour --afterok--> behaviour merge (one task)
# Array sizes (any form Slurm accepts as a range: 0-7, 1-13:4, ...):
#   EXTRACT_ARRAY (recordings), CLIP_ARRAY (clips; track and report share
#   it), MATCH_ARRAY (recordings), CHAIN_ARRAY (cameras), BEHAVIOUR_ARRAY
#   (blocks of clips).
#   EXTRA_SBATCH adds options to every sbatch.
# Logs: $WORK/logs/<step>_<job>_<task>.out. Prints the seven job ids.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/config.sh"
mkdir -p "$WORK/logs"
read -ra extra <<< "${EXTRA_SBATCH:-}"
common=(--parsable "--export=ALL,PELK_SLURM_DIR=$here" "--output=$WORK/logs/%x_%A_%a.out" "${extra[@]}")
extract=$(sbatch "${common[@]}" --array="${EXTRACT_ARRAY:-0-3}" "$here/01_extract.sbatch")
track=$(sbatch "${common[@]}" --array="${CLIP_ARRAY:-0-7}" --dependency="afterok:$extract" "$here/02_track.sbatch")
report=$(sbatch "${common[@]}" --array="${CLIP_ARRAY:-0-7}" --dependency="aftercorr:$track" "$here/03_report.sbatch")
match=$(sbatch "${common[@]}" --array="${MATCH_ARRAY:-0-3}" --dependency="afterok:$track" "$here/04_match.sbatch")
chain=$(sbatch "${common[@]}" --array="${CHAIN_ARRAY:-0-1}" --dependency="afterok:$match" "$here/05_chain.sbatch")
behaviour=$(sbatch "${common[@]}" --array="${BEHAVIOUR_ARRAY:-0-3}" --dependency="afterok:$chain" \
  "$here/06_behaviour.sbatch")
merge=$(sbatch "${common[@]}" --dependency="afterok:$behaviour" "$here/07_behaviour_merge.sbatch")
echo "$extract $track $report $match $chain $behaviour $merge"
