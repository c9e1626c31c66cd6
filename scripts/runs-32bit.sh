#!/bin/sh
# Does this machine run 32-bit x86 programs? Some hosts of the same Debian
# image cannot (their kernel lacks 32-bit support: "Exec format error"), and
# uname does not tell. So: build the smallest static i386 program with the
# binutils that g++ brings and run it.
#   scripts/runs-32bit.sh    exit 0 yes, 1 no, 2 the check itself could not be made
# Q7730_RUNS_32BIT=yes|no forces the answer (to try the other path); the line
# printed says so.
set -u
case "${Q7730_RUNS_32BIT:-}" in
  yes) echo "32-bit x86 programs: yes (Q7730_RUNS_32BIT=yes, not checked)"; exit 0 ;;
  no) echo "32-bit x86 programs: no (Q7730_RUNS_32BIT=no, not checked)"; exit 1 ;;
  '') ;;
  *) echo "Q7730_RUNS_32BIT must be yes or no, not '$Q7730_RUNS_32BIT'" >&2; exit 2 ;;
esac
for tool in as ld; do
  command -v "$tool" >/dev/null 2>&1 || { echo "32-bit x86 programs: cannot check ($tool not found; install binutils)" >&2; exit 2; }
done
tmp=$(mktemp -d "${TMPDIR:-/tmp}/q7730-32bit.XXXXXX") || exit 2
trap 'rm -rf "$tmp"' EXIT
# exit(42) through the 32-bit system call gate: only a kernel that runs i386
# code gives 42 back.
printf '.globl _start\n_start:\n movl $1, %%eax\n movl $42, %%ebx\n int $0x80\n' >"$tmp/t.s"
if ! as --32 -o "$tmp/t.o" "$tmp/t.s" 2>"$tmp/err" || ! ld -m elf_i386 -o "$tmp/t" "$tmp/t.o" 2>>"$tmp/err"; then
  echo "32-bit x86 programs: cannot check (building the test program failed: $(head -n1 "$tmp/err"))" >&2
  exit 2
fi
"$tmp/t" 2>"$tmp/err"
status=$?
if [ "$status" = 42 ]; then
  echo "32-bit x86 programs: yes (a static i386 program ran)"
  exit 0
fi
why=$(head -n1 "$tmp/err")
echo "32-bit x86 programs: no (a static i386 program ${why:+failed: $why}${why:-exited with $status})"
exit 1
