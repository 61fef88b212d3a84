"""korvane.batch on a real Dask cluster: two worker processes on loopback.

The command's part files against the single-process command line
(``korvane-commerce enrich``) for the same results, bad lines among them; a
worker killed in the middle of a task; a rerun after a partial run."""

from __future__ import annotations

import json
import os
import random
import shutil
import signal
import subprocess
import sys
import threading
import time
from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any, Dict, List, Optional

import pytest

from conftest import EXAMPLES, REPOSITORY, LocalServer, product_page

distributed = pytest.importorskip("distributed")
# (Dask's client on Python 3.11 makes its event loop current the old way.)
pytestmark = pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")

from korvane.batch import enrich_records  # noqa: E402
from korvane.batch.command import main  # noqa: E402

PAGES = EXAMPLES / "pages"


def cli_program() -> Optional[str]:
    return os.environ.get("KORVANE_CLI") or shutil.which("korvane-commerce")


@pytest.fixture(scope="module")
def cluster() -> Iterator[Any]:
    """A local cluster of 2 worker processes (one thread each) on loopback,
    and a client of it."""
    import logging

    with distributed.LocalCluster(
        n_workers=2,
        threads_per_worker=1,
        processes=True,
        host="127.0.0.1",
        dashboard_address=None,
        silence_logs=logging.ERROR,
    ) as local, distributed.Client(local) as client:
        yield client


def search_results(count: int) -> List[str]:
    """``count`` JSON lines drawn from the bundled example: 5 to 15 of its
    matches in random order, as an array, an object, an object with
    shopping offers or with an id; lines 18, 61 and 100 are bad (broken JSON,
    blank, a match without a link)."""
    example = json.loads((EXAMPLES / "visual-search-result.json").read_text(encoding="utf-8"))
    matches, offers = example["visual_matches"], example["shopping_results"]
    lines: List[str] = []
    for i in range(count):
        rng = random.Random(i)
        chosen = rng.sample(matches, rng.randint(5, 15))
        record: Any = chosen
        if i % 4:
            record = {"visual_matches": chosen}
            if i % 4 == 2:
                record["shopping_results"] = rng.sample(offers, 2)
            if i % 4 == 3:
                record["id"] = f"result-{i}"
        lines.append(json.dumps(record))
    lines[17] = '{"visual_matches": [{"title": "cut off'
    lines[60] = ""
    lines[99] = json.dumps({"id": "no-link", "visual_matches": [{"title": "A match without a link"}]})
    return lines


def read_parts(output: Path) -> List[Dict[str, Any]]:
    parts = sorted(output.glob("part-*.jsonl"))
    return [json.loads(line) for part in parts for line in part.read_text(encoding="utf-8").splitlines()]


def run_command(args: List[Any]) -> int:
    return main([str(a) for a in args])


def test_parts_equal_the_command_line_result_by_result(tmp_path: Path) -> None:
    found = cli_program()
    if found is None:
        pytest.skip("korvane-commerce not built")
    program: str = found
    lines = search_results(240)
    inputs = [tmp_path / "a.jsonl", tmp_path / "b.jsonl"]
    inputs[0].write_text("\n".join(lines[:150]) + "\n", encoding="utf-8")
    inputs[1].write_text("\r\n".join(lines[150:]), encoding="utf-8")  # CRLF, no final line end
    output = tmp_path / "out"
    # The whole command, with a local cluster of its own.
    done = subprocess.run(
        [sys.executable, "-m", "korvane.batch", str(tmp_path / "*.jsonl"), "--output", str(output),
         "--workers", "2", "--partition-size", "40", "--pages", str(PAGES), "--no-resolve"],
        capture_output=True, text=True, timeout=120,
    )
    assert done.returncode == 0, done.stderr
    assert "240 results in 7 parts (0 parts written before)" in done.stderr
    assert "3 errors" in done.stderr
    # 4 parts of the first file (40, 40, 40, 30 lines), 3 of the second.
    assert sorted(p.name for p in output.glob("part-*")) == [f"part-{i:05d}.jsonl" for i in range(7)]
    answers = read_parts(output)
    assert len(answers) == 240

    # Every line in input order with its identity, the same JSON as the
    # command line writes for it alone.
    def expected(number: int, line: str) -> Dict[str, Any]:
        record = tmp_path / f"result-{number}.json"
        record.write_text(line, encoding="utf-8")
        cli = subprocess.run([program, "enrich", str(record), "--pages", str(PAGES), "--no-resolve", "-q"],
                             capture_output=True, text=True, timeout=60)
        return {"exit": cli.returncode, "json": json.loads(cli.stdout) if cli.returncode == 0 else None}

    with ThreadPoolExecutor(max_workers=2) as pool:
        alone = list(pool.map(expected, range(1, 241), lines))
    for number, (answer, line, cli) in enumerate(zip(answers, lines, alone), start=1):
        identity = json.loads(line).get("id", number) if line.startswith("{") and number != 18 else number
        assert answer["id"] == identity
        if cli["exit"] == 0:
            assert {"summary": answer["summary"], "items": answer["items"]} == cli["json"], f"line {number}"
        else:
            assert set(answer) == {"id", "error"}, f"line {number}"
    errors = {a["id"]: a["error"] for a in answers if "error" in a}
    assert list(errors) == [18, 61, "no-link"]
    assert errors[18].startswith("line 18: line 1, column 39: invalid JSON")
    assert errors[61] == "line 61: empty line"
    assert errors["no-link"] == "line 100: visual_matches[0].link is missing"


