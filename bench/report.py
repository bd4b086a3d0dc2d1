"""Prints the benchmark table (markdown) from pytest-benchmark's JSON output.

    python bench/report.py RUN.json [RUN2.json ...]

Several runs (say, one per kernel variant) are printed side by side.
"""
import json
import platform
import sys
from collections import OrderedDict


def fmt_time(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def fmt_ratio(x):
    return f"{x:.3g}×"


def machine(data):
    info = data["machine_info"]
    cpu = info.get("cpu", {}).get("brand_raw") or platform.processor()
    lines = [f"- CPU: {cpu}, {info.get('cpu', {}).get('count', '?')} logical cores; "
             f"{info.get('system')} {info.get('release')}, {info.get('machine')}",
             f"- Python {info.get('python_version')} ({info.get('python_implementation')})"]
    try:
        import numpy
        import torch
        import torchhd
        lines.append(f"- numpy {numpy.__version__}, torch {torch.__version__} (1 thread), "
                     f"torch-hd {getattr(torchhd, '__version__', '?')}")
    except ImportError:
        pass
    dispatch = data.get("tesmerine_dispatch")
    if dispatch:
        lines.append(f"- tesmerine kernels: {dispatch}")
    lines.append(f"- {data['datetime']}, commit {data.get('commit_info', {}).get('id', '?')[:10]}")
    return "\n".join(lines)


def rows(data):
    """(workload, implementation, median text, ratio text, bytes/component) of one run, in its order."""
    groups = OrderedDict()
    for b in data["benchmarks"]:
        groups.setdefault(b["group"], []).append(b)
    out = []
    for group, members in groups.items():
        if group.startswith("resonator"):
            by_impl = OrderedDict()
            for b in members:
                base = b["extra_info"]["impl"].split(" ")[0]
                by_impl.setdefault(base, {})[b["extra_info"]["sweeps"]] = b

            def times(base):
                runs = by_impl[base]
                setup = runs[0]["stats"]["median"]
                sweeps = max(runs)
                total = runs[sweeps]["stats"]["median"]
                return total, (total - setup) / sweeps, sweeps, runs[sweeps]["extra_info"]

            t_total, t_sweep, sweeps, _ = times("tesmerine")
            for base in by_impl:
                total, sweep, _, extra = times(base)
                ok = "" if extra.get("recovered", True) else f" (not yet recovered after {sweeps})"
                out.append((f"{group}, {sweeps} sweeps", f"{base}{ok}",
                            f"total {fmt_time(total)}, per sweep {fmt_time(sweep)}",
                            f"total {fmt_ratio(total / t_total)}, per sweep {fmt_ratio(sweep / t_sweep)}",
                            extra["bytes_per_component"]))
            continue
        ref = next(b for b in members if b["extra_info"]["impl"] == "tesmerine")["stats"]["median"]
        for b in members:
            impl = b["extra_info"]["impl"]
            median = b["stats"]["median"] / b["extra_info"].get("per_call_divisor", 1)
            if impl == "libm-cos-floor":
                ratio, size = f"tesmerine ÷ floor = {fmt_ratio(ref / median)}", ""
            elif impl == "tesmerine":
                ratio, size = "1×", b["extra_info"]["bytes_per_component"]
            else:
                ratio, size = fmt_ratio(median / ref), b["extra_info"]["bytes_per_component"]
            out.append((group, impl, fmt_time(median), ratio, size))
    return out


def main(paths):
    runs = []
    for path in paths:
        with open(path) as fh:
            runs.append(json.load(fh))
    print(machine(runs[0]))
    for data in runs[1:]:
        print(f"- then: tesmerine kernels: {data.get('tesmerine_dispatch', '?')}, {data['datetime']}")
    print()
    if len(runs) == 1:
        print("| workload | implementation | median | peer ÷ tesmerine | bytes/component |")
        print("|---|---|---|---|---|")
        for workload, impl, median, ratio, size in rows(runs[0]):
            print(f"| {workload} | {impl} | {median} | {ratio} | {size} |")
        return
    # Runs side by side (say, one per kernel variant), matched by workload
    # and implementation; the ratios of each column are within its own run.
    names = [data.get("tesmerine_dispatch", "?").split(" ")[0] for data in runs]
    tables = [{(w, i): (m, r, z) for w, i, m, r, z in rows(data)} for data in runs]
    print("| workload | implementation | " + " | ".join(f"{n}: median | {n}: peer ÷ tesmerine" for n in names)
          + " | bytes/component |")
    print("|---|---|" + "---|---|" * len(runs) + "---|")
    for workload, impl, _, _, size in rows(runs[0]):
        cells = []
        for table in tables:
            median, ratio, _ = table.get((workload, impl), ("–", "–", ""))
            cells += [median, ratio]
        print(f"| {workload} | {impl} | " + " | ".join(cells) + f" | {size} |")


if __name__ == "__main__":
    main(sys.argv[1:])
