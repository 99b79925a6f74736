#!/bin/bash
# Runs in the tmux pane of the oracle test: usage feed_pane.sh DIR COUNT.
# Writes the chunk files DIR/1 ... DIR/COUNT to the terminal unchanged, one at a time. After
# each it asks tmux for its version: tmux answers in order, so the answer shows that the chunk
# has been interpreted. It then reports the chunk's number on the FIFO DIR/ready and waits for
# a byte on the FIFO DIR/go before the next chunk (or the end).
set -u
dir=$1
count=$2
stty raw -echo  # the bytes reach tmux as recorded, and answers to queries are not echoed
exec 4>"$dir/ready"
exec 3<>"$dir/go"  # read-write: opening does not wait for the test's end
for ((n = 1; n <= count; n++)); do
  cat "$dir/$n"
  printf '\033[>q'
  reply=
  until [[ $reply == *'P>|'* ]]; do
    IFS= read -r -d '\' -t 600 part || exit 1
    reply+=$part
  done
  echo "$n" >&4
  read -r -n 1 -t 600 -u 3 _ || exit 1  # bounded, so that a crashed test leaves no server behind
done
