"""Two builds of vorn_schema on the same workloads, in alternating processes.

    python bench/ab.py REF [--rounds N] [--samples N] [--only WORD] [--markdown]

Builds git REF (any commit-ish; cached by commit under build/ab-cache/) and the working tree
(incrementally, under build/ab-cache/worktree), both Release with cmake as tools/dev_build.sh
does. Then each round starts one process per build, the two in turn and in alternating order,
and each process times every workload of the working tree on both roads: best of --samples
samples of about 5 ms. A build's figure is its best over all rounds; the table prints both,
their ratio new/REF (below 1: the working tree is faster) and the spread of that ratio
between rounds.

The workloads are bench/compare.py's main and reject rows (tree of 10,000 nodes aside), its
1,000-key objects, and: an order and a batch whose one error sits in their last item,
records of 1 to 20 u32 fields, and a one-off `schema.validate` of the order (binding on
every call).
"""

import argparse
import json
import math
import os
import pathlib
import shutil
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
CACHE = ROOT / "build" / "ab-cache"
FIELD_COUNTS = (1, 4, 8, 12, 20)


# --- Building --------------------------------------------------------------------------------


def run_quietly(command, **options):
    done = subprocess.run(command, check=False, capture_output=True, text=True, **options)
    if done.returncode != 0:
        sys.stderr.write(done.stdout + done.stderr)
        raise SystemExit(f"ab.py: failed: {' '.join(map(str, command))}")
    return done.stdout


def cmake_build(source, build):
    run_quietly(
        [
            "cmake", "-S", source, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
            "-DSKBUILD_SABI_COMPONENT=Development.SABIModule", f"-DPython_EXECUTABLE={sys.executable}",
        ]
    )  # fmt: skip
    run_quietly(["cmake", "--build", build, "--target", "_vorn", "-j", "2"])


def assemble(source, build, pkg):
    """An importable vorn_schema: copies of the sources' Python files and the built module."""
    target = pkg / "vorn_schema"
    shutil.rmtree(target, ignore_errors=True)
    target.mkdir(parents=True)
    (module,) = build.glob("_vorn*.so")
    for f in [*sorted((source / "python" / "vorn_schema").iterdir()), module]:
        if f.name != "__pycache__":
            shutil.copy2(f, target / f.name)
    return pkg


def build_ref(commit):
    out = CACHE / commit
    pkg = out / "pkg"
    if (out / "built").exists():
        return pkg
    print(f"building {commit[:12]} into {out.relative_to(ROOT)} ...", flush=True)
    source = out / "src"
    shutil.rmtree(source, ignore_errors=True)
    source.mkdir(parents=True)
    archive = subprocess.run(["git", "-C", ROOT, "archive", commit], capture_output=True, check=True)
    subprocess.run(["tar", "-x", "-C", source], input=archive.stdout, check=True)
    cmake_build(source, out / "build")
    assemble(source, out / "build", pkg)
    (out / "built").write_text(commit + "\n")
    return pkg


def build_worktree():
    out = CACHE / "worktree"
    print("building the working tree ...", flush=True)
    # Options cached by an earlier configure would outlive a changed default in CMakeLists.txt.
    (out / "build" / "CMakeCache.txt").unlink(missing_ok=True)
    cmake_build(ROOT, out / "build")
    return assemble(ROOT, out / "build", out / "pkg")


def describe_worktree():
    head = run_quietly(["git", "-C", ROOT, "rev-parse", "--short=12", "HEAD"]).strip()
    dirty = run_quietly(["git", "-C", ROOT, "status", "--porcelain", "--untracked-files=no"]).strip()
    return head + (" + changes" if dirty else "")


# --- The child: one build, every workload ----------------------------------------------------


def workloads():
    import compare

    c = compare
    rows = [
        w
        for w in c.workloads(quick=True)
        if w.section in ("main", "reject") and w.name != "tree (10,000 nodes)"
        or w.name in ("1,000 keys, in order", "1,000 plain 30-byte keys", "1,000 escaped 30-byte keys")
    ]
    late_order = c.make_order()
    late_order["items"][-1]["qty"] = 0
    late_batch = c.make_batch(1000)
    late_batch["records"][-1]["qty"] = 0
    rows += [
        c.Workload("reject", "order, 1 late error", c.ORDER, "Order", [late_order], rejected=True),
        c.Workload("reject", "batch, 1 late error", c.ORDER, "Batch", [late_batch], rejected=True),
    ]
    for n in FIELD_COUNTS:
        names = [f"field_{i}" for i in range(n)]
        payload = c.wide_payload(names)
        rows.append(c.Workload("fields", f"record of {n} u32 fields", c.wide_schema(names), "Wide", [payload]))
    rows.append(c.Workload("one-off", "schema.validate, order", c.ORDER, "Order", [c.make_order()]))
    return rows


