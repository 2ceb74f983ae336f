"""Guest instructions per call of each processor variant, counted under
qemu-user: qemu logs every translated block (in_asm) and every block it runs
(exec, with chaining off); the count of a run is the sum over the blocks run
of their instruction counts. Two runs of 1 and 3 calls cancel the start-up.

usage: variant_counts.py EMULATOR... -- PROGRAM ROUTINE:VARIANT...

The integer and float writers (int, float) run the digit groups the program
was built with: count them in each build (bench/variant_counts.cpp).
"""
import os
import re
import subprocess
import sys
import tempfile

TB_START = re.compile(r"^IN:")
INSN = re.compile(r"^0x([0-9a-f]+):\s")
EXEC = re.compile(r"^Trace \d+: 0x[0-9a-f]+ \[[0-9a-f]+/([0-9a-f]+)/")


def count(emulator, program, args):
    with tempfile.TemporaryDirectory() as tmp:
        log = os.path.join(tmp, "log")
        subprocess.run(emulator + ["-d", "in_asm,exec,nochain", "-D", log, program] + args,
                       check=True, stdout=subprocess.DEVNULL)
        sizes, total, current, start = {}, 0, None, None
        with open(log, errors="replace") as f:
            for line in f:
                if TB_START.match(line):
                    current = start = None
                    current = 0
                    continue
                m = INSN.match(line)
                if m and current is not None:
                    if current == 0:
                        start = int(m.group(1), 16)
                    current += 1
                    sizes[start] = current
                    continue
                m = EXEC.match(line)
                if m:
                    current = None
                    total += sizes.get(int(m.group(1), 16), 0)
        return total


def main():
    split = sys.argv.index("--")
    emulator, program, cases = sys.argv[1:split], sys.argv[split + 1], sys.argv[split + 2:]
    for case in cases:
        routine, variant = case.split(":")
        once = count(emulator, program, [routine, variant, "1"])
        thrice = count(emulator, program, [routine, variant, "3"])
        print(f"{routine:9} {variant:9} {(thrice - once) // 2:8d} instructions per call")


main()