def test_a_worker_killed_in_the_middle_of_a_task_gives_every_result_once(
    tmp_path: Path, cluster: Any, server: LocalServer
) -> None:
    # 20 results of one slow page each: two parts of 10, each taking about
    # 3 s (4 results at once, 1 s a page), one on each worker.
    lines = [json.dumps([{"link": server.add(f"/p/{i}", product_page(f"Item {i}"), delay=1.0), "title": f"Item {i}"}])
             for i in range(20)]
    source = tmp_path / "in.jsonl"
    source.write_text("\n".join(lines) + "\n", encoding="utf-8")
    output = tmp_path / "out"
    status: List[int] = []
    command = threading.Thread(target=lambda: status.append(run_command(
        [source, "--output", output, "--scheduler", cluster.scheduler.address, "--partition-size", 10,
         "--no-resolve", "--allow-private"])))
    command.start()
    # Once pages are asked for, kill a worker that is working on a part.
    assert server.requested["/p/0"].wait(30) or server.requested["/p/10"].wait(30)
    deadline = time.monotonic() + 10
    busy: List[str] = []
    while not busy and time.monotonic() < deadline:
        busy = [address for address, keys in cluster.processing().items() if keys]
    assert busy
    pids = cluster.run(os.getpid)
    os.kill(pids[busy[0]], signal.SIGKILL)
    asked = [path for path, event in server.requested.items() if event.is_set()]
    for path in asked:
        server.requested[path].clear()
    command.join(120)
    assert status == [0]
    # The killed worker's part ran again from its start.
    assert any(server.requested[path].is_set() for path in asked)

    answers = read_parts(output)
    assert [a["id"] for a in answers] == list(range(1, 21))
    assert [a["items"][0]["title"] for a in answers] == [f"Item {i}" for i in range(20)]
    expected = enrich_records(lines, allow_private=True, resolve_stores=False, concurrency=20)
    assert answers == [json.loads(e.line) for e in expected]


def test_a_rerun_computes_only_the_parts_not_written(tmp_path: Path, cluster: Any) -> None:
    source = tmp_path / "in.jsonl"
    source.write_text("\n".join(search_results(120)) + "\n", encoding="utf-8")
    output = tmp_path / "out"
    args: List[Any] = [source, "--output", output, "--scheduler", cluster.scheduler.address,
                       "--partition-size", 30, "--pages", PAGES, "--no-resolve"]
    assert run_command(args) == 0
    first = {p.name: p.read_text(encoding="utf-8") for p in output.glob("part-*.jsonl")}
    assert len(first) == 4

    # As after a crash while part 2 was being written: its temporary file
    # half written, no part file. Part 0 is marked to show it is not written
    # again.
    (output / "part-00002.jsonl").rename(output / "part-00002.jsonl.tmp")
    with open(output / "part-00002.jsonl.tmp", "r+", encoding="utf-8") as half:
        half.truncate(100)
    (output / "part-00000.jsonl").write_text("kept\n", encoding="utf-8")
    assert run_command(args) == 0
    assert (output / "part-00000.jsonl").read_text(encoding="utf-8") == "kept\n"
    assert (output / "part-00002.jsonl").read_text(encoding="utf-8") == first["part-00002.jsonl"]
    assert sorted(p.name for p in output.iterdir()) == ["_batch.json"] + sorted(first)

    # Other settings into the same folder are refused; nothing is written.
    assert run_command(args + ["--extended"]) == 1
    assert (output / "part-00000.jsonl").read_text(encoding="utf-8") == "kept\n"


