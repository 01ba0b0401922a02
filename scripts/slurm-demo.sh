#!/usr/bin/env bash
# The README's batch recipes, run for real on one machine: a private single-node Slurm cluster
# (munge, slurmctld, slurmd on loopback, all in a scratch folder) converts a generated survey of
# point clouds as a job array of sharded qz-pointcloud tasks; then one task is cancelled while it
# runs and the array resubmitted; then GNU parallel does the same. Every input must be written
# exactly once (watched with inotify), load, and hold Height; no temporary file may remain. One
# damaged bundle file planted in the survey (one that crashes the HDF5 library) must be named by
# every run, whose status is then 1, and must not keep any other input from being converted.
# Usage: scripts/slurm-demo.sh [build folder]   (default build/; needs root, installs its packages)
# Environment: QZ_DEMO_TASKS (array size, default 4), QZ_DEMO_CLOUDS (default 400).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
tasks=${QZ_DEMO_TASKS:-4}
clouds=${QZ_DEMO_CLOUDS:-400}
wait_limit=90 # seconds for any one thing to happen before the run fails

say() { echo "slurm-demo: $*"; }
fail() {
    echo "slurm-demo: FAILED: $*" >&2
    exit 1
}

[ "$(id -u)" -eq 0 ] ||
    fail "needs root: munged, slurmctld and slurmd run as root here, and slurmd starts jobs as" \
        "their owner (run it as root or through sudo)"
bin=$(cd "$build" 2>/dev/null && pwd)/converters
for program in qz-pointcloud qz-inspect; do
    [ -x "$bin/$program" ] || fail "no $program in $build/converters: build it first" \
        "(cmake --build $build --target qz-pointcloud qz-inspect)"
done
"$root/scripts/setup.sh" slurm-wlm munge parallel inotify-tools python3 ||
    fail "cannot install slurm-wlm, munge, parallel and inotify-tools from Debian"

scratch=$(mktemp -d /tmp/qz-slurm-demo.XXXXXX)
chmod 700 "$scratch"
mkdir -p "$scratch"/{munge,state,spool,log,jobs}
export SLURM_CONF=$scratch/slurm.conf

# ---------------------------------------------------------------------------------------------
# Processes this run started, stopped in reverse order when it ends, however it ends.

started=()   # "name pid"
watcher=""   # the inotifywait of the survey at hand
slurm_up=0   # whether the queue can be asked

remember() { started+=("$1 $2"); }

stop_process() {
    local name=$1 pid=$2 waited=0
    kill -TERM "$pid" 2>/dev/null || return 0
    while kill -0 "$pid" 2>/dev/null && [ $waited -lt 100 ]; do
        sleep 0.1
        waited=$((waited + 1))
    done
    if kill -0 "$pid" 2>/dev/null; then
        say "$name (pid $pid) did not stop within 10 s; killing it"
        kill -KILL "$pid" 2>/dev/null || true
    fi
    wait "$pid" 2>/dev/null || true
}

