#!/usr/bin/env python3
"""Mutation runner: plants one slip at a time in a private copy of the tree and runs the tests
that should catch it.

    scripts/mutate.py                       every mutation in scripts/mutations.toml
    scripts/mutate.py --only frames,cli     only these layers
    scripts/mutate.py --id frames-crc-poly  only these mutations (comma-separated ids)
    scripts/mutate.py --list                print the mutations and check that each applies

Each mutation names a file, an exact text that must occur there once, its replacement, and the
test programs (build/bin/<name>, optionally with a gtest filter) to run. A mutation is killed when
a test fails (and fails again when rerun), survives when all pass, is flaky when a failed test
passes on the rerun, times out when a test hangs past the limit, and does not
build when the compiler refuses it. Mutations marked `equivalent` carry the reason why no test
can tell them apart; they are listed but not run and do not count in the kill ratio.

The work tree is never touched: the tracked and untracked files are copied to a private folder
(--work, default a temporary one), built there once, and each mutation is applied, rebuilt
incrementally and undone in that copy.
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import tomllib
from dataclasses import dataclass, field

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@dataclass
class Mutation:
    id: str
    layer: str
    file: str
    find: str
    replace: str
    tests: list
    filter: str = ""
    equivalent: str = ""
    what: str = ""
    outcome: str = ""
    detail: str = ""
    seconds: float = 0.0
    runs: list = field(default_factory=list)


def load(path):
    with open(path, "rb") as f:
        data = tomllib.load(f)
    out = []
    seen = set()
    for row in data.get("mutation", []):
        m = Mutation(
            id=row["id"],
            layer=row["layer"],
            file=row["file"],
            find=row["find"],
            replace=row["replace"],
            tests=list(row["tests"]),
            filter=row.get("filter", ""),
            equivalent=row.get("equivalent", ""),
            what=row.get("what", ""),
        )
        if m.id in seen:
            sys.exit(f"mutate: duplicate id {m.id}")
        seen.add(m.id)
        out.append(m)
    return out


def check_applies(m, tree):
    path = os.path.join(tree, m.file)
    if not os.path.exists(path):
        return f"no file {m.file}"
    text = open(path, encoding="utf-8").read()
    n = text.count(m.find)
    if n != 1:
        return f"text found {n} times in {m.file}"
    if m.find == m.replace:
        return "replacement equals the original"
    return ""


def copy_tree(dest):
    files = subprocess.run(
        ["git", "ls-files", "-co", "--exclude-standard", "-z"],
        cwd=ROOT, check=True, capture_output=True).stdout.decode().split("\0")
    for rel in files:
        if not rel:
            continue
        src = os.path.join(ROOT, rel)
        if not os.path.isfile(src):
            continue
        dst = os.path.join(dest, rel)
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        shutil.copy2(src, dst, follow_symlinks=False)


def run(cmd, cwd, timeout, env=None):
    """(returncode or None on time-out, output)."""
    p = subprocess.Popen(cmd, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         start_new_session=True)
    try:
        out, _ = p.communicate(timeout=timeout)
        return p.returncode, out.decode(errors="replace")
    except subprocess.TimeoutExpired:
        # The whole group: a hung test leaves simulators and helpers of its own behind.
        os.killpg(p.pid, signal.SIGKILL)
        out, _ = p.communicate()
        return None, out.decode(errors="replace")


def test_env():
    env = dict(os.environ)
    env["QT_QPA_PLATFORM"] = "offscreen"
    return env


def build(build_dir, targets, jobs, timeout):
    code, out = run(["cmake", "--build", build_dir, "-j", str(jobs), "--target", *targets],
                    cwd=build_dir, timeout=timeout)
    return code == 0, out


def run_tests(m, build_dir, timeout):
    """'killed', 'survived' or 'timed out', and a detail line."""
    for t in m.tests:
        # The first failure decides; the rest of a broken program would only run into its
        # time-outs (a wrong checksum fails every exchange slowly).
        cmd = [os.path.join(build_dir, "bin", t), "--gtest_brief=1", "--gtest_fail_fast"]
        if m.filter:
            cmd.append("--gtest_filter=" + m.filter)
        code, out = run(cmd, cwd=os.path.join(build_dir, "bin"), timeout=timeout, env=test_env())
        if code is None:
            return "timed out", f"{t} ran past {timeout} s"
        if code != 0:
            failed = [ln.split("]", 1)[1].strip().split(" (")[0] for ln in out.splitlines()
                      if ln.startswith("[  FAILED  ]") and "," not in ln and "test" not in ln[12:20]]
            if failed:
                # A timing test that a loaded machine tipped over is no kill: the failure must
                # come back when the failed tests run again on the same mutant.
                again, _ = run(cmd[:2] + ["--gtest_filter=" + ":".join(failed)],
                               cwd=os.path.join(build_dir, "bin"), timeout=timeout, env=test_env())
                if again == 0:
                    return "flaky", f"{t}: {failed[0]} failed once, passed again"
            return "killed", f"{t}: {failed[0] if failed else 'exit ' + str(code)}"
    return "survived", ""


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--mutations", default=os.path.join(ROOT, "scripts", "mutations.toml"))
    ap.add_argument("--only", default="", help="layers, comma-separated")
    ap.add_argument("--id", default="", help="mutation ids, comma-separated")
    ap.add_argument("--list", action="store_true", help="list and check the mutations, run nothing")
    ap.add_argument("--work", default="", help="private folder for the copy and its build (kept)")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--timeout", type=int, default=300, help="seconds per test program")
    ap.add_argument("--build-timeout", type=int, default=1200)
    args = ap.parse_args()

    muts = load(args.mutations)
    if args.only:
        layers = set(args.only.split(","))
        muts = [m for m in muts if m.layer in layers]
    if args.id:
        ids = set(args.id.split(","))
        muts = [m for m in muts if m.id in ids]

    if args.list:
        bad = 0
        for m in muts:
            why = check_applies(m, ROOT)
            bad += bool(why)
            mark = f"  !! {why}" if why else ""
            eq = "  (equivalent)" if m.equivalent else ""
            print(f"{m.layer:12} {m.id:40} {m.file}{eq}{mark}")
        print(f"{len(muts)} mutations, {bad} do not apply")
        return 1 if bad else 0

    work = args.work or tempfile.mkdtemp(prefix="konf-mutate-")
    tree = os.path.join(work, "src")
    build_dir = os.path.join(work, "build")
    if os.path.exists(tree):
        shutil.rmtree(tree)
    os.makedirs(tree)
    copy_tree(tree)
    print(f"private copy: {tree}", flush=True)

    env_cfg = ["cmake", "-S", tree, "-B", build_dir, "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
               "-DKONF_BUILD_BENCH=OFF"]
    if shutil.which("ccache"):
        env_cfg += ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache", "-DCMAKE_C_COMPILER_LAUNCHER=ccache"]
    code, out = run(env_cfg, cwd=work, timeout=args.build_timeout)
    if code != 0:
        sys.exit("mutate: configure failed\n" + out[-2000:])
    targets = sorted({t for m in muts if not m.equivalent for t in m.tests})
    ok, out = build(build_dir, targets, args.jobs, args.build_timeout)
    if not ok:
        sys.exit("mutate: the unmutated tree does not build\n" + out[-2000:])

    # Every test program must pass before any mutation means anything.
    for t in targets:
        code, out = run([os.path.join(build_dir, "bin", t), "--gtest_brief=1"],
                        cwd=os.path.join(build_dir, "bin"), timeout=args.timeout, env=test_env())
        if code != 0:
            sys.exit(f"mutate: {t} fails on the unmutated tree\n{out[-2000:]}")
    print(f"baseline: {len(targets)} test programs pass", flush=True)

    for i, m in enumerate(muts, 1):
        if m.equivalent:
            m.outcome = "equivalent"
            m.detail = m.equivalent
            continue
        why = check_applies(m, tree)
        if why:
            m.outcome, m.detail = "stale", why
            print(f"[{i}/{len(muts)}] {m.id}: stale ({why})", flush=True)
            continue
        path = os.path.join(tree, m.file)
        original = open(path, encoding="utf-8").read()
        start = time.monotonic()
        try:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original.replace(m.find, m.replace, 1))
            ok, out = build(build_dir, m.tests, args.jobs, args.build_timeout)
            if not ok:
                m.outcome = "no build"
                m.detail = next((ln.strip() for ln in out.splitlines() if "error" in ln), "")[:120]
            else:
                m.outcome, m.detail = run_tests(m, build_dir, args.timeout)
        finally:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original)
        m.seconds = time.monotonic() - start
        print(f"[{i}/{len(muts)}] {m.id}: {m.outcome} ({m.seconds:.0f} s) {m.detail}", flush=True)

    # Leave the copy's build matching the unmutated sources.
    build(build_dir, targets, args.jobs, args.build_timeout)

    print()
    print(f"{'layer':12} {'mutation':40} {'outcome':11} detail")
    for m in muts:
        print(f"{m.layer:12} {m.id:40} {m.outcome:11} {m.detail[:100]}")
    counted = [m for m in muts if m.outcome in ("killed", "survived", "timed out")]
    killed = [m for m in counted if m.outcome in ("killed", "timed out")]
    print()
    by_layer = {}
    for m in muts:
        row = by_layer.setdefault(m.layer, [0, 0, 0])
        row[0] += 1
        row[1] += m.outcome in ("killed", "timed out")
        row[2] += m.outcome == "equivalent"
    for layer, (n, k, e) in by_layer.items():
        print(f"{layer:12} {n:3} mutations, {k:3} killed, {e} equivalent")
    others = len(muts) - len(counted) - sum(m.outcome == "equivalent" for m in muts)
    ratio = 100.0 * len(killed) / len(counted) if counted else 0.0
    print(f"kill ratio: {len(killed)}/{len(counted)} = {ratio:.1f}% "
          f"(timed out counts as killed; {others} stale, flaky or not building, not counted)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
