"""vostrel_ray without Ray: the import hint, and shard routing that every process agrees on."""

import os
import subprocess
import sys
from pathlib import Path

# A run against a module built outside the venv (make asan, make portable-test) may find no installed vostrel_ray:
# the source tree's then, here and in the interpreters started below.
HOME = ""
try:
    import vostrel_ray
except ImportError:
    HOME = str(Path(__file__).resolve().parents[2] / "python")
    sys.path.insert(0, HOME)
    import vostrel_ray

KEYS = ["Ann", "Åre", "a\ud800b", "", b"raw", 0, -7, 2**70, 7.0, 2.5, float("inf"), True]
ROUTE = "import vostrel_ray; print([vostrel_ray.shard_of(k, 7) for k in {keys}])"


def test_routing_is_the_same_in_every_process():
    here = [vostrel_ray.shard_of(key, 7) for key in KEYS]
    for seed in ("1", "2"):
        code = ROUTE.format(keys=repr(KEYS).replace("inf", "float('inf')"))
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                             env={**os.environ, "PYTHONHASHSEED": seed,
                                  "PYTHONPATH": os.pathsep.join(filter(None, [HOME, os.environ.get("PYTHONPATH")]))}
                             ).stdout
        assert out.strip() == str(here)
    # Keys that compare equal (as an equality query matches them) share a shard.
    assert vostrel_ray.shard_of(7, 7) == vostrel_ray.shard_of(7.0, 7) and vostrel_ray.shard_of(True, 7) == 1
    for bad in (None, [1], (1,), object()):
        try:
            vostrel_ray.shard_of(bad, 7)
        except TypeError:
            continue
        raise AssertionError(f"{bad!r} was routed")


def test_missing_ray_names_the_extra(run_isolated):
    result = run_isolated(
        f"import sys\nsys.path[:0] = [{HOME!r}] if {HOME!r} else []\nsys.modules['ray'] = None\nimport vostrel_ray\n"
        "try:\n    vostrel_ray.ShardedIndex(2, 'id')\nexcept ImportError as err:\n    print(err)\n")
    assert result.stdout.strip() == 'vostrel_ray needs Ray: pip install "vostrel[ray]"', result.stderr
