# Settings shared by the job scripts. Edit them for your data and cluster, or
# set them in the environment before submit.sh (every one can be overridden).
PELK=${PELK:-pelk}                          # the pelk program (full path when not on PATH)
BASE=${BASE:-/data/recordings}              # folder holding the camera sub-folders
SUB_DIRS=${SUB_DIRS:-cam61}                 # camera sub-folders to process, space-separated
WORK=${WORK:-/scratch/$USER/pelk}           # every output goes under here
PEN=${PEN:-pen_polygons/Cam61.json}         # the pen-polygon file of the camera
TIME_STEP=${TIME_STEP:-0.1}                 # minutes per clip
EXTRACT_ARGS=${EXTRACT_ARGS:-}              # more `pelk extract` options, e.g. "--every 1 --from 07:00:00"
TRACK_ARGS=${TRACK_ARGS:-}                  # more `pelk track` options, e.g. model files and "--device cuda"
RESOLVE=${RESOLVE:-1}                       # 1: the report and review name the box carrying an identity error
CHAIN_ARGS=${CHAIN_ARGS:-}                  # more `pelk chain` options, e.g. "--fps 25 --animals 10" (the rate tells continuous clips from gaps)
BEHAVIOUR_ARGS=${BEHAVIOUR_ARGS:-}          # more `pelk behaviour` options, e.g. "--fps 25 --zones zones.json --bin 10m"
