#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# lumora-render past one machine, through the engines that spread work over machines, each
# started privately on 127.0.0.1 with its own configuration, keys, ports and folders:
#   parallel  GNU parallel over ssh (a private sshd): a catalogue of five files, one of them
#             damaged, rendered and rendered again; one long mix in four segments and its join
#   slurm     a single-node Slurm (munged, slurmctld, slurmd): the mix as a job array of four
#             segments and a join that depends on them, through the batch scripts lumora ships
# Joined losslessly, the mix is the single render's frames (framemd5); joined lossy, its lowest
# frame PSNR against the single render is said. A daemon that cannot start here is said in one
# line, and the part is skipped.
# Usage: PART=parallel|slurm machines.sh LUMORA-RENDER
. "$(dirname "$0")/../../scripts/harness.sh"
RENDER=$(realpath "$LUMORA")
DATA=$(realpath "$(dirname "$0")/../../data")
PART=${PART:?PART=parallel or PART=slurm}
h_need sox sox
h_need ffmpeg ffmpeg
cd "$H_DIR"
port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
md5s() { ffmpeg -v error -i "$1" -map 0:v -f framemd5 - | grep -v '^#' | awk -F, '{ print $NF }'; }

# The mix: music, a loud stretch of pink noise, a silence, music again; at 30 frames a second,
# four segments start in music, in the noise and in the silence.
bash "$(dirname "$0")/music.sh" music.wav 8
sox -q -V1 -n -r 44100 -c 1 -b 16 noise.wav synth 3 pinknoise norm -1
sox -q -V1 -n -r 44100 -c 1 -b 16 hush.wav trim 0 2
sox -q -V1 music.wav noise.wav hush.wav music.wav mix.flac trim 0 20
"$RENDER" mix.flac single.mkv --lossless --size 320x180 2>/dev/null || h_fail "the single lossless render failed"
"$RENDER" mix.flac single.mp4 --size 320x180 2>/dev/null || h_fail "the single render failed"
md5s single.mkv >single.md5
[ "$(wc -l <single.md5)" = 600 ] || h_fail "the single render has $(wc -l <single.md5) frames, not 600"

# joined NAME: the joined video NAME.mkv is the single render's frames; NAME.mp4 has no seam
joined() {
    md5s "$1.mkv" | cmp -s - single.md5 || h_fail "$1.mkv: its frames are not the single render's"
    ffmpeg -v error -i "$1.mp4" -i single.mp4 -lavfi "[0:v][1:v]psnr=stats_file=$1.psnr" -f null - ||
        h_fail "$1.mp4 does not decode"
    lowest=$(awk '{ for (i = 1; i <= NF; i++) if ($i ~ /^psnr_avg:/) { split($i, v, ":")
                        if (v[2] != "inf" && (low == "" || v[2] + 0 < low)) { low = v[2] + 0; at = NR - 1 } } }
                  END { print (low == "" ? "inf" : low) " dB at frame " at }' "$1.psnr")
    [ "$(wc -l <"$1.psnr")" = 600 ] && awk -v l="${lowest%% *}" 'BEGIN { exit !(l == "inf" || l >= 35) }' ||
        h_fail "$1.mp4: $(wc -l <"$1.psnr") frames, the lowest PSNR against the single render $lowest"
    [ "$(ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$1.mp4" | tr '\n' ' ')" = "h264 aac " ] ||
        h_fail "$1.mp4 carries $(ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$1.mp4")"
}

if [ "$PART" = parallel ]; then
    h_need parallel parallel
    h_need ssh openssh-client
    h_daemon sshd openssh-server
    # a private sshd: its own host key, the one user key it takes, a free port on loopback
    mkdir -m 700 ssh
    ssh-keygen -q -t ed25519 -N '' -f ssh/host_key
    ssh-keygen -q -t ed25519 -N '' -f ssh/user_key
    cp ssh/user_key.pub ssh/authorized_keys
    sshd_port=$(port)
    cat >ssh/sshd_config <<EOF
ListenAddress 127.0.0.1
Port $sshd_port
HostKey $H_DIR/ssh/host_key
PidFile none
AuthorizedKeysFile $H_DIR/ssh/authorized_keys
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
UsePAM no
StrictModes no
EOF
    echo "[127.0.0.1]:$sshd_port $(cut -d' ' -f1-2 ssh/host_key.pub)" >ssh/known_hosts
    cat >ssh/config <<EOF