def test_a_signal_stops_the_command_cleanly_and_a_rerun_continues(tmp_path: Path) -> None:
    """Ctrl-C reaches the whole process group (the command and its workers):
    one line, exit 130, the parts written kept, no temporary part, no worker
    left; the same command then computes the rest."""
    source = tmp_path / "in.jsonl"
    source.write_text("\n".join(search_results(100) * 10) + "\n", encoding="utf-8")
    output = tmp_path / "out"
    command = [sys.executable, "-m", "korvane.batch", str(source), "--output", str(output), "--workers", "1",
               "--partition-size", "10", "--pages", str(PAGES), "--no-resolve"]
    # (As from a terminal: SIGINT handled, also when this test runs where it
    # is ignored, e.g. as a background job of a script.)
    with subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                          start_new_session=True,
                          preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL)) as run:
        deadline = time.monotonic() + 60
        while not list(output.glob("part-*.jsonl")) and time.monotonic() < deadline and run.poll() is None:
            time.sleep(0.05)
        os.killpg(run.pid, signal.SIGINT)
        _, errors = run.communicate(timeout=60)
    assert run.returncode == 130, errors
    lines = errors.splitlines()
    assert len(lines) == 1 and lines[0].endswith("parts done; run again to continue"), errors
    done = int(lines[0].split("stopped: ")[1].split(" of ")[0])
    assert 0 < done < 100 and len(list(output.glob("part-*.jsonl"))) == done
    assert not list(output.glob("*.tmp"))
    # (Python's resource tracker of the command ends once it sees the command gone.)
    deadline = time.monotonic() + 10
    while (left := subprocess.run(["pgrep", "-a", "-s", str(run.pid)], capture_output=True, text=True).stdout) and (
            time.monotonic() < deadline):
        time.sleep(0.1)
    assert left == "", "processes of the stopped command are still running"

    rerun = subprocess.run(command, capture_output=True, text=True, timeout=120)
    assert rerun.returncode == 0, rerun.stderr
    assert f"({done} parts written before)" in rerun.stderr
    assert len(read_parts(output)) == 1000


def test_a_part_that_cannot_be_written_leaves_no_temporary_file(
    tmp_path: Path, cluster: Any, monkeypatch: pytest.MonkeyPatch
) -> None:
    source = tmp_path / "in.jsonl"
    source.write_text("\n".join(search_results(100)[:20]) + "\n", encoding="utf-8")
    output = tmp_path / "out"
    args: List[Any] = [source, "--output", output, "--scheduler", cluster.scheduler.address,
                       "--partition-size", 10, "--pages", PAGES, "--no-resolve"]

    def full_disk(fd: int) -> None:
        raise OSError(28, "No space left on device")

    monkeypatch.setattr("korvane.batch.command.os.fsync", full_disk)
    assert run_command(args) == 1
    assert sorted(p.name for p in output.iterdir()) == ["_batch.json"]
    monkeypatch.undo()
    assert run_command(args) == 0
    assert len(read_parts(output)) == 20


def test_command_messages_say_what_is_wrong(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    source = tmp_path / "in.jsonl"
    source.write_text("[]\n", encoding="utf-8")
    (tmp_path / "a-file").write_text("", encoding="utf-8")
    cases = [
        ([source, "--output", tmp_path / "a-file"], "a-file: not a folder"),
        ([tmp_path / "missing.jsonl", "--output", tmp_path / "out"], "missing.jsonl: no such file"),
        ([tmp_path, "--output", tmp_path / "out"], ": is a folder, not a file"),
    ]
    for args, message in cases:
        assert run_command(args) == 1
        assert message in capsys.readouterr().err
    # Parts of another version of the library are not mixed with this one's.
    (tmp_path / "old").mkdir()
    (tmp_path / "old" / "_batch.json").write_text('{"version": "0.0.1", "inputs": [], "settings": {}}')
    assert run_command([source, "--output", tmp_path / "old"]) == 1
    assert "written by version 0.0.1 of korvane" in capsys.readouterr().err


def test_enrich_records_identities_and_input_forms() -> None:
    example = json.loads((EXAMPLES / "visual-search-result.json").read_text(encoding="utf-8"))
    matches = example["visual_matches"][:3]
    answers = enrich_records(
        [
            json.dumps(matches),                                  # text: numbered by position
            json.dumps({"id": 7, "visual_matches": matches}).encode(),  # bytes with an id
            {"visual_matches": matches, "id": {"shop": "a", "n": 1}},   # a dict, any JSON as id
            (41, matches),                                        # a list with its own number
            "[{}]",
            '{"id": 12345678901234567890123, "visual_matches": []}',  # ids of any size, kept exactly
            {"id": 12345678901234567890124, "visual_matches": matches},
        ],
        start=10,
        pages=PAGES,
        resolve_stores=False,
    )
    assert [a.id for a in answers] == [
        10, 7, {"shop": "a", "n": 1}, 41, 14, 12345678901234567890123, 12345678901234567890124]
    assert json.loads(answers[5].line)["id"] == 12345678901234567890123
    assert [a.items for a in answers] == [3, 3, 3, 3, 0, 0, 3]
    assert len({json.dumps(json.loads(a.line)["items"]) for a in answers[:4] + answers[6:]}) == 1
    assert answers[4].error == "line 14: [0].link is missing"
    assert json.loads(answers[4].line) == {"id": 14, "error": answers[4].error}
    assert enrich_records([], pages=PAGES) == []
