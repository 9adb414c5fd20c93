"""korvith.dask.read_xml: one partition per file, computed on a local
cluster of worker processes, equal to the single-process frames."""

from __future__ import annotations

import os
import pickle
import subprocess
import sys
import warnings
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest

pd = pytest.importorskip("pandas")
pytest.importorskip("pyarrow")
with warnings.catch_warnings():
    warnings.simplefilter("ignore", FutureWarning)  # dask without its query planner
    dask = pytest.importorskip("dask")
    pytest.importorskip("dask.dataframe")
from pandas.testing import assert_frame_equal  # noqa: E402

import korvith  # noqa: E402
import korvith.dask  # noqa: E402
from korvith import Plan  # noqa: E402

PLAN = Plan(attributes=["id"], name=str, price=float, qty=int, ok=bool, tag=[str],
            maker=Plan(who=str))


def write_files(directory: Path, count: int = 3) -> list[Path]:
    paths = []
    for f in range(count):
        items = "".join(
            f'<item id="{f}-{i}"><name>n{i}</name><price>{i * 1.5}</price><qty>{i}</qty>'
            f'<ok>{"true" if i % 2 else "false"}</ok><tag>a</tag><tag>b{i}</tag>'
            f'<maker><who>w{f}</who></maker></item>' for i in range(4 + f))
        if f == 1:
            items += "<item/>"  # every column missing
        path = directory / f"part{f}.xml"
        path.write_text(f"<feed>{items}</feed>")
        paths.append(path)
    return paths


def single_process(paths: list[Path], plan: Any = PLAN, **kwargs: Any) -> pd.DataFrame:
    frames = [korvith.read_xml(p, "item", plan, **kwargs) for p in paths]
    return pd.concat(frames, ignore_index=True)


@pytest.fixture(scope="module")
def client() -> Iterator[Any]:
    """Two worker processes; the test is skipped where the environment
    cannot start them (no sockets, no process spawning)."""
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("worker processes under the sanitizer build take too long to start; "
                    "the plain run covers the cluster")
    distributed = pytest.importorskip("distributed")
    try:
        cluster = distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                           dashboard_address=None, scheduler_port=0)
    except (OSError, RuntimeError, TimeoutError) as e:
        pytest.skip(f"cannot start a local cluster here: {e}")
    with cluster, distributed.Client(cluster) as c:
        yield c


# ------------------------------------------------------------ on the cluster

def test_cluster_result_equals_the_single_process_frames(client: Any, tmp_path: Path) -> None:
    paths = write_files(tmp_path)
    with dask.config.set({"dataframe.convert-string": True}):  # dask's default here
        frame = korvith.dask.read_xml(str(tmp_path / "part*.xml"), "item", PLAN)
        assert frame.npartitions == 3
        computed = frame.compute()
    expected = single_process(paths)
    assert_frame_equal(computed.reset_index(drop=True), expected)
    assert list(computed.index) == [0, 1, 2, 3, 0, 1, 2, 3, 4, 5, 0, 1, 2, 3, 4, 5]
    # list and record columns are not turned into their string form
    assert computed["tag"].iloc[0] == ["a", "b0"]
    assert computed["maker"].iloc[-1] == {"who": "w2"}
    pd.testing.assert_series_equal(frame.dtypes, expected.dtypes)
    assert computed["qty"].isna().sum() == 1 and str(computed["qty"].dtype) == "Int64"


def test_cluster_aggregates_across_partitions(client: Any, tmp_path: Path) -> None:
    paths = write_files(tmp_path)
    frame = korvith.dask.read_xml(paths, "item", {"@id": str, "qty": int, "price": float})
    assert frame["qty"].sum().compute() == sum(range(4)) + sum(range(5)) + sum(range(6))
    assert frame["id"].count().compute() == 15


def _records(data: bytes, tag: str, plan: Plan) -> list[dict]:
    return list(korvith.iterextract(data, tag, plan))


