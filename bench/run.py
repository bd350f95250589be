#!/usr/bin/env python3
"""Benchmark driver: builds the programs, generates the workloads, runs every
program on every workload several times (interleaved), checks that the
baseline and diagonal-picks print the same bytes, and prints a table of median
wall time, peak resident memory and ratios.

Usage: bench/run.py [--scale F] [--runs N] [--workloads W,D,...] [--no-baseline]
                    [--before PATH/TO/diagonal-picks] [--peers] [--plot FILE.svg]
                    [--plot-peers FILE.svg]
"""

import argparse
import hashlib
import itertools
import os
import shutil
import statistics
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORKLOADS = ["W", "D", "MID", "S", "T", "MED", "A11", "A16", "A20", "ASC", "DESC", "EQ", "COLLIDE", "SMALLCOLLIDE", "ONEPART"]
# As many points as W, so their times compare with W's.
# What a user would otherwise run, on the workloads each can take: SQLite's
# script reads one case, awk and Python loop over cases.
PEERS = {"awk": ("mawk", {"W", "D", "MID", "S"}),
         "python": ("python3", {"W", "D", "MID", "S"}),
         "sqlite": ("sqlite3", {"W", "D", "MID"})}
POINT_WORKLOADS = {"W", "MID", "MED", "A11", "A16", "A20", "ASC", "DESC", "EQ", "COLLIDE", "SMALLCOLLIDE", "ONEPART"}


def run_order(programs, round_number):
    """The programs that count (tens of MiB each) alternating with the floors (a
    few MiB). On a virtual machine whose balloon hands freed memory back to the
    host, a process that touches fresh pages a few seconds after the last large
    one ended waits for the host to fault each one in again (W: 0.24 to 0.29 s
    with one CPU, after the four floors, against 0.21 s right after a counting
    run). So each counting program runs within a floor's time of the last one,
    and none of them pays that cost where another does not. Each round starts
    one place further on: with diagonal-picks first in every round, it took
    longer than an identical build run fifth as the earlier build in 13
    workloads of 15 (a few percent, up to 20 % on A16; runs of 5)."""
    def rotated(names):
        shift = round_number % len(names) if names else 0
        return names[shift:] + names[:shift]
    counting = rotated([name for name in programs if "floor" not in name])
    floors = rotated([name for name in programs if "floor" in name])
    return [name for pair in itertools.zip_longest(counting, floors) for name in pair if name is not None]


