#!/bin/sh
# The tests' askpass program: answers with the file named after the PIN asked
# for (current, new or confirm) in $SOFTKEY_TEST_ANSWERS, and records each
# call there ("calls": the kind and serial; "prompt": the last prompt text).
# An "exit" file makes it fail with that status, a "sleep" file makes it wait.
dir=$SOFTKEY_TEST_ANSWERS
printf '%s %s\n' "$VASQUILL_SOFTKEY_PROMPT" "$VASQUILL_SOFTKEY_SERIAL" >>"$dir/calls"
printf '%s' "$1" >"$dir/prompt"
if [ -f "$dir/sleep" ]; then sleep "$(cat "$dir/sleep")"; fi
if [ -f "$dir/exit" ]; then exit "$(cat "$dir/exit")"; fi
if [ -f "$dir/$VASQUILL_SOFTKEY_PROMPT" ]; then cat "$dir/$VASQUILL_SOFTKEY_PROMPT"; fi
