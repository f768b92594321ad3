"""kestrel-report's CSV files as a spreadsheet reads them: LibreOffice Calc imports them (as
UTF-8, the byte-order mark's encoding, with dates and times recognised, as Excel does) and
saves them as .xlsx, whose cells openpyxl reads back. In English and in German, which writes
1,05 for 1.05."""
import datetime
import os
import subprocess

import openpyxl
import pytest

from steps import header, row, run_report, stop_line
from tagsheet_format import relative_path

SOFFICE = "/usr/bin/soffice"
ENGLISH_US, GERMAN = 1033, 1031
SERIAL, ZEROS = b"1000000012345678", b"0000000012345678"


@pytest.fixture(scope="module")
def soffice():
    if not os.access(SOFFICE, os.X_OK):
        pytest.fail("%s is missing (scripts/install-deps spreadsheet)" % SOFFICE, pytrace=False)
    return SOFFICE


@pytest.fixture
def report(report_tool, folder):
    """The report of a stick with two runs: 16-digit serial numbers, a detection at 1.05 m,
    and a last-seen text that a spreadsheet would run as a formula."""
    sheet = folder / "stick" / relative_path("07-12-2026")
    sheet.parent.mkdir(parents=True)
    sheet.write_bytes(header(b" ", b"08-00-05", SERIAL + b"\n")
                      + row(b"07-12-2026", b"08-10-12", b"1.05")
                      + stop_line(b"08-10-12")
                      + header(b"=1+1", b"09-00-00", ZEROS + b"\n"))
    run_report(report_tool, folder / "stick", folder / "out")
    return folder / "out"


def as_read(soffice, csv, language, folder):
    """The rows of csv as LibreOffice imports it with the import dialog's language, as cells."""
    out = folder / ("xlsx-%d" % language)
    result = subprocess.run(
        [soffice, "-env:UserInstallation=" + (folder / "libreoffice").as_uri(), "--headless",
         # comma, quote, UTF-8, from line 1, no column types, language, quoted fields as any
         # other, dates and times recognised
         "--infilter=CSV:44,34,76,1,,%d,false,true" % language,
         "--convert-to", "xlsx", "--outdir", str(out), str(csv)],
        capture_output=True, timeout=180)
    assert result.returncode == 0, result.stderr.decode(errors="replace")
    sheet = openpyxl.load_workbook(out / (csv.stem + ".xlsx")).active
    return [list(cells) for cells in sheet.iter_rows()]


@pytest.mark.parametrize("language", [ENGLISH_US, GERMAN])
def test_the_tagsheets_texts_stay_text_digit_for_digit(soffice, report, folder, language):
    runs = as_read(soffice, report / "runs.csv", language, folder)
    # The byte-order mark is no part of the first name.
    assert [cell.value for cell in runs[0][:5]] == [
        "date", "start_time", "last_seen_before", "stop_text", "serial_number"]
    first, second = runs[1], runs[2]
    assert first[0].value == datetime.datetime(2026, 12, 7)
    assert first[1].value == datetime.time(8, 0, 5)
    serials = [first[4], second[4]]
    assert [cell.data_type for cell in serials] == ["s", "s"]
    assert [cell.value for cell in serials] == ["\t" + SERIAL.decode(), "\t" + ZEROS.decode()]
    assert (first[3].data_type, first[3].value) == ("s", "\t08-10-12")
    # A formula in a tagsheet stays a text behind its guard.
    assert (second[2].data_type, second[2].value) == ("s", "\t'=1+1")


def test_distances_are_numbers_where_the_import_is_told_english(soffice, report, folder):
    english = as_read(soffice, report / "detections.csv", ENGLISH_US, folder)
    german = as_read(soffice, report / "detections.csv", GERMAN, folder)
    assert [cell.value for cell in english[0]] == ["time", "distance", "file", "line"]
    assert english[1][0].value == german[1][0].value == datetime.datetime(2026, 12, 7, 8, 10, 12)
    assert english[1][1].value == 1.05
    # Why the README's import steps set the language: German reads 1.05 as a text.
    assert (german[1][1].data_type, german[1][1].value) == ("s", "1.05")