def run_once(measure, command, input_path, output_path):
    """Runs one program under the measure helper; returns (wall seconds, peak RSS in KiB, CPU seconds,
    system seconds)."""
    with open(input_path, "rb") as stdin, open(output_path, "wb") as stdout:
        result = subprocess.run([measure, *command], stdin=stdin, stdout=stdout,
                                stderr=subprocess.PIPE, check=False)
    if result.returncode != 0:
        sys.exit(f"{' '.join(command)} failed on {input_path} with status {result.returncode}")
    wall, rss, cpu, system = result.stderr.split()
    return float(wall), int(rss), float(cpu), float(system)


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0, help="multiplies every workload size")
    parser.add_argument("--runs", type=int, default=3, help="runs of each program per workload")
    parser.add_argument("--workloads", default=",".join(WORKLOADS))
    parser.add_argument("--no-baseline", action="store_true", help="skip the slow baseline")
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build-bench"))
    parser.add_argument("--before", help="an earlier build of diagonal-picks, measured in the same run")
    parser.add_argument("--plot", metavar="FILE.svg", help="draw the throughput per workload as a bar chart")
    parser.add_argument("--no-counting", action="store_true", help="skip the counting-alone benchmark")
    parser.add_argument("--no-one-thread", action="store_true", help="skip the one-CPU run (taskset -c 0)")
    parser.add_argument("--peers", action="store_true",
                        help="also time awk, Python and SQLite programs that compute the same lines")
    parser.add_argument("--plot-peers", metavar="FILE.svg", help="draw diagonal-picks against the baseline and peers")
    args = parser.parse_args()
    if args.runs < 3:
        parser.error("--runs must be at least 3: a median of fewer runs says little on a shared machine")

    build = args.build_dir
    subprocess.run(["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                    "-DDIAGONAL_PICKS_BENCH=ON", "-DDIAGONAL_PICKS_TEST=OFF"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "-j", str(os.cpu_count() or 1)],
                   check=True, stdout=subprocess.DEVNULL)
    measure = os.path.join(build, "bench", "measure")
    floor = os.path.join(build, "bench", "floor")
    kernels = subprocess.run([floor, "--kernels"], check=True, capture_output=True, text=True).stdout.split()
    # The floor reads with the best kernel; scalar-floor with the reader that
    # came before the SIMD scanner, and floor-K with each other kernel K forced.
    programs = {"diagonal-picks": [os.path.join(build, "src", "diagonal-picks")],
                "floor": [floor],
                "scalar-floor": [os.path.join(build, "bench", "scalar_floor")]}
    other_floors = [f"floor-{kernel}" for kernel in kernels[1:]]
    for kernel in kernels[1:]:
        programs[f"floor-{kernel}"] = [floor, kernel]
    taskset = shutil.which("taskset")
    if taskset and not args.no_one_thread:
        # The same build allowed one CPU: it counts on one thread.
        programs["one-thread"] = [taskset, "-c", "0", programs["diagonal-picks"][0]]
    if args.before:
        programs["before"] = [os.path.abspath(args.before)]
    if not args.no_baseline:
        programs["baseline"] = [os.path.join(build, "bench", "baseline")]

    peers = find_peers() if args.peers else {}

    data = os.path.join(build, "bench-data")
    os.makedirs(data, exist_ok=True)
    rows = []
    for workload in args.workloads.split(","):
        input_path = os.path.join(data, f"{workload}-{args.scale:g}.txt")
        if not os.path.exists(input_path):
            with open(input_path + ".tmp", "wb") as f:
                subprocess.run([os.path.join(build, "bench", "generate"), workload, str(args.scale)],
                               stdout=f, check=True)
            os.rename(input_path + ".tmp", input_path)
        active = dict(programs)
        # The same build reading through a pipe, as `generate | diagonal-picks` would.
        active["pipe"] = ["/bin/sh", "-c", 'cat "$0" | "$1"', input_path, programs["diagonal-picks"][0]]
        for name, (workloads, command) in peers.items():
            if workload in workloads:
                active[name] = command(input_path, data)
        times = {name: [] for name in active}
        cpu = {name: [] for name in active}
        system = {name: [] for name in active}
        memory = {name: 0 for name in active}
        outputs = {}
        for round_number in range(args.runs):  # interleaved, so drift hits every program alike
            for name in run_order(active, round_number):
                program = active[name]
                output_path = os.path.join(data, f"out-{name}")
                wall, rss, cpu_seconds, system_seconds = run_once(measure, program, input_path, output_path)
                times[name].append(wall)
                cpu[name].append(cpu_seconds)
                system[name].append(system_seconds)
                memory[name] = max(memory[name], rss)
                outputs[name] = digest(output_path)
        for other in ("baseline", "before", "one-thread", "pipe", *peers):
            if other in outputs and outputs[other] != outputs["diagonal-picks"]:
                sys.exit(f"FAIL: diagonal-picks and the {other} print different bytes on {workload}")
        rows.append((workload, {n: statistics.median(t) for n, t in times.items()}, memory,
                     os.path.getsize(input_path), {n: statistics.median(c) for n, c in cpu.items()},
                     {n: statistics.median(c) for n, c in system.items()}))

    names = list(programs)
    header = f"{'workload':12}" + "".join(f"{n + ' s':>17}{n + ' MiB':>19}" for n in names)
    header += f"{'pipe s':>9}{'pipe/file':>10}{'x floor':>9}{'floor/scalar':>13}"
    header += "".join(f"{name[len('floor-'):] + '/scalar':>16}" for name in other_floors)
    header += f"{'vs before':>11}" if "before" in names else ""
    # The kernel's share, mostly faulting in fresh pages: on a virtual machine
    # it swings from run to run, and tells a run that waited for memory.
    header += f"{'sys s':>8}" + (f"{'before sys':>11}" if "before" in names else "")
    header += f"{'wall 2t/1t':>11}{'cpu 2t/1t':>10}{'mem 2t/1t':>10}" if "one-thread" in names else ""
    header += f"{'vs baseline':>13}" if "baseline" in names else ""
    print(header)
    w_time = next((t["diagonal-picks"] for w, t, *_ in rows if w == "W"), None)
    for workload, median, memory, _, cpu_median, system_median in rows:
        line = f"{workload:12}" + "".join(f"{median[n]:17.3f}{memory[n] / 1024:19.1f}" for n in names)
        line += f"{median['pipe']:9.3f}{median['pipe'] / median['diagonal-picks']:10.2f}"
        line += f"{median['diagonal-picks'] / median['floor']:9.2f}"
        line += f"{median['floor'] / median['scalar-floor']:13.2f}"
        line += "".join(f"{median[name] / median['scalar-floor']:16.2f}" for name in other_floors)
        if "before" in names:
            line += f"{median['before'] / median['diagonal-picks']:10.2f}x"
        line += f"{system_median['diagonal-picks']:8.3f}"
        if "before" in names:
            line += f"{system_median['before']:11.3f}"
        if "one-thread" in names:
            line += f"{median['diagonal-picks'] / median['one-thread']:11.2f}"
            line += f"{cpu_median['diagonal-picks'] / max(cpu_median['one-thread'], 1e-9):10.2f}"
            line += f"{memory['diagonal-picks'] / memory['one-thread']:10.2f}"
        if "baseline" in names:
            line += f"{median['baseline'] / median['diagonal-picks']:12.1f}x"
        if w_time and workload in POINT_WORKLOADS and workload != "W":
            line += f"  ({median['diagonal-picks'] / w_time:.2f} of W)"
        print(line)
    compared = "outputs agree" if "baseline" in names else "outputs not compared (no baseline)"
    print(f"median of {args.runs} interleaved runs, scale {args.scale:g}; {compared}; "
          f"scanning kernel {kernels[0]} (supported: {', '.join(kernels)})")
    if peers:
        print_peers(rows, ["baseline", *peers])
    if args.plot:
        plot(rows, [n for n in ("diagonal-picks", "one-thread", "before", "floor", "baseline") if n in names], args.plot)
    if args.plot_peers:
        plot([r for r in rows if r[0] in ("W", "D", "MID", "S")],
             [n for n in ("diagonal-picks", "baseline", *peers) if n in names or n in peers], args.plot_peers)
    if not args.no_counting:
        # The earlier build's counting benchmark, where it was built beside it.
        before_count_keys = None
        if args.before:
            candidate = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(args.before))), "bench", "count_keys")
            before_count_keys = candidate if os.access(candidate, os.X_OK) else None
        count_alone(os.path.join(build, "bench", "count_keys"), args.runs, args.scale, before_count_keys)


