#!/usr/bin/env python3
"""Estimates each scanning kernel's cycles per 64-byte window with LLVM's
machine-code analyser (llvm-mca), for processors this machine cannot time.

Each kernel's classification of one window is compiled on its own, by the
compiler that builds the program and with the kernel's own flags, and the
straight-line code is given to llvm-mca for a steady-state estimate. The
figures are estimates of the classification alone, not of the whole scan:
calibrate them against bench/run.py's floor times on x86 before trusting
them elsewhere.

Usage: bench/mca.py [--iterations N]
Needs: llvm-mca (Debian's llvm-14, installed with clang), g++ and
g++-aarch64-linux-gnu.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# (kernel, its source file, the struct that classifies, extra compiler flags)
X86_KERNELS = [
    ("portable", "scan_portable.cpp", "Portable", []),
    ("avx2", "scan_avx2.cpp", "Avx2", ["-mavx2", "-mbmi", "-mpopcnt"]),
    ("avx512", "scan_avx512.cpp", "Avx512", ["-mavx512f", "-mavx512bw", "-mbmi", "-mpopcnt"]),
]
ARM_KERNELS = [
    ("portable", "scan_portable.cpp", "Portable", []),
    ("neon", "scan_neon.cpp", "Neon", []),
]
# llvm-mca reads straight-line code: let the compiler unroll the kernels'
# loops over words or halves of the window completely.
UNROLL = ["--param", "max-completely-peeled-insns=4000", "--param", "max-completely-peel-times=64"]
# (compiler, llvm-mca triple, models, kernels)
TARGETS = [
    ("g++", "x86_64-linux-gnu", ["icelake-server"], X86_KERNELS),
    ("aarch64-linux-gnu-g++", "aarch64-linux-gnu", ["neoverse-n1", "apple-m1"], ARM_KERNELS),
]

# The kernel's classification of one window, as one function with no loop
# left in it: the source file is included, so its internal structs are in
# reach.
DRIVER = """#include "read/{source}"
extern "C" void classify_window(const char* p, diagonal_picks::scan_detail::Masks* out) {{
  *out = diagonal_picks::{struct}::classify(p);
}}
"""


def instructions_of(assembly, name):
    """The instructions of function `name`, up to its return, without
    directives, labels or comments; it must not branch."""
    lines = assembly.splitlines()
    code = []
    for line in lines[lines.index(f"{name}:") + 1:]:
        text = re.split(r"\s(//|#)", " " + line)[0].strip()
        if not text or text.startswith(".") or text.endswith(":"):
            continue
        if re.match(r"(ret|retq)\b", text):
            return code
        if re.match(r"(j[a-z]+|bl?|b\.?(eq|ne|cs|hs|cc|lo|mi|pl|vs|vc|hi|ls|ge|lt|gt|le)|cbn?z|tbn?z)\s", text):
            sys.exit(f"{name} still branches ({text}): llvm-mca would see one pass of a loop")
        code.append(text)
    sys.exit(f"no return found in {name}")


def estimate(compiler, triple, model, kernel, iterations, workdir):
    name, source, struct, flags = kernel
    driver = os.path.join(workdir, f"{triple}-{name}.cpp")
    with open(driver, "w") as f:
        f.write(DRIVER.format(source=source, struct=struct))
    assembly = subprocess.run([compiler, "-std=c++20", "-O3", "-DNDEBUG", *UNROLL, *flags, "-I", os.path.join(ROOT, "src"),
                               "-I", os.path.join(ROOT, "src", "read"), "-S", "-o", "-", driver],
                              check=True, capture_output=True, text=True).stdout
    body = instructions_of(assembly, "classify_window")
    report = subprocess.run(["llvm-mca", f"-mtriple={triple}", f"-mcpu={model}", f"-iterations={iterations}"],
                            input="\n".join(body) + "\n", check=True, capture_output=True, text=True).stdout
    cycles = int(re.search(r"Total Cycles:\s+(\d+)", report).group(1))
    return len(body), cycles / iterations


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iterations", type=int, default=1000)
    args = parser.parse_args()
    for tool in ["llvm-mca", *(target[0] for target in TARGETS)]:
        if shutil.which(tool) is None:
            sys.exit(f"{tool} not found")
    print("Estimates of llvm-mca, cycles to classify one 64-byte window, steady state")
    print(f"{'model':<16} {'kernel':<10} {'instructions':>12} {'cycles':>8} {'vs portable':>12}")
    with tempfile.TemporaryDirectory() as workdir:
        for compiler, triple, models, kernels in TARGETS:
            for model in models:
                portable_cycles = None
                for kernel in kernels:
                    instructions, cycles = estimate(compiler, triple, model, kernel, args.iterations, workdir)
                    if kernel[0] == "portable":
                        portable_cycles = cycles
                    print(f"{model:<16} {kernel[0]:<10} {instructions:>12} {cycles:>8.1f} "
                          f"{cycles / portable_cycles:>11.2f}x")


if __name__ == "__main__":
    main()
