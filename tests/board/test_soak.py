"""A soak: one board's power cut again and again, each boot taking up what
the cut before left, with exports among the cuts (and the restarts they
make). Every cut is read from the host as in the power cuts' scenario; here
damage and lost rows would add up from cut to cut, as in the field. About
two minutes a cut: scripts/board-test --soak makes 100 (--cuts). Each cut's
record is also added to soak/cuts.jsonl as it is made, to follow a long soak."""
import json
import os
import random
import statistics

import pytest

import records
import snapshots
from test_power_cuts import EXPORT_EVERY, boot_after_cut, crash_state, frame_counts, judge
from test_power_cuts import until_the_cut

pytestmark = pytest.mark.scenario(16, "A soak: power cuts one after another")


def soak_cut(board, number, rng, counts, folder, rows_before, serial):
    """Streams (or exports) until a random moment and cuts the power; the
    cut's record, and the files the next boot finds."""
    record = {"cut": number + 1, "during": "streaming", "rows_before": rows_before}
    stick = None
    if rng.randrange(EXPORT_EVERY) == 0:
        record["during"] = "export"
        stick = os.path.join(folder, "stick-%d.img" % (number + 1))
    inside = until_the_cut(board.qemu, counts, rng, record, stick)
    board.qemu.kill()
    status, files = crash_state(os.path.join(folder, snapshots.SAVED),
                                os.path.join(folder, "crash"))
    rows, damaged = judge(files, serial)
    record.update(e2fsck=status, rows_sent=rows_before + inside, rows_found=rows,
                  rows_lost=rows_before + inside - rows, damaged=damaged,
                  last_seen=(files.get(records.LAST_SEEN) or b"").decode(errors="replace"))
    if stick:
        os.remove(stick)
    return record, files


@pytest.fixture(scope="module")
def soak(settings, figures, installed_facts):
    folder = settings.path("soak")
    board = snapshots.restore(settings, folder)
    serial = board.serial_number()
    board.sh("sync")
    rows = board.rows()
    rng = random.Random(settings.seed)
    counts = frame_counts(rng)
    done, boots, files = [], [], {}
    for number in range(settings.cuts):
        if number:
            board, seconds = boot_after_cut(settings, folder, files)
            boots.append(seconds)
        record, files = soak_cut(board, number, rng, counts, folder, rows, serial)
        rows = record["rows_found"]
        done.append(record)
        with open(os.path.join(folder, "cuts.jsonl"), "a") as progress:
            progress.write(json.dumps(record) + "\n")
    lost = [record["rows_lost"] for record in done]
    figures["soak"] = {
        "seed": settings.seed, "cuts": len(done),
        "during_export": sum(record["during"] == "export" for record in done),
        "rows_at_the_end": rows,
        "cuts_with_damaged_files": sum(bool(record["damaged"]) for record in done),
        "damaged_files": sum(len(record["damaged"]) for record in done),
        "rows_lost_median": statistics.median(lost), "rows_lost_worst": max(lost),
        "boot_seconds_median": round(statistics.median(boots), 1) if boots else None,
        "each": done}
    return done


def test_no_cut_leaves_a_damaged_file_nor_takes_rows_already_on_disk(soak, settings):
    """cut after cut on one board: the file system recovers every time, only whole records and a valid last-seen file, and no cut takes rows the boot before it found"""
    assert len(soak) == settings.cuts
    for record in soak:
        assert record["e2fsck"] < 4, record
        assert record["damaged"] == {}, record
        assert record["rows_found"] >= record["rows_before"], record
