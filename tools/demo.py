#!/usr/bin/python3
"""The kestrel demo: the real module in a sandbox, a simulated radar and a USB stick.

An object walks towards the radar through the distance window (1.00 to 3.00) and
away again; then a stick is inserted. Shows the live console with the buzzer
switching, then the day's tagsheet, what landed on the stick and the commands the
program ran through sudo (recorded there; "sudo reboot" is never run).
"""
import pathlib
import sys
import time

REPO = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tools"))

import radar_sim  # noqa: E402
from sandbox import Sandbox  # noqa: E402

FRAMES_PER_SECOND = 8


def section(title):
    print("\n\033[1m== %s\033[0m" % title, flush=True)


class LiveConsole:
    """Prints the program's new console lines and the buzzer's switching."""

    def __init__(self, box):
        self.box = box
        self.lines_shown = 0
        self.calls_seen = 0
        self.sounding = False

    def show(self):
        lines = self.box.console()
        for line in lines[self.lines_shown:]:
            print("  " + line.decode(errors="replace"), flush=True)
        self.lines_shown = len(lines)
        calls = self.box.buzzer_log()
        for call in calls[self.calls_seen:]:
            if (call == "blow") != self.sounding:
                self.sounding = call == "blow"
                print("  [buzzer %s]" % ("ON" if self.sounding else "off"), flush=True)
        self.calls_seen = len(calls)


def walk_through_window(box, live):
    distances = radar_sim.trajectory(4.0, 0.5, 15, back=True)
    for frame in radar_sim.frames_for_trajectory(distances):
        box.send(frame)
        time.sleep(1.0 / FRAMES_PER_SECOND)
        live.show()
    box.wait_consumed()
    live.show()


def show_files(title, files):
    section(title)
    for name, content in sorted(files.items()):
        print("--- %s" % name)
        print(content.decode(errors="replace"))


def main():
    with Sandbox(config={"range_low.txt": "1\n", "range_high.txt": "3\n"}) as box:
        section("starting kestrel (range 1.00 .. 3.00, serial SN-0042)")
        box.start()
        live = LiveConsole(box)
        live.show()

        section("an object walks from 4 m to 0.5 m and back")
        walk_through_window(box, live)

        section("a USB stick is inserted; the next radar byte notices it")
        box.insert_stick("STICK")
        box.send(radar_sim.encode_frame(500))
        box.wait_for_sudo(b"reboot", timeout=20)
        time.sleep(0.2)
        live.show()

        tagsheets = {str(p.relative_to(box.tagsheets_dir)): p.read_bytes()
                     for p in box.tagsheets_dir.rglob("*.txt")}
        show_files("the tagsheet on the board", tagsheets)
        show_files("what landed on the stick", box.stick_files("STICK"))
        section("last-seen time file")
        print(repr((box.config_dir / "current_time.txt").read_text()))
        section("commands run through sudo (recorded; reboot is never run)")
        for argv in box.sudo_log():
            print("  sudo " + " ".join(arg.decode(errors="replace") for arg in argv))


if __name__ == "__main__":
    main()
