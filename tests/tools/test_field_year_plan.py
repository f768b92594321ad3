"""The field year's calendar, its plan of sticks, its radar and its clock."""
import collections
import os
import random
import subprocess
import time
import types

import pytest

from field_year import year


@pytest.fixture(autouse=True)
def london():
    before = os.environ.get("TZ")
    os.environ["TZ"] = year.ZONE
    time.tzset()
    yield
    os.environ.pop("TZ") if before is None else os.environ.update(TZ=before)
    time.tzset()


def test_summer_time_changes_are_found_on_their_two_days_only():
    days = [year.day_of(year.FULL, index) for index in range(365)]
    assert [day for day in days if year.summer_time_change(day)] == [(2027, 3, 28), (2027, 10, 31)]


def test_the_month_crosses_a_summer_time_change():
    days = [year.day_of(year.SHORT, index) for index in range(year.SHORT.days)]
    assert any(year.summer_time_change(day) for day in days)


@pytest.mark.parametrize("form", [year.SHORT, year.FULL])
def test_every_failing_stick_comes_and_the_last_day_ends_with_a_good_one(form):
    plan = year.Life.export_plan(types.SimpleNamespace(form=form))
    assert {"full", "pulled", "read-only", "killed"} <= set(plan.values())
    assert plan[form.days - 1] == "good"
    assert max(plan) == form.days - 1


def test_detections_have_distances_of_their_own_for_a_long_while():
    detections = year.Detections()
    counts = detections.take(len(year.INSIDE_COUNTS))
    assert len(set(counts)) == len(counts)
    assert all(100 < count < 30000 for count in counts)  # inside 1 < distance < 300


def test_background_frames_stay_out_of_the_window():
    radar = year.Radar(random.Random(1))
    counts, walk = radar.chunk(walk_share=0.0)
    assert walk == [] and all(count <= 100 or count >= 30000 for count in counts)


FAKETIME_FOUND = os.path.exists(year.FAKETIME)


@pytest.mark.skipif(not FAKETIME_FOUND, reason="libfaketime is installed by scripts/install-deps e2e")
def test_with_the_shim_sleeps_last_as_long_as_asked_after_the_fake_clock_moved(folder):
    shim = year.build_shim(folder)
    clock = year.FakeClock(folder / "faketime")
    code = ("import time\n"
            "print(time.time())\n"
            "open(%r, 'w').write('+86400s\\n')\n"
            "began = time.monotonic(); time.sleep(0.2); print(time.monotonic() - began)\n"
            "print(time.time())\n" % str(clock.path))
    env = dict(os.environ, LD_PRELOAD="%s %s" % (shim, year.FAKETIME),
               FAKETIME_TIMESTAMP_FILE=str(clock.path), FAKETIME_NO_CACHE="1",
               FAKETIME_DONT_FAKE_MONOTONIC="1")
    result = subprocess.run(["/usr/bin/python3", "-c", code], env=env, capture_output=True, timeout=30)
    assert result.returncode == 0, result.stderr.decode(errors="replace")
    before, slept, after = (float(line) for line in result.stdout.split())
    assert abs(before - time.time()) < 5
    assert slept >= 0.2
    assert 86400 - 5 < after - before < 86400 + 5


HEADER = (b"Equipment Stop Time: \n\n\nEquipment Start Time:08-00-05\nSerial No:SN-0042\n\n"
          b"    Date       Time     Distance of Object\n")
ROW = b"07-12-2026    08-10-12        1.25\n"


def card_with(folder, content):
    tagsheet = folder / "07-12-2026" / "Non-Tag-07-12-2026.txt"
    tagsheet.parent.mkdir(exist_ok=True)
    tagsheet.write_bytes(content)
    findings = year.Findings()
    return year.Card(folder, findings), findings, tagsheet


def test_the_card_is_read_on_from_where_it_left_off_across_a_stop_line(folder):
    card, findings, tagsheet = card_with(folder, HEADER + ROW + b"\nEquipment Stop Time:08-10-12")
    card.read_on()
    with open(tagsheet, "ab") as file:
        file.write(HEADER.replace(b"Equipment Stop Time: ", b"Equipment Stop Time: ", 1) + ROW)
    card.read_on()
    assert card.keys[(b"07-12-2026", b"08-10-12", b"1.25")] == 2
    assert card.doubled == {(tagsheet, (b"07-12-2026", b"08-10-12", b"1.25"))}
    assert findings.damaged == [] and findings.shrunk == []


def test_the_card_tells_a_row_cut_short_and_a_tagsheet_cut_back(folder):
    card, findings, tagsheet = card_with(folder, HEADER + ROW)
    card.read_on()
    tagsheet.write_bytes(HEADER + ROW[:12])
    card.read_on()
    assert len(findings.shrunk) == 1 and len(findings.damaged) == 1


def test_the_year_plans_300_sticks_at_least():
    plan = year.Life.export_plan(types.SimpleNamespace(form=year.FULL))
    assert len(plan) >= 300
    assert sum(kind == "good" for kind in plan.values()) >= 250


class PlannedLife(year.Life):
    """The year's calendar alone: what it would stream and end, without a logger."""

    def __init__(self, form):
        self.form, self.rng = form, random.Random(7)
        self.jumps, self.days, self.exports, self.kills = collections.Counter(), [], [], []
        self.frames, self.alive, self.moments, self.box = 0, False, [], None

    def at(self, fake_epoch):
        pass

    def episode(self, fake_epoch, frames, walk_share, seconds=None):
        self.alive = True
        self.moments.append(("stream", fake_epoch))

    def end_run(self, how):
        self.alive = False
        self.moments.append(("end", how))

    def running(self):
        return self.alive

    def ensure_running(self):
        return True

    def export(self, kind):
        self.alive = False


def test_the_year_streams_across_four_summer_time_changes_the_second_time_after_an_end(
        monkeypatch):
    monkeypatch.setattr(year, "process_figures", lambda box: None)
    life = PlannedLife(year.FULL)
    life.live()
    assert life.jumps["summer-time changes streamed across"] >= 4
    for day in [(2027, 3, 28), (2027, 10, 31)]:
        change = year.summer_time_change(day)
        first = life.moments.index(("stream", change - 1))
        assert life.moments[first + 1:first + 3] == [
            ("end", "SIGKILL after a summer-time change"), ("stream", change - 1)]
