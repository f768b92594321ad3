"""The checks the board tests judge the board's files by: whole records, damage
after a power cut, the last-seen file, and the stick's files read from the host.
They need no board."""
import subprocess

import pytest

import records
import sticks
from test_power_cuts import judge

SERIAL = b"SN-0042\n"
FIRST = records.header(b" ", b"08-00-05", SERIAL)
ROWS = records.row(b"07-12-2026", b"08-10-12", b"1.25") + records.row(b"07-12-2026", b"08-10-13", b"1.20")
STOP = b"\nEquipment Stop Time:08-10-13"
SECOND = records.header(b" ", b"08-30-00", SERIAL)
DAY = FIRST + ROWS + STOP + SECOND + records.row(b"07-12-2026", b"08-31-00", b"655.35")
PATH = records.tagsheet_name("07-12-2026")


def test_a_day_of_runs_reads_as_whole_records():
    parsed = records.Parsed(DAY, SERIAL)
    assert parsed.whole
    assert [kind for kind, _ in parsed.records] == ["header", "row", "row", "stop", "header", "row"]
    assert [row.group("distance") for row in parsed.rows] == [b"1.25", b"1.20", b"655.35"]
    assert parsed.of("header")[1].group("last") == b" "


@pytest.mark.parametrize("tail", [
    b"\0" * 37,                                   # the file grew, its data never came
    records.row(b"07-12-2026", b"08-31-01", b"1.5")[:-3],  # a row cut short
    b"07-12-2026    08-31-01        1.2\n",       # one decimal: not a row the logger writes
    b"\nEquipment Stop Time:08-3",                # a stop line cut short
])
def test_damage_is_found_and_the_rows_before_it_still_count(tail):
    parsed = records.Parsed(DAY + tail, SERIAL)
    assert not parsed.whole
    assert len(parsed.rows) == 3
    assert parsed.damage_at == len(DAY)
    assert "unreadable from byte %d" % len(DAY) in parsed.describe_damage(DAY + tail)


def test_a_header_with_another_serial_number_is_not_a_record():
    assert not records.Parsed(records.header(b" ", b"08-00-05", b"SN-9\n"), SERIAL).whole


@pytest.mark.parametrize("content,valid", [
    (b" ", True), (b"08-10-13", True), (b"", False), (b"8-10-13", False),
    (b"08-10-13\n", False), (b"\0" * 8, False), (None, False)])
def test_last_seen_file_is_a_time_or_one_space(content, valid):
    assert records.last_seen_is_valid(content) == valid


def test_judging_a_crash_state_counts_rows_and_names_each_damaged_file():
    other = records.tagsheet_name("08-12-2026")
    rows, damaged = judge({PATH: DAY, other: FIRST + b"\0\0", records.LAST_SEEN: b""}, SERIAL)
    assert rows == 3
    assert set(damaged) == {other, records.LAST_SEEN}
    assert judge({PATH: DAY, records.LAST_SEEN: b"08-31-00"}, SERIAL) == (3, {})


def test_a_stick_is_read_back_from_the_host_whole(tmp_path):
    source = tmp_path / "Non-Tag-07-12-2026.txt"
    source.write_bytes(DAY + b"\0")
    image = str(tmp_path / "stick.img")
    sticks.make(image, "FIELDSTICK", [str(source)])
    inner = "%s@@%d" % (image, sticks.START_SECTOR * 512)
    subprocess.run(["mmd", "-i", inner, "::/07-12-2026"], check=True)
    subprocess.run(["mcopy", "-i", inner, str(source), "::/07-12-2026/" + source.name], check=True)
    assert sticks.files(image) == {"/" + source.name: DAY + b"\0",
                                   "/07-12-2026/" + source.name: DAY + b"\0"}
    assert sticks.check(image, str(tmp_path / "part"))[0] == 0
