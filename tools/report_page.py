#!/usr/bin/python3
"""Makes the report of a folder in kestrel-report.html as a person would: opens the page from
file://, chooses the folder, waits for the report and saves runs.csv, detections.csv (which
the page makes when asked) and report.html into OUT. Prints what the page shows as JSON, with
the seconds until the report showed and until each file was saved.

    tools/report_page.py PAGE FOLDER OUT [--measure] [--browser chromium|firefox|webkit]

--measure samples the memory of the browser's processes every 100 ms: the peak of their summed
proportional set size (PSS) and the peak resident set of the largest one, while the report
is made and while detections.csv is. The browser is Chromium unless --browser names another.
"""
import argparse
import json
import time
from pathlib import Path

from browser import BROWSERS, MemoryPeak, open_browser

OUTPUTS = ("runs.csv", "detections.csv", "report.html")
FINISHED = "body[data-state=done], body[data-state=failed]"

# The report's facts: the terms of its first list and what each says.
FACTS = """
return [...document.querySelectorAll('dl.facts dt')].map(
  (term) => [term.textContent, term.nextElementSibling.textContent]);
"""


def read_folder(browser, folder, timeout):
    """Chooses folder in the open page and waits until the page has shown its report or
    failed; returns the files the page was given (FOLDER/day/file)."""
    chosen = browser.choose_folder("#pick", folder)
    browser.wait_for(FINISHED, timeout)
    return chosen


def check_done(browser, doing):
    """Raises with the page's own message unless its last job succeeded."""
    if browser.attribute("body", "data-state") != "done":
        raise RuntimeError("the page failed %s: %s" % (doing, browser.text("#status")))


def save(browser, name, timeout):
    """Clicks the button that saves name; returns the seconds until the page had made the
    file (its state is back to done) and until the browser had saved it."""
    clicked = time.monotonic()
    browser.click("#save-" + name.replace(".", "-"))
    browser.wait_for(FINISHED, timeout)
    check_done(browser, "to make " + name)
    made = time.monotonic() - clicked
    browser.wait_for_download(name, timeout)
    return made, time.monotonic() - clicked


def make_report(page, folder, out, measure=False, timeout=30 * 60, browser_name="chromium"):
    """What the page shows for folder in the browser, as a dict; its files are saved into out."""
    with open_browser(browser_name, downloads=out) as browser:
        browser.open(page)
        memory = MemoryPeak(browser) if measure else None
        started = time.monotonic()
        chosen = read_folder(browser, folder, timeout)
        seconds = time.monotonic() - started
        if memory:
            memory.stop()
        state = browser.attribute("body", "data-state")
        result = {
            "state": state,
            "status": browser.text("#status"),
            "skipped": browser.text("#skipped-lines"),
            "chosen": chosen,
            "seconds": seconds,
            "made_seconds": {},
            "save_seconds": {},
        }
        if memory:
            result.update(peak_pss_mb=memory.pss_mb, peak_rss_mb=memory.rss_mb)
        if state == "done":
            with browser.frame("#report"):
                browser.wait_for("dl.facts")
                result["facts"] = browser.script(FACTS)
            result["wasm_memory_mb"] = int(browser.attribute("body", "data-wasm-memory")) / 2**20
            for name in OUTPUTS:
                saving = MemoryPeak(browser) if measure and name == "detections.csv" else None
                result["made_seconds"][name], result["save_seconds"][name] = save(
                    browser, name, timeout)
                if saving:
                    saving.stop()
                    result.update(save_peak_pss_mb=saving.pss_mb, save_peak_rss_mb=saving.rss_mb)
        result["errors"] = browser.errors()
        return result


def main():
    parser = argparse.ArgumentParser(usage="tools/report_page.py PAGE FOLDER OUT [--measure] "
                                           "[--browser %s]" % "|".join(BROWSERS))
    for name in ("page", "folder", "out"):
        parser.add_argument(name, type=Path)
    parser.add_argument("--measure", action="store_true")
    parser.add_argument("--browser", choices=BROWSERS, default="chromium")
    args = parser.parse_args()
    print(json.dumps(make_report(args.page, args.folder, args.out, measure=args.measure,
                                 browser_name=args.browser)))


if __name__ == "__main__":
    main()