show_logs() {
    local log
    for log in "$scratch"/log/*.log; do
        [ -s "$log" ] || continue
        echo "---- last lines of $log"
        tail -n 40 "$log"
    done
}

cleanup() {
    local status=$? index
    set +e
    trap - EXIT INT TERM
    [ -z "$watcher" ] || stop_process inotifywait "$watcher"
    # shellcheck disable=SC2119 # the whole queue
    if [ $slurm_up -eq 1 ] && ! queue_empty; then
        scancel --quiet --user=root
        wait_until "the queue to empty after scancel" 20 queue_empty
    fi
    for ((index = ${#started[@]} - 1; index >= 0; index--)); do
        # shellcheck disable=SC2086 # "name pid"
        stop_process ${started[index]}
    done
    if [ $status -ne 0 ]; then
        show_logs
        say "kept $scratch for a look"
    else
        rm -rf "$scratch"
    fi
    exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Polls the command every 0.1 s until it succeeds; fails the run after the given seconds.
wait_until() {
    local what=$1 limit=$2 deadline
    shift 2
    deadline=$((SECONDS + limit))
    until "$@"; do
        [ $SECONDS -lt $deadline ] || {
            echo "slurm-demo: gave up waiting for $what after $limit s" >&2
            return 1
        }
        sleep 0.1
    done
}

# ---------------------------------------------------------------------------------------------
# The private cluster.

# True once the check passes; ends the run at once when the daemon has exited instead.
daemon_ready() {
    local name=$1 pid=$2
    shift 2
    kill -0 "$pid" 2>/dev/null || fail "$name exited as it started (its log follows)"
    "$@"
}

# The daemons bind to the address the machine's own name resolves to (NoCtldInAddrAny,
# NoInAddrAny): 127.0.1.1 on a stock Debian machine, 127.0.0.1 on others. Clients must go there too.
cluster_address() {
    local address
    address=$(getent ahostsv4 "$(hostname)" | awk 'NR == 1 { print $1 }')
    echo "${address:-127.0.0.1}"
}

# Two ports free at the moment on the address, for slurmctld and slurmd.
free_ports() {
    python3 -c 'import socket, sys
sockets = [socket.socket() for _ in range(2)]
for s in sockets: s.bind((sys.argv[1], 0))
print(*(s.getsockname()[1] for s in sockets))' "$1"
}

start_munge() {
    local socket=$scratch/munge/munge.socket
    head -c 1024 /dev/urandom >"$scratch/munge/munge.key"
    chmod 400 "$scratch/munge/munge.key"
    munged --foreground --force --socket="$socket" --key-file="$scratch/munge/munge.key" \
        --pid-file="$scratch/munge/munged.pid" --seed-file="$scratch/munge/munged.seed" \
        --log-file="$scratch/log/munged.log" >>"$scratch/log/munged.log" 2>&1 &
    remember munged $!
    wait_until "munged to answer" 20 daemon_ready munged $! munge_works "$socket" ||
        fail "munged did not answer (its log follows)"
}

munge_works() {
    munge --socket="$1" --no-input 2>/dev/null | unmunge --socket="$1" >/dev/null 2>&1
}

write_slurm_conf() {
    local address ports
    address=$(cluster_address)
    read -r -a ports < <(free_ports "$address")
    cat >"$SLURM_CONF" <<EOF
ClusterName=qzdemo
SlurmctldHost=localhost($address)
SlurmctldPort=${ports[0]}
SlurmdPort=${ports[1]}
CommunicationParameters=NoCtldInAddrAny,NoInAddrAny
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$scratch/munge/munge.socket
StateSaveLocation=$scratch/state
SlurmdSpoolDir=$scratch/spool
SlurmctldPidFile=$scratch/slurmctld.pid
SlurmdPidFile=$scratch/slurmd.pid
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SchedulerType=sched/builtin
SchedulerParameters=batch_sched_delay=0
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
MpiDefault=none
MailProg=/bin/true
SwitchType=switch/none
ReturnToService=2
KillWait=5
MinJobAge=600
NodeName=localhost NodeAddr=$address CPUs=$(nproc) State=UNKNOWN
PartitionName=demo Nodes=localhost Default=YES MaxTime=10 State=UP
EOF
}

controller_up() { scontrol ping 2>/dev/null | grep -q 'is UP'; }
node_idle() { [ "$(sinfo --noheader --nodes=localhost --format=%T 2>/dev/null)" = idle ]; }

start_slurm() {
    write_slurm_conf
    slurmctld -D -i -f "$SLURM_CONF" >>"$scratch/log/slurmctld.log" 2>&1 &
    remember slurmctld $!
    wait_until "slurmctld to answer" 30 daemon_ready slurmctld $! controller_up ||
        fail "slurmctld did not answer (its log follows)"
    slurmd -D -N localhost -f "$SLURM_CONF" >>"$scratch/log/slurmd.log" 2>&1 &
    remember slurmd $!
    wait_until "the node to become idle" 30 daemon_ready slurmd $! node_idle ||
        fail "slurmd did not register its node (state: $(sinfo --noheader --format='%T %E' 2>&1))"
    slurm_up=1
    say "Slurm $(sinfo --version | cut -d' ' -f2) is up: one node with $(nproc) CPUs," \
        "configuration in $SLURM_CONF"
}

# False also when the controller does not answer, so that a wait times out instead of passing.
# shellcheck disable=SC2120 # a wait passes --jobs
queue_empty() {
    local queue
    queue=$(squeue --noheader --format=%i "$@" 2>/dev/null) && [ -z "$queue" ]
}

# ---------------------------------------------------------------------------------------------
# Surveys and what became of them.

# A fresh copy of the generated survey for one way of running; prints its folder.
fresh_survey() {
    local copy=$scratch/$1
    mkdir -p "$copy"
    cp -a "$scratch/pristine" "$copy/survey"
    echo "$copy/survey"
}

inputs_of() { printf '%s\n' "$1"/*/*.csv "$1"/*/*.xyz | LC_ALL=C sort; }
# The output of each input given on standard input, in the same order.
outputs_for() { sed -E 's/\.[a-z]+$/.qz/'; }

# Records every file moved into place under the survey (a save ends with that rename).
start_watch() {
    local survey=$1 events=$2
    stdbuf -oL inotifywait --monitor --recursive --event moved_to --format '%w%f' "$survey" \
        >"$events" 2>"$events.err" &
    watcher=$!
    wait_until "inotify to watch $survey" 20 grep -q 'Watches established' "$events.err" ||
        fail "inotifywait did not start: $(cat "$events.err")"
}

# Returns once the watch has recorded everything moved so far: a marker moved after it shows up.
catch_up_watch() {
    local survey=$1 events=$2 marker=$1/.watch-marker
    touch "$marker.new"
    mv "$marker.new" "$marker"
    wait_until "inotify to catch up" 20 grep -qxF "$marker" "$events" ||
        fail "inotifywait lost events"
    rm "$marker"
}

# What the watch recorded, less its markers.
moves_recorded() { grep -vxF "$1/.watch-marker" "$2" || true; }

stop_watch() {
    catch_up_watch "$@"
    stop_process inotifywait "$watcher"
    watcher=""
}

# "output points" for every input: one value of Height per data line (after the header line).
expected_heights() {
    awk 'FNR > 1 { points[FILENAME]++ }
         END { for (file in points) print file, points[file] }' "$@" |
        sed -E 's/\.[a-z]+ ([0-9]+)$/.qz \1/'
}

# "output values" for every Height dataset that HDF5 finds in the outputs.
stored_heights() {
    printf '%s\0' "$@" | xargs -0 h5ls -r 2>/dev/null |
        sed -nE 's#^(.*\.qz)//[0-9]+/[^/]+/Height Dataset \{([0-9]+)\}$#\1 \2#p'
}

# Outputs whose Height HDF5 cannot read or that do not hold one per point of their input; every
# 25th output also loads through our own reader (qz-inspect), which takes a process per file.
unloadable() {
    local -n sources=$1 made=$2
    local index
    comm -23 <(expected_heights "${sources[@]}" | sort) <(stored_heights "${made[@]}" | sort) |
        cut -d' ' -f1
    for ((index = 0; index < ${#made[@]}; index += 25)); do
        "$bin/qz-inspect" --json "${made[index]}" 2>/dev/null | grep -q '"name":"Height"' ||
            echo "${made[index]}"
    done
}

# Checks every input of the survey against the moves the watch recorded: one output each, written
# exactly once, holding a Height per point; no stray output and no hidden file left. Prints the
# problems, lowers $least_converted to the inputs without one, and sets $failed on any problem.
check_survey() {
    local label=$1 survey=$2 events=$3 index input output converted=0
    local -A writes=() bad=()
    local -a inputs outputs problems=()
    mapfile -t inputs < <(inputs_of "$survey")
    mapfile -t outputs < <(printf '%s\n' "${inputs[@]}" | outputs_for)
    while read -r output; do
        writes[$output]=$((${writes[$output]:-0} + 1))
    done < <(moves_recorded "$survey" "$events")
    for index in "${!inputs[@]}"; do
        input=${inputs[index]} output=${outputs[index]}
        if [ ! -f "$output" ]; then
            problems+=("$input: no output $output")
            bad[$output]=1
        elif [ "${writes[$output]:-0}" -ne 1 ]; then
            problems+=("$input: $output written ${writes[$output]:-0} times")
            bad[$output]=1
        fi
        unset "writes[$output]"
    done
    while read -r output; do
        [ -z "${bad[$output]:-}" ] || continue
        problems+=("$output does not load or holds no Height for each point")
        bad[$output]=1
    done < <(unloadable inputs outputs)
    for output in "${!writes[@]}"; do problems+=("$output written, but no input's output"); done
    while read -r output; do
        problems+=("$output left behind (a hidden file: a save's temporary file?)")
    done < <(find "$survey" -name '.*' ! -path "$survey")
    for output in "${outputs[@]}"; do
        [ -n "${bad[$output]:-}" ] || converted=$((converted + 1))
    done
    least_converted=$((converted < least_converted ? converted : least_converted))
    say "$label: $converted of ${#inputs[@]} inputs converted exactly once," \
        "each output holds a Height per point"
    [ ${#problems[@]} -eq 0 ] && return 0
    printf '  %s\n' "${problems[@]:0:20}" >&2
    [ ${#problems[@]} -le 20 ] || echo "  ... and $((${#problems[@]} - 20)) more" >&2
    failed=1
}

# ---------------------------------------------------------------------------------------------
# Ways of running the README's recipe.

elapsed_since() {
    awk -v start="$1" -v now="$EPOCHREALTIME" 'BEGIN { printf "%.1f", now - start }'
}

write_task_script() {
    cat >"$scratch/task.sh" <<TASK
#!/bin/bash
# One task of the array: the README's recipe, over the folders given to sbatch.
exec "$bin/qz-pointcloud" "\$@" --shard \$((SLURM_ARRAY_TASK_ID + 1))/\$SLURM_ARRAY_TASK_COUNT
TASK
    chmod +x "$scratch/task.sh"
}

submit_array() {
    sbatch --parsable --array=0-$((tasks - 1)) --job-name=qz-survey --time=5 \
        --output="$scratch/jobs/%A_%a.out" "$scratch/task.sh" "$1"/*/ ||
        fail "sbatch refused the array"
}

