"""Prints the benchmark table (markdown) from pytest-benchmark's JSON output."""
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


def main(path):
    with open(path) as fh:
        data = json.load(fh)
    groups = OrderedDict()
    for b in data["benchmarks"]:
        groups.setdefault(b["group"], []).append(b)

    print(machine(data))
    print()
    print("| workload | implementation | median | peer ÷ tesmerine | bytes/component |")
    print("|---|---|---|---|---|")
    for group, rows in groups.items():
        if group.startswith("resonator"):
            by_impl = OrderedDict()
            for b in rows:
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
                print(f"| {group}, {sweeps} sweeps | {base}{ok} | total {fmt_time(total)}, "
                      f"per sweep {fmt_time(sweep)} | total {fmt_ratio(total / t_total)}, "
                      f"per sweep {fmt_ratio(sweep / t_sweep)} | {extra['bytes_per_component']} |")
            continue
        ref = next(b for b in rows if b["extra_info"]["impl"] == "tesmerine")["stats"]["median"]
        for b in rows:
            impl = b["extra_info"]["impl"]
            median = b["stats"]["median"] / b["extra_info"].get("per_call_divisor", 1)
            if impl == "libm-cos-floor":
                ratio = f"tesmerine ÷ floor = {fmt_ratio(ref / median)}"
                size = ""
            elif impl == "tesmerine":
                ratio, size = "1×", b["extra_info"]["bytes_per_component"]
            else:
                ratio, size = fmt_ratio(median / ref), b["extra_info"]["bytes_per_component"]
            print(f"| {group} | {impl} | {fmt_time(median)} | {ratio} | {size} |")


if __name__ == "__main__":
    main(sys.argv[1])