def find_peers():
    """The peers whose interpreter is installed: name -> (workloads, command for an input)."""
    here = os.path.join(ROOT, "bench", "peers")
    found = {}
    for name, (program, workloads) in PEERS.items():
        path = sys.executable if program == "python3" else shutil.which(program)
        if not path:
            print(f"peer {name} skipped: {program} is not installed")
            continue
        if name == "awk":
            found[name] = (workloads, lambda _input, _data, p=path: [p, "-f", os.path.join(here, "diagonal_picks.awk")])
        elif name == "python":
            found[name] = (workloads, lambda _input, _data, p=path: [p, os.path.join(here, "diagonal_picks.py")])
        else:
            found[name] = (workloads, lambda input_path, data, p=path: [p, ":memory:", ".read " + sqlite_script(
                os.path.join(here, "diagonal_picks.sql"), input_path, data)])
    return found


def sqlite_script(template, input_path, data):
    """The SQLite script with the input file and its case's count filled in."""
    with open(input_path) as f:
        count = f.readline().strip()
    script = os.path.join(data, "peer-" + os.path.basename(input_path) + ".sql")
    with open(template) as f:
        text = f.read().replace(":INPUT:", input_path).replace(":N:", count)
    with open(script, "w") as f:
        f.write(text)
    return script


