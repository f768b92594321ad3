"""The field year's oracle finds what it is there to find: a damaged line, a
detection missing, a row written twice."""
import os
import time

import pytest

from field_year import oracle

SERIAL = b"SN-0042\n"
HEADER = (b"Equipment Stop Time: \n\n\nEquipment Start Time:08-00-05\nSerial No:SN-0042\n\n"
          b"    Date       Time     Distance of Object\n")
ROW_1 = b"07-12-2026    08-10-12        1.25\n"
ROW_2 = b"07-12-2026    08-10-13        12.40\n"
STOP = b"\nEquipment Stop Time:08-10-13"
SECOND_HEADER = HEADER.replace(b"Equipment Stop Time: ", b"Equipment Stop Time:08-10-13", 1)


@pytest.fixture(autouse=True)
def london():
    before = os.environ.get("TZ")
    os.environ["TZ"] = "Europe/London"
    time.tzset()
    yield
    os.environ.pop("TZ") if before is None else os.environ.update(TZ=before)
    time.tzset()


def test_whole_records_have_no_damaged_line():
    content = HEADER + ROW_1 + ROW_2 + STOP + SECOND_HEADER + ROW_1 + STOP + ROW_2
    assert oracle.damaged_lines(content, SERIAL) == []


@pytest.mark.parametrize("content", [
    HEADER + ROW_1[:-5],  # a row cut short, no line end
    HEADER + ROW_1[:20] + b"\n",  # a row cut short, its line end after it
    HEADER + b"07-13-2026    08-10-12        1.25\n",  # no such month
    HEADER + b"07-12-2026    08-10-12        1.2\n",  # one decimal
    HEADER + b"\0\0\0\0",  # the length committed, the data not
    HEADER.replace(b"Serial No:SN-0042", b"Serial No:SN-0043"),
    HEADER + STOP[:12],  # a stop label cut short
])
def test_a_damaged_line_is_found(content):
    assert oracle.damaged_lines(content, SERIAL) != []


def test_rows_are_counted_by_date_time_and_distance_also_after_a_stop_line():
    keys = oracle.row_keys(HEADER + ROW_1 + STOP + ROW_1 + ROW_2)
    assert keys == {(b"07-12-2026", b"08-10-12", b"1.25"): 2, (b"07-12-2026", b"08-10-13", b"12.40"): 1}


def test_distance_text_is_the_count_in_metres_with_two_decimals():
    assert [oracle.distance_text(count) for count in (5, 125, 1240, 65535)] == [
        b"0.05", b"1.25", b"12.40", b"655.35"]


def batch_at(epoch, counts, read_after=0.4):
    batch = oracle.Batch(written=0, fake_from=epoch, counts=counts, end_frame=0, run=1)
    batch.fake_to = epoch + read_after
    return batch


# 07-12-2026 08:10:12 in London (no summer time in December)
AT_08_10_12 = 1796631012


def test_a_detection_is_found_within_the_seconds_of_its_batch_only():
    texts = oracle.LocalTexts()
    keys = oracle.row_keys(HEADER + ROW_1)
    assert oracle.find(batch_at(AT_08_10_12 + 0.7, [125]), 125, keys, texts) is not None
    assert oracle.find(batch_at(AT_08_10_12 + 60, [125]), 125, keys, texts) is None
    assert oracle.find(batch_at(AT_08_10_12, [126]), 126, keys, texts) is None


def test_summer_time_is_read_in_the_zone():
    texts = oracle.LocalTexts()
    assert texts.of(AT_08_10_12) == (b"07-12-2026", b"08-10-12")
    assert texts.of(1814511600) == (b"02-07-2027", b"08-00-00")  # 07:00 UTC in summer


def test_a_row_written_twice_is_a_duplicate_unless_two_detections_could_have_written_it():
    texts = oracle.LocalTexts()
    keys = oracle.row_keys(HEADER + ROW_1 + ROW_1)
    once = [batch_at(AT_08_10_12, [125])]
    assert oracle.unexplained_duplicates(keys, once, texts) == {
        (b"07-12-2026", b"08-10-12", b"1.25"): 2}
    relived = once + [batch_at(AT_08_10_12, [125])]  # the clock went back over that second
    assert oracle.unexplained_duplicates(keys, relived, texts) == {}