def child(samples, target, only):
    import compare
    import vorn_schema

    results = {"module": str(pathlib.Path(vorn_schema._vorn.__file__).parent), "us": {}}
    for w in workloads():
        if only and only not in w.name:
            continue
        schema = compare.Schema.parse(w.schema)
        if w.section == "one-off":

            def fn(payload, schema=schema, root=w.root):
                return schema.validate(root, payload)

        else:
            fn = schema.validator(w.root, compare.Limits(**w.limits))
        for road in w.roads:
            payloads = compare.road_payloads(w, road, w.payloads)
            for payload in payloads:
                try:
                    fn(payload)
                    accepted = True
                except compare.ValidationError:
                    accepted = False
                if accepted == w.rejected:
                    raise SystemExit(f"ab.py: {w.name}, {road}: accepted={accepted}, expected {not w.rejected}")
            n = compare.calibrate(fn, payloads, compare.ValidationError, target)
            best = min(compare.sample(fn, payloads, compare.ValidationError, n) for _ in range(samples))
            results["us"][f"{w.name}|{road}"] = best / n / w.per * 1e6
    json.dump(results, sys.stdout)


# --- The parent: rounds, table ---------------------------------------------------------------


def measure(pkg, args):
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(pkg), str(HERE)])}
    command = [sys.executable, __file__, "--child", "--samples", str(args.samples)]
    command += ["--only", args.only] if args.only else []
    out = json.loads(run_quietly(command, env=env))
    if not out["module"].startswith(str(pkg)):
        raise SystemExit(f"ab.py: the child imported vorn_schema from {out['module']}, not {pkg}")
    return out["us"]


def figure(us):
    return f"{us:#.4g}" if us < 1000 else f"{us:.0f}"


def table(ref_name, runs, markdown):
    ref, new = runs["ref"], runs["new"]
    lines = []
    if markdown:
        lines += [f"| workload | road | {ref_name} us | new us | new/{ref_name} |", "|---|---|---|---|---|"]
    else:
        lines.append(f"{'workload':34}{'road':8}{ref_name + ' us':>12}{'new us':>10}{'new/ref':>9}  rounds")
    logs = []
    for key in ref[0]:
        name, road = key.split("|")
        a, b = min(r[key] for r in ref), min(r[key] for r in new)
        ratios = sorted(n[key] / r[key] for r, n in zip(ref, new))
        logs.append(math.log(b / a))
        if markdown:
            lines.append(f"| {name} | {road} | {figure(a)} | {figure(b)} | {b / a:.2f} |")
        else:
            lines.append(
                f"{name:34}{road:8}{figure(a):>12}{figure(b):>10}{b / a:9.2f}  {ratios[0]:.2f}-{ratios[-1]:.2f}"
            )
    mean = math.exp(sum(logs) / len(logs))
    lines.append(f"| geometric mean | | | | {mean:.2f} |" if markdown else f"{'geometric mean':54}{mean:17.2f}")
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("ref", nargs="?", help="git commit-ish to compare the working tree against")
    parser.add_argument("--rounds", type=int, default=4, help="processes per build (default 4)")
    parser.add_argument("--samples", type=int, default=7, help="samples per workload and process (best counts)")
    parser.add_argument("--only", help="only the workloads whose name contains this text")
    parser.add_argument("--markdown", action="store_true", help="print the table in Markdown")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child:
        return child(args.samples, 0.005, args.only)
    if not args.ref:
        parser.error("REF is required")

    commit = run_quietly(["git", "-C", ROOT, "rev-parse", "--verify", f"{args.ref}^{{commit}}"]).strip()
    pkgs = {"ref": build_ref(commit), "new": build_worktree()}
    # Each child imports a copy at a path of the same length: the lengths of the paths a
    # process holds shift its heap and stack, which alone moved a workload by 5%.
    for side, pkg in pkgs.items():
        copy = CACHE / "run" / side
        shutil.rmtree(copy, ignore_errors=True)
        shutil.copytree(pkg, copy, ignore=shutil.ignore_patterns("__pycache__"))
        pkgs[side] = copy
    runs = {"ref": [], "new": []}
    start = time.perf_counter()
    for i in range(args.rounds):
        for side in ("ref", "new") if i % 2 == 0 else ("new", "ref"):
            runs[side].append(measure(pkgs[side], args))
        print(f"round {i + 1}/{args.rounds} done ({time.perf_counter() - start:.0f} s)", flush=True)
    ref_name = commit[:7]
    print(f"\nref {ref_name} ({args.ref}) against the working tree ({describe_worktree()});")
    print(f"best of {args.samples} samples x {args.rounds} rounds, us per call (per key for key rows)\n")
    print(table(ref_name, runs, args.markdown))
    return 0


if __name__ == "__main__":
    sys.exit(main())