Host render-host
  HostName 127.0.0.1
  Port $sshd_port
  User $(id -un)
  IdentityFile $H_DIR/ssh/user_key
  IdentitiesOnly yes
  UserKnownHostsFile $H_DIR/ssh/known_hosts
  StrictHostKeyChecking yes
  BatchMode yes
EOF
    # as root, sshd wants the folder its unprivileged half runs in, which the ssh service makes
    [ "$(id -u)" != 0 ] || [ -d /run/sshd ] || mkdir -m 755 /run/sshd
    h_spawn sshd /usr/sbin/sshd -D -e -f ssh/sshd_config
    h_until 10 ssh -F ssh/config render-host true ||
        h_skip "sshd did not take a login on 127.0.0.1:$sshd_port: $(tail -n 1 sshd.err)"
    ssh_cmd="ssh -F $H_DIR/ssh/config"

    # The catalogue: music, speech, noise and music again, and a file cut off in its header.
    # Rendered on the ssh host in the shared folder, each job in the log; the damaged file fails
    # there, alone, and leaves nothing.
    mkdir catalogue
    bash "$(dirname "$0")/music.sh" catalogue/song.wav 4
    espeak-ng -w catalogue/speech.wav "Every frequency from forty hertz up, as a standing wave."
    sox -q -V1 -n -r 48000 -c 2 -b 16 catalogue/noise.wav synth 3 pinknoise norm -3
    sox -q -V1 catalogue/song.wav catalogue/later.wav reverse
    for f in catalogue/*.wav; do ffmpeg -v error -i "$f" "${f%.wav}.flac" && rm "$f"; done
    head -c 4000 catalogue/song.flac >catalogue/damaged.flac
    cd catalogue
    catalogue() {
        # shellcheck disable=SC2086
        parallel --ssh "$ssh_cmd" --sshlogin 2/render-host --workdir . --joblog ../render.log \
            --resume-failed "$RENDER" {} {.}.mp4 --size 320x180 --keep-existing ::: *.flac \
            2>../catalogue.err || true
    }
    catalogue
    ls -A >../listing
    cd ..
    [ "$(grep -c '\.mp4$' listing)" = 4 ] && ! grep -q damaged.mp4 listing &&
        ! grep -q '^\.' listing || h_fail "the catalogue left: $(tr '\n' ' ' <listing)"
    failed=$(awk -F'\t' 'NR > 1 && $7 != 0 { print $NF }' render.log)
    [ "$(awk 'NR > 1' render.log | wc -l)" = 5 ] && [ "$(echo "$failed" | wc -l)" = 1 ] &&
        case $failed in *damaged.flac*) ;; *) false ;; esac ||
        h_fail "the job log: $(cat render.log)"
    grep -q '^lumora-render: damaged.flac: ' catalogue.err || h_fail "the damaged file said: $(cat catalogue.err)"
    # Run again with a file more, and a new job log (--resume-failed goes by the jobs' numbers,
    # which a new file moves): what is done is kept, the damaged file fails again, and the new
    # one is rendered
    before=$(stat -c %Y.%N catalogue/*.mp4 | md5sum)
    cp catalogue/speech.flac catalogue/another.flac
    rm render.log
    (cd catalogue && catalogue)
    [ "$(stat -c %Y.%N catalogue/{later,noise,song,speech}.mp4 | md5sum)" = "$before" ] &&
        [ -s catalogue/another.mp4 ] && [ "$(grep -c 'is there already: kept' catalogue.err)" = 4 ] &&
        [ "$(awk -F'\t' 'NR > 1 && $7 != 0' render.log | wc -l)" = 1 ] ||
        h_fail "the second run: $(ls catalogue | tr '\n' ' '): $(cat catalogue.err render.log)"
    h_ok "GNU parallel over ssh: a catalogue of 5 renders 4 and logs 1 failure, nothing partial; a rerun keeps what is done"

    # The mix in four segments on the ssh host, and their join here, lossless and lossy
    for kind in mkv mp4; do
        extra=$([ $kind = mkv ] && echo --lossless || true)
        # shellcheck disable=SC2086
        "$RENDER" mix.flac "parallel.$kind" --size 320x180 $extra --plan 4 >plan.$kind ||
            h_fail "--plan 4 failed"
        head -n 4 plan.$kind | parallel --ssh "$ssh_cmd" --sshlogin 2/render-host --workdir . \
            --joblog segments.log 2>segments.err || h_fail "the segments over ssh: $(cat segments.log segments.err)"
        tail -n 1 plan.$kind | sh 2>join.err || h_fail "the join: $(cat join.err)"
    done
    joined parallel
    h_ok "GNU parallel over ssh: 4 segments joined are the single render's frames; lossy, the lowest frame $lowest"
fi

if [ "$PART" = slurm ]; then
    h_daemon munged munge
    h_daemon slurmctld slurmctld
    h_daemon slurmd slurmd
    h_daemon sbatch slurm-client
    PATH=$PATH:/usr/sbin
    # munged's socket must be reachable by every user: each folder on its way may be passed
    # through (but not listed) by all
    chmod 711 "$H_DIR"
    mkdir -p -m 711 munge
    mkdir -p slurm/state slurm/spool slurm/log
    mungekey --create --keyfile=munge/munge.key 2>/dev/null || dd if=/dev/urandom of=munge/munge.key bs=1024 count=1 2>/dev/null
    chmod 600 munge/munge.key
    h_spawn munged munged -F --socket="$H_DIR/munge/socket" --key-file="$H_DIR/munge/munge.key" \
        --pid-file="$H_DIR/munge/pid" --log-file="$H_DIR/munge/log" --seed-file="$H_DIR/munge/seed"
    h_until 10 test -S munge/socket || h_skip "munged did not start: $(tail -n 1 munged.err munge/log 2>/dev/null)"
    node=$(hostname -s)
    cat >slurm/slurm.conf <<EOF
ClusterName=lumora-test
SlurmctldHost=$node(127.0.0.1)
SlurmctldPort=$(port)
SlurmdPort=$(port)
SlurmUser=$(id -un)
SlurmdUser=$(id -un)
AuthType=auth/munge
AuthInfo=socket=$H_DIR/munge/socket
CredType=cred/munge
StateSaveLocation=$H_DIR/slurm/state
SlurmdSpoolDir=$H_DIR/slurm/spool
SlurmctldPidFile=$H_DIR/slurm/slurmctld.pid
SlurmdPidFile=$H_DIR/slurm/slurmd.pid
SlurmctldLogFile=$H_DIR/slurm/log/slurmctld.log
SlurmdLogFile=$H_DIR/slurm/log/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
ReturnToService=2
MpiDefault=none
NodeName=$node NodeAddr=127.0.0.1 CPUs=$(nproc) State=UNKNOWN
PartitionName=render Nodes=$node Default=YES MaxTime=INFINITE State=UP
EOF
    export SLURM_CONF=$H_DIR/slurm/slurm.conf
    h_spawn slurmctld slurmctld -D -i -f "$SLURM_CONF"
    h_spawn slurmd slurmd -D -f "$SLURM_CONF"
    idle() { sinfo -h -o %t | grep -qx idle; }
    h_until 30 idle || h_skip "the Slurm node did not come up: $(tail -n 1 slurm/log/slurmd.log slurm/log/slurmctld.log 2>/dev/null | tr '\n' ' ')"
    # the mix as a job array of four segments and a join after them, lossless and lossy, through
    # the batch scripts, from the plans
    for kind in mkv mp4; do
        extra=$([ $kind = mkv ] && echo --lossless || true)
        # shellcheck disable=SC2086
        "$RENDER" mix.flac "slurm.$kind" --size 320x180 $extra --plan 4 --keep-existing \
            >plan.$kind || h_fail "--plan 4 failed"
        array=$(sbatch --parsable --array=1-4 -o "segment-$kind-%a.log" "$DATA/slurm-segments.sbatch" plan.$kind) ||
            h_fail "sbatch of the segments failed"
        join=$(sbatch --parsable --dependency=afterok:"$array" -o "join-$kind.log" \
            "$DATA/slurm-join.sbatch" plan.$kind) || h_fail "sbatch of the join failed"
        state() { scontrol show job "$join" 2>/dev/null | grep -o 'JobState=[A-Z_]*' | cut -d= -f2; }
        finished() { case $(state) in COMPLETED | FAILED | CANCELLED | TIMEOUT | NODE_FAIL) ;; *) false ;; esac; }
        # four segments and the join, each a few seconds, and the scheduler's passes between
        h_until 300 finished || h_fail "the join job is still $(state)"
        [ "$(state)" = COMPLETED ] ||
            h_fail "the join job $(state): $(cat join-$kind.log segment-$kind-*.log 2>/dev/null)"
    done
    joined slurm
    h_ok "Slurm: a 4-segment job array and its join are the single render's frames; lossy, the lowest frame $lowest"
fi
