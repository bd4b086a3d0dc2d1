import os
import sys

sys.path.insert(0, os.path.dirname(__file__))


def pytest_benchmark_update_json(config, benchmarks, output_json):
    # bench/run.sh names the kernel variant the run uses.
    output_json["tesmerine_dispatch"] = os.environ.get("TESMERINE_BENCH_VARIANT", "chosen at run time")