await_array() {
    wait_until "array job $1 to end" $wait_limit queue_empty --jobs="$1" ||
        fail "array job $1 did not end: $(squeue --jobs="$1" 2>&1)"
}

# "task state exit-code" for every task of the array job, in task order.
array_outcome() {
    scontrol --oneliner show job "$1" |
        sed -E 's/.*ArrayTaskId=([0-9]+) .*JobState=([A-Z_]+) .*ExitCode=([0-9:]+) .*/\1 \2 \3/' |
        sort -n
}

# Every task completed with status 0, except the one named as cancelled, which must be, and the
# one whose shard holds the damaged file, which must name it and end with status 1.
require_tasks_done() {
    local job=$1 cancelled=${2:-} task state code expected seen=0 named=0
    while read -r task state code; do
        seen=$((seen + 1))
        expected="COMPLETED 0:0"
        [ "$task" != "$cancelled" ] || expected="CANCELLED"
        if [ "$task" != "$cancelled" ] && names_damaged "$scratch/jobs/${job}_$task.out"; then
            named=$((named + 1))
            expected="FAILED 1:0"
        fi
        [ "$state $code" = "$expected" ] || [ "$state" = "$expected" ] && continue
        echo "slurm-demo: task $task of array job $job: $state, exit code $code; its output:" >&2
        tail -n 20 "$scratch/jobs/${job}_$task.out" >&2
        failed=1
    done < <(array_outcome "$job")
    [ $seen -eq "$tasks" ] || fail "array job $job shows $seen tasks instead of $tasks"
    [ $named -eq 1 ] || damaged_unnamed "array job $job" "$scratch/jobs/${job}_*.out"
}