def print_peers(rows, others):
    """Time per workload of diagonal-picks and of what a user would otherwise run, with their ratio."""
    print()
    print(f"{'workload':12}{'diagonal-picks s':>18}" + "".join(f"{n + ' s':>13}{'(x)':>8}" for n in others))
    for workload, median, *_ in rows:
        if not any(n in median for n in others[1:]):
            continue
        mine = median["diagonal-picks"]
        cells = "".join(f"{median[n]:13.3f}{median[n] / mine:7.0f}x" if n in median else f"{'-':>13}{'':8}"
                        for n in others)
        print(f"{workload:12}{mine:18.3f}" + cells)
    print("(x): that program's time over diagonal-picks'; each printed the same bytes as diagonal-picks")


def count_alone(count_keys, runs, scale, before=None):
    """The tally alone on keys made in memory: median ns per key and peak memory per key set, and the
    earlier build's on the key sets it also has, interleaved."""
    print()
    print(f"{'key set':14}{'keys':>12}{'distinct':>12}{'ns/key':>9}{'peak MiB':>10}{'x W-like':>10}"
          + (f"{'before ns':>11}{'before MiB':>12}{'speed-up':>10}" if before else ""))
    sets = subprocess.run([count_keys, "--list"], check=True, capture_output=True, text=True).stdout.split()
    before_sets = set(subprocess.run([before, "--list"], check=True, capture_output=True,
                                     text=True).stdout.split()) if before else set()
    w_like = None
    for key_set in sets:
        results = {"now": [], "before": []}
        for _ in range(runs):
            for name, program in (("now", count_keys), ("before", before)):
                if name == "before" and key_set not in before_sets:
                    continue
                out = subprocess.run([program, key_set, f"{scale:g}"], capture_output=True, text=True)
                if out.returncode != 0:
                    sys.exit(f"FAIL: {program} {key_set}: {out.stderr.strip()}")
                results[name].append(out.stdout.split())
        ns = statistics.median(float(r[3]) for r in results["now"])
        peak = max(int(r[4]) for r in results["now"])
        w_like = ns if key_set == "W-like" else w_like
        ratio = f"{ns / w_like:10.2f}" if w_like else ""
        line = f"{key_set:14}{int(results['now'][0][1]):12}{int(results['now'][0][2]):12}{ns:9.2f}{peak / 1024:10.1f}{ratio}"
        if results["before"]:
            before_ns = statistics.median(float(r[3]) for r in results["before"])
            before_peak = max(int(r[4]) for r in results["before"])
            line += f"{before_ns:11.2f}{before_peak / 1024:12.1f}{before_ns / ns:9.2f}x"
        print(line)
    print(f"median of {runs} runs; each checks its sum of squared counts against the known one"
          + ("; before: the earlier build's count_keys on the key set of the same name, which that build"
             " defines (see count_keys --list)" if before else ""))


def plot(rows, names, path):
    """A bar chart of input throughput (MB/s, log scale) per workload and program."""
    try:
        import matplotlib
    except ImportError:
        sys.exit("--plot needs matplotlib: Debian's python3-matplotlib, for /usr/bin/python3")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    workloads = [row[0] for row in rows]
    width = 0.8 / len(names)
    fig, ax = plt.subplots(figsize=(max(8, len(workloads) * 0.9), 4.5))
    for i, name in enumerate(names):
        bars = [(x, size / 1e6 / median[name]) for x, (_, median, _, size, *_) in enumerate(rows) if name in median]
        ax.bar([x + (i - (len(names) - 1) / 2) * width for x, _ in bars], [speed for _, speed in bars], width,
               label=name)
    ax.set_xticks(range(len(workloads)), workloads)
    ax.set_yscale("log")
    ax.set_ylabel("input MB/s (log scale)")
    ax.set_title("Throughput per workload (median of interleaved runs)")
    ax.legend(loc="upper left", bbox_to_anchor=(1.0, 1.0))  # beside the bars, never over them
    ax.grid(axis="y", which="both", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path)
    print(f"chart written to {path}")


if __name__ == "__main__":
    main()
