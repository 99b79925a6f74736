#!/usr/bin/env bash
# tools/convert-archive on 50 generated recordings in nested folders, one of them broken:
# stopped by Ctrl-C (SIGINT to the whole command), then by SIGTERM to parallel alone, resumed
# over two stand-in ssh logins, and run once more. Every good movie must end up complete, none
# converted twice, the broken recording listed with reelcap's message, and nothing left behind.
#
#   tests/convert_archive_test.sh [REELCAP]    (build/reelcap by default)
set -euo pipefail
# Started from a background job of a shell without job control, this script inherits SIGINT
# ignored, and a shell can neither trap nor reset a signal ignored at its start: Ctrl-C would
# reach nothing. Such a start runs it again with SIGINT at its default.
if [ -z "${CONVERT_ARCHIVE_TEST_SIGNALS:-}" ] && trap -p INT | grep -q "''"; then
    export CONVERT_ARCHIVE_TEST_SIGNALS=1
    exec python3 -c 'import os, signal, sys; signal.signal(signal.SIGINT, signal.SIG_DFL); os.execvp(sys.argv[1], sys.argv[1:])' \
        "$0" "$@"
fi
repo=$(cd "$(dirname "$0")/.." && pwd)
reelcap=$(realpath "${1:-$repo/build/reelcap}")
scratch=$(mktemp -d "${TMPDIR:-/tmp}/convert-archive-test-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
mkdir tmp
export TMPDIR=$scratch/tmp
set -m  # background runs get their own process group and take SIGINT as at a terminal

fail() {
    echo "convert_archive_test: $*" >&2
    exit 1
}

python3 - <<'EOF'
import json, os, struct

def ttyrec(path, count):
    with open(path, "wb") as f:
        for i in range(count):
            data = f"\x1b[{i % 5 + 1};1Hline {i}".encode()
            f.write(struct.pack("<III", i // 10, i % 10 * 100000, len(data)) + data)

def cast(path, count):
    with open(path, "w") as f:
        f.write(json.dumps({"version": 2, "width": 20, "height": 5}) + "\n")
        for i in range(count):
            f.write(json.dumps([i / 10, "o", f"\r\nline {i}"]) + "\n")

folders = ["", "a", "a/b", "with space"]
for k in range(49):
    folder = os.path.join("archive", folders[k % 4])
    os.makedirs(folder, exist_ok=True)
    name = "it's $k" if k == 7 else f"rec{k:02d}"
    if k % 2:
        ttyrec(os.path.join(folder, name + ".ttyrec"), 300)
    else:
        cast(os.path.join(folder, name + ".cast"), 300)
with open("archive/a/broken.cast", "w") as f:
    f.write('{"version": 2, "width": 20, "height": 5}\n[0.5, "o", "hi"]\n[1.0, "o"]\n')
EOF

# Stands in for ssh: skips its options and the host, then runs the command line as a login
# shell would, here, in an environment as bare as a remote machine's.
cat >fakessh <<'EOF'
#!/usr/bin/env bash
skip_options() {
    while (($#)); do
        case $1 in
            --) shift; break ;;
            -[bcDEeFIiJLlmOoPpQRSWw]) shift 2 ;;
            -*) shift ;;
            *) break ;;
        esac
    done
    rest=("$@")
}
skip_options "$@"
host=${rest[0]}
skip_options "${rest[@]:1}"
echo "$host" >>"$FAKESSH_LOG"
exec env -i HOME="$HOME" SHELL=/bin/bash PATH=/usr/bin:/bin TMPDIR="$TMPDIR" bash -c "${rest[*]}"
EOF
chmod +x fakessh

options=(-fps 30 -width 20 -height 5)
convert() {
    "$repo/tools/convert-archive" --reelcap "$reelcap" "$@" archive movies -- "${options[@]}"
}

# The frames a player shows at 30 a second: a movie stores each screen once, lasting until the
# next, so its length tells.
frames() {
    ffprobe -v error -show_entries format=duration -of csv=p=0 "$1" | awk '{ printf "%d\n", $1 * 30 + 0.5 }'
}
mkdir reference
# The built reelcap finds its font beside it through PATH.
(cd reference && export PATH=${reelcap%/*}:$PATH && "$reelcap" ../archive/rec00.cast "${options[@]}" -output cast.mp4 >/dev/null &&
    "$reelcap" ../archive/a/rec01.ttyrec "${options[@]}" -output ttyrec.mp4 >/dev/null)
castFrames=$(frames reference/cast.mp4)
ttyrecFrames=$(frames reference/ttyrec.mp4)
((castFrames > 800 && ttyrecFrames > 800)) || fail "the reference movies have $castFrames and $ttyrecFrames frames"

finished() { find movies -name '*.mp4' ! -name '.*' 2>/dev/null | wc -l; }

# Every movie there is complete, and no temporary one is left.
checkMovies() {
    local recording movie expected
    while IFS= read -r -d '' recording; do
        movie=movies/${recording%.*}.mp4
        [ -e "$movie" ] || continue
        expected=$castFrames
        [[ $recording != *.ttyrec ]] || expected=$ttyrecFrames
        [ "$(frames "$movie")" = "$expected" ] || fail "$movie has $(frames "$movie") frames, not $expected"
    done < <(cd archive && find . -type f ! -name broken.cast -printf '%P\0')
    [ -z "$(find movies -name '.*.part.*')" ] || fail "temporary movies are left: $(find movies -name '.*.part.*')"
    [ -z "$(ls -A tmp)" ] || fail "working directories are left in TMPDIR: $(ls -A tmp)"
}

# Starts a conversion; waits until at least $1 movies are finished and reelcap is making
# another; returns with it running.
startAndWaitFor() {
    local wanted=$1
    shift
    "$repo/tools/convert-archive" --reelcap "$reelcap" "$@" archive movies -- "${options[@]}" >run.log 2>&1 &
    running=$!
    for _ in $(seq 600); do
        (($(finished) >= wanted)) && pgrep -f "^$reelcap .*$scratch/archive/" >/dev/null && return 0
        kill -0 "$running" 2>/dev/null || break
        sleep 0.1
    done
    fail "fewer than $wanted movies after a minute, or the run ended early: $(cat run.log)"
}

expectStatus() {
    local status=0
    wait "$running" || status=$?
    [[ $status =~ ^($1)$ ]] || fail "convert-archive ended with status $status, not $1: $(cat run.log)"
}

# 1. Ctrl-C: SIGINT to the whole process group.
startAndWaitFor 5 -j 2
kill -INT -- "-$running"
expectStatus 130
grep -q "interrupted with [0-9]* of 50 recordings converted.*resumes" run.log || fail "run 1 said: $(cat run.log)"
first=$(finished)
((first < 49)) || fail "run 1 finished before it was interrupted"
checkMovies

# 2. SIGTERM to parallel alone.
startAndWaitFor $((first + 5)) -j 2
parallelPid=$(pgrep -P "$running" -x parallel) || fail "no parallel under convert-archive"
kill -TERM "$parallelPid"
expectStatus '1[0-9][2-9]|2[0-9][0-9]'
grep -q "stopped (parallel's status [0-9]*) with [0-9]* of 50 recordings converted" run.log ||
    fail "run 2 said: $(cat run.log)"
second=$(finished)
((second < 49)) || fail "run 2 finished before it was stopped"
checkMovies
find movies -name '*.mp4' -printf '%i %p\n' | sort >before.txt
cp movies/.convert-archive/joblog joblog.before

# 3. Resumed on two stand-in machines.
export PARALLEL_SSH=$scratch/fakessh FAKESSH_LOG=$scratch/ssh.log
status=0
convert -S 1/hostA -S 1/hostB >run.log 2>&1 || status=$?
unset PARALLEL_SSH
[ "$status" -eq 1 ] || fail "run 3 ended with status $status: $(cat run.log)"
[ "$(finished)" -eq 49 ] || fail "run 3 left $(finished) movies, not 49"
checkMovies
[ -e "movies/with space/it's \$k.mp4" ] && [ -e movies/a/b/rec02.mp4 ] || fail "the folders are not mirrored"
[ "$(sort -u ssh.log)" = $'hostA\nhostB' ] || fail "the jobs did not run on both logins: $(sort ssh.log | uniq -c)"
find movies -name '*.mp4' -printf '%i %p\n' | sort >after.txt
[ -z "$(comm -23 before.txt after.txt)" ] || fail "movies finished before were made again: $(comm -23 before.txt after.txt)"
# Resuming reruns no job the log has as done.
repeated=$(awk -F '\t' 'FNR > 1 && $7 == 0 { if (done[$1]++) print $1 }' movies/.convert-archive/joblog)
[ -z "$repeated" ] || fail "jobs done before ran again: $repeated"
expected="convert-archive: 49 of 50 recordings converted into $scratch/movies; 1 failed:
  a/broken.cast: Error: $scratch/archive/a/broken.cast line 3: an event must be [time, type, data] (exit status 1)
The same command tries them again."
[ "$(cat run.log)" = "$expected" ] || fail "run 3 said: $(cat run.log)"

# 4. Once more: only the failure is tried again.
lines=$(wc -l <movies/.convert-archive/joblog)
status=0
convert >run.log 2>&1 || status=$?
[ "$status" -eq 1 ] && [ "$(cat run.log)" = "$expected" ] || fail "run 4 ended with $status: $(cat run.log)"
[ "$(wc -l <movies/.convert-archive/joblog)" -eq $((lines + 1)) ] || fail "run 4 ran more than the failed job"
[ -z "$(find . -name output -o -name '*.bmp' | grep -v '^./reference/')" ] ||
    fail "logs or frame bitmaps are left: $(find . -name output -o -name '*.bmp')"

# 5. Stops before any job, with one line naming what to use instead: no reelcap along PATH or
# at --reelcap's path, an option that is the tool's own.
mkdir -p small/x
cp archive/rec00.cast small/
cp archive/a/rec01.ttyrec small/x/
stopsAtOnce() {
    local wanted=$1 status=0
    shift
    "$@" >run.log 2>&1 || status=$?
    [ "$status" -eq 2 ] && [ "$(wc -l <run.log)" -eq 1 ] && grep -q -- "$wanted" run.log ||
        fail "$* ended with status $status, saying: $(cat run.log)"
    [ ! -e small-movies ] || fail "$* made small-movies"
}
stopsAtOnce "no reelcap at $scratch/none/reelcap; .*--reelcap PATH" "$repo/tools/convert-archive" --reelcap none/reelcap small small-movies
# (Unless this machine has reelcap installed there.)
if ! PATH=/usr/bin:/bin command -v reelcap >/dev/null; then
    stopsAtOnce "no reelcap along PATH; .*--reelcap PATH" env PATH=/usr/bin:/bin "$repo/tools/convert-archive" small small-movies
fi
stopsAtOnce "-Output .*DEST.*-e EXT" "$repo/tools/convert-archive" --reelcap "$reelcap" small small-movies -- -fps 10 -Output a.mp4
stopsAtOnce "-PNG .*-e EXT" "$repo/tools/convert-archive" --reelcap "$reelcap" small small-movies -- -PNG

# 6. A rerun with every movie there converts nothing and says so; --force converts them again,
# at a terminal with parallel's progress bar.
convertSmall() {
    "$repo/tools/convert-archive" --reelcap "$reelcap" "$@" small small-movies -- "${options[@]}"
}
convertSmall >run.log 2>&1 && [ "$(cat run.log)" = "convert-archive: all 2 recordings converted into $scratch/small-movies." ] ||
    fail "converting small said: $(cat run.log)"
inodes() { stat -c %i small-movies/rec00.mp4 small-movies/x/rec01.mp4 | paste -s -d ' '; }
before=$(inodes)
convertSmall >run.log 2>&1 && [ "$(cat run.log)" = "convert-archive: all 2 recordings are already converted in $scratch/small-movies; nothing to do (--force converts them again)." ] ||
    fail "the rerun said: $(cat run.log)"
[ "$(inodes)" = "$before" ] || fail "the rerun replaced movies"
[ ! -e small-movies/.convert-archive ] || fail "the rerun left its job log"
command=$(printf '%q ' "$repo/tools/convert-archive" --reelcap "$reelcap" --force small small-movies -- "${options[@]}")
script -qec "stty cols 100 rows 30; $command" /dev/null >run.log 2>&1 || fail "--force at a terminal failed: $(cat run.log)"
grep -q '100% 2:0=' run.log && ! grep -q 'cannot open' run.log || fail "no clean progress bar at a terminal: $(cat -v run.log)"
[ "$(frames small-movies/rec00.mp4) $(frames small-movies/x/rec01.mp4)" = "$castFrames $ttyrecFrames" ] ||
    fail "--force left movies of $(frames small-movies/rec00.mp4) and $(frames small-movies/x/rec01.mp4) frames"
read -r new0 new1 <<<"$(inodes)"
read -r old0 old1 <<<"$before"
((new0 != old0 && new1 != old1)) || fail "--force kept a movie: inodes $before, then $new0 $new1"
echo "convert_archive_test: interrupted at $first and $second movies, resumed over two logins; 49 movies, 1 failure listed;" \
    "stops before any job, nothing redone unless --force, a progress bar at a terminal"