# Whether a run's output names the planted file as damaged.
names_damaged() { grep -qF "$damaged: damaged: the HDF5 library crashed reading it (" "$@"; }

damaged_unnamed() {
    echo "slurm-demo: $1 did not name $damaged as damaged exactly once (output in $2)" >&2
    failed=1
}

# Converts a fresh survey on this machine alone: runs the command, with the survey's folders in
# place of the word @folders, within the time limit; sets the variable named by the third argument
# to the time it took, and checks the survey.
run_locally() {
    local name=$1 label=$2 time_variable=$3 survey events=$scratch/$1.events start word status=0
    local -a command=()
    shift 3
    survey=$(fresh_survey "$name")
    for word in "$@"; do
        if [ "$word" = @folders ]; then command+=("$survey"/*/); else command+=("$word"); fi
    done
    start_watch "$survey" "$events"
    start=$EPOCHREALTIME
    timeout $wait_limit "${command[@]}" >"$scratch/$name.log" 2>&1 || status=$?
    # the damaged file makes the status 1, and nothing else may
    [ $status -eq 1 ] || fail "$label ended with status $status instead of 1; the end of its" \
        "output ($scratch/$name.log):" "$(tail -n 20 "$scratch/$name.log")"
    names_damaged "$scratch/$name.log" || damaged_unnamed "$label" "$scratch/$name.log"
    printf -v "$time_variable" '%s' "$(elapsed_since "$start")"
    stop_watch "$survey" "$events"
    check_survey "$label" "$survey" "$events"
}

run_array() {
    local survey events=$scratch/array.events start job
    survey=$(fresh_survey array)
    start_watch "$survey" "$events"
    start=$EPOCHREALTIME
    job=$(submit_array "$survey")
    await_array "$job"
    array_time=$(elapsed_since "$start")
    stop_watch "$survey" "$events"
    require_tasks_done "$job"
    check_survey "Slurm array of $tasks tasks" "$survey" "$events"
}

# True once array task 0 has put one output of its shard (the first slice of the sorted inputs, as
# the README defines --shard) in place: then it runs, and the cancel should follow at once.
first_task_under_way() {
    local output
    for output in "${first_outputs[@]}"; do [ ! -f "$output" ] || return 0; done
    return 1
}

# "name inode size mtime" of every output in place, which a rewrite would change.
outputs_present() { find "$1" -name '*.qz' -printf '%p %i %s %T@\n' | sort; }

run_cancelled_array() {
    local survey events=$scratch/cancel.events job rerun_job seen output before
    local -a left=() first_outputs
    survey=$(fresh_survey cancel)
    mapfile -t first_outputs < <(inputs_of "$survey" | outputs_for)
    first_outputs=("${first_outputs[@]:0:$((${#first_outputs[@]} / tasks))}")
    start_watch "$survey" "$events"
    job=$(submit_array "$survey")
    wait_until "task 0 of array job $job to write its first output" $wait_limit \
        first_task_under_way || fail "task 0 of array job $job never got under way"
    scancel "${job}_0"
    await_array "$job"
    require_tasks_done "$job" 0
    for output in "${first_outputs[@]}"; do [ -f "$output" ] || left+=("$output"); done
    say "cancelled task 0 while it ran: $((${#first_outputs[@]} - ${#left[@]})) of its" \
        "${#first_outputs[@]} inputs done"
    [ ${#left[@]} -gt 0 ] || fail "task 0 finished its whole shard before the cancel took" \
        "effect: nothing left to test the resubmission on"
    catch_up_watch "$survey" "$events"
    seen=$(moves_recorded "$survey" "$events" | wc -l)
    outputs_present "$survey" >"$scratch/cancel.before"
    rerun_job=$(submit_array "$survey")
    await_array "$rerun_job"
    stop_watch "$survey" "$events"
    require_tasks_done "$rerun_job"
    before=$scratch/cancel.before
    if ! outputs_present "$survey" | grep -xFf "$before" | cmp -s - "$before"; then
        echo "slurm-demo: the resubmitted array rewrote outputs that the first one had finished" >&2
        failed=1
    elif ! diff <(moves_recorded "$survey" "$events" | tail -n +$((seen + 1)) | sort) \
        <(printf '%s\n' "${left[@]}" | sort) >"$scratch/cancel.diff"; then
        echo "slurm-demo: the resubmitted array wrote other outputs than the cancelled task" \
            "left (< written, > left):" >&2
        head -n 20 "$scratch/cancel.diff" >&2
        failed=1
    else
        say "resubmitted array: wrote the ${#left[@]} outputs the cancelled task left," \
            "rewrote none of the other $(wc -l <"$before")"
    fi
    check_survey "Slurm array, task 0 cancelled, array resubmitted" "$survey" "$events"
}

# ---------------------------------------------------------------------------------------------

failed=0
least_converted=$clouds
one_process_time="" array_time="" parallel_time=""
start_munge
start_slurm
write_task_script
python3 "$root/scripts/make_survey.py" "$scratch/pristine" "$clouds"
# last in the sorted inputs, so in the last shard, which the cancelled task 0 never holds
damaged=$(find "$scratch/pristine" -mindepth 1 -type d | LC_ALL=C sort | tail -n 1)/zz-damaged.qz
cp "$root/fuzz/corpus/bundle/damaged-links-more.qz" "$damaged"
damaged=${damaged#"$scratch/pristine/"} # as the runs name it below their own copy
say "survey: $clouds point clouds in $(find "$scratch/pristine" -mindepth 1 -type d | wc -l)" \
    "folders, $(du -sh --apparent-size "$scratch/pristine" | cut -f1)B"
run_locally one-process "one process" one_process_time "$bin/qz-pointcloud" @folders
run_array
run_cancelled_array
# shellcheck disable=SC2046 # the shard numbers
run_locally parallel "GNU parallel, $tasks shards" parallel_time \
    parallel --will-cite "$bin/qz-pointcloud" @folders --shard {}/"$tasks" ::: $(seq "$tasks")
say "time for the survey on $(nproc) CPUs: one process $one_process_time s;" \
    "Slurm array of $tasks tasks $array_time s (submission to the last task's end);" \
    "GNU parallel $parallel_time s"
echo "$least_converted of $clouds inputs converted"
[ $failed -eq 0 ] && [ "$least_converted" -eq "$clouds" ]