def test_nested_and_recursive_plans_travel_to_workers(client: Any) -> None:
    node = Plan(attributes=["n"])
    node.fields["node"] = [node]  # a plan that holds itself
    data = b'<t><node n="1"><node n="2"><node n="3"/></node><node n="4"/></node></t>'
    remote = client.submit(_records, data, "node", node, pure=False).result(timeout=60)
    assert remote == _records(data, "node", node)
    assert remote[-1] == {"n": "1", "node": [{"n": "2", "node": [{"n": "3", "node": []}]},
                                             {"n": "4", "node": []}]}


# ------------------------------------------------------------ without a cluster

@pytest.mark.filterwarnings("ignore:Running on a single-machine scheduler")
def test_synchronous_scheduler_and_list_order(tmp_path: Path) -> None:
    paths = write_files(tmp_path)
    order = [paths[2], paths[0]]
    frame = korvith.dask.read_xml(order, "item", ["@id", "name"], dtype_backend="numpy_nullable")
    computed = frame.compute(scheduler="sync").reset_index(drop=True)
    assert_frame_equal(computed, single_process(order, ["@id", "name"],
                                                dtype_backend="numpy_nullable"))
    assert computed["id"].iloc[0] == "2-0"


def test_graph_name_follows_file_content_and_plan(tmp_path: Path) -> None:
    (path,) = write_files(tmp_path, 1)
    first = korvith.dask.read_xml(path, "item", PLAN)
    assert korvith.dask.read_xml(path, "item", PLAN)._name == first._name
    assert korvith.dask.read_xml(path, "item", ["name"])._name != first._name
    path.write_text(path.read_text() + " ")  # new size: results of the old file do not apply
    assert korvith.dask.read_xml(path, "item", PLAN)._name != first._name


@pytest.mark.parametrize("args, kwargs, error, message", [
    (("{dir}/part0.xml", "item", PLAN), {"blocksize": 1 << 20}, NotImplementedError,
     "one partition per file"),
    (("{dir}/*.none", "item", PLAN), {}, FileNotFoundError, "no file matches"),
    (("{dir}/absent.xml", "item", PLAN), {}, FileNotFoundError, "absent.xml: No such file"),
    (("{dir}", "item", PLAN), {}, IsADirectoryError, "Is a directory"),
    ((["{dir}/part0.xml", 3], "item", PLAN), {}, TypeError, "a list holding int"),
    (([], "item", PLAN), {}, ValueError, "paths_or_glob names no file"),
    ((42, "item", PLAN), {}, TypeError, "paths_or_glob must be a path, a glob pattern"),
    (("{dir}/part0.xml", "", PLAN), {}, TypeError, "tag must be a non-empty str"),
    (("{dir}/part0.xml", "item", "name"), {}, TypeError, "plan must be a korvith.Plan"),
    (("{dir}/part0.xml", "item", PLAN), {"dtype_backend": "arrow"}, ValueError,
     "dtype_backend must be None"),
])
def test_bad_arguments(tmp_path: Path, args: tuple, kwargs: dict, error: type,
                       message: str) -> None:
    write_files(tmp_path, 1)

    def fill(value: Any) -> Any:
        if isinstance(value, str):
            return value.format(dir=tmp_path)
        if isinstance(value, list):
            return [fill(v) for v in value]
        return value
    with pytest.raises(error, match=message):
        korvith.dask.read_xml(*[fill(a) for a in args], **kwargs)


def test_partition_function_and_arguments_pickle(tmp_path: Path) -> None:
    (path,) = write_files(tmp_path, 1)
    frame = korvith.dask.read_xml(path, "item", PLAN)
    graph = dict(frame.__dask_graph__())
    restored = pickle.loads(pickle.dumps(graph))  # plain pickle: no closure in the tasks
    assert set(restored) == set(graph) == {(frame._name, 0)}


def test_missing_dask_says_what_to_install(tmp_path: Path) -> None:
    (path,) = write_files(tmp_path, 1)
    code = ("import sys; sys.modules['dask'] = None; sys.modules['dask.dataframe'] = None\n"
            "import korvith.dask\n"
            f"try:\n    korvith.dask.read_xml({str(path)!r}, 'item', ['name'])\n"
            "except ImportError as e:\n    print(e)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=60, env={**os.environ, "PYTHONWARNINGS": "ignore"})
    assert out.stdout.startswith("korvith.dask needs Dask's DataFrame: install python3-dask "
                                 "and python3-distributed (Debian)"), out.stderr
