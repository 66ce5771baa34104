#!/bin/bash
# Runs the seven steps one after another in this shell, without Slurm: the
# same scripts, each as a single task that owns everything. Useful on a
# workstation, and as the reference a cluster run must equal.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
export PELK_SLURM_DIR=$here
unset SLURM_ARRAY_TASK_ID SLURM_ARRAY_TASK_COUNT SLURM_ARRAY_TASK_MIN SLURM_ARRAY_TASK_MAX SLURM_ARRAY_TASK_STEP
for step in 01_extract 02_track 03_report 04_match 05_chain 06_behaviour 07_behaviour_merge; do
  bash "$here/$step.sbatch"
done
