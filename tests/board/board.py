"""What a person reads off and does to the running board, on top of the
machine: services, tagsheets, the buzzer's line, frames on the radar, the
notes of how runs ended and of sticks left alone."""
import re
import time

import image
import machine
import radar_sim
import records

FIRST_USER = image.FIRST_USER
RUN_NOTES = "/var/log/kestrel/*.log"
BUZZER_LINE = "GPIO18"
SIM_VALUE = "/sys/devices/platform/gpio-sim.*/gpiochip*/sim_gpio18/value"
TRACE = "/sys/kernel/tracing/trace"
ROW_GREP = r"^[0-9]\{2\}-[0-9]\{2\}-[0-9]\{4\}    [0-9]\{2\}-[0-9]\{2\}-[0-9]\{2\}        [0-9]*\.[0-9][0-9]$"


class Board:
    def __init__(self, qemu):
        self.qemu = qemu

    @property
    def shell(self):
        return self.qemu.shell

    def sh(self, command, timeout=60):
        return self.shell.out(command, timeout)

    # --- the service -----------------------------------------------------
    def service(self):
        """systemd's view of kestrel.service: its state, main process and restarts."""
        text = self.sh("systemctl show kestrel.service -p ActiveState -p SubState -p MainPID "
                       "-p NRestarts -p User")
        state = dict(line.split("=", 1) for line in text.splitlines() if "=" in line)
        pid = state.get("MainPID", "0")
        state["ProcessUser"] = (self.sh("ps -o user= -p %s || true" % pid).strip()
                                if pid != "0" else "")
        return state

    def journal(self, lines=12):
        """The service's last lines in the journal, for messages of failed checks."""
        return self.shell.run("journalctl -u kestrel -n %d --no-pager -o cat" % lines,
                              check=False)[1]

    def wait_service_active(self, timeout=120):
        return machine.wait_until(lambda: self.service()["SubState"] == "running", timeout,
                                  "kestrel.service running", interval=1)

    def wait_up_for(self, seconds, timeout=180):
        """Waits until the service has run for seconds by the board's own
        clock, or has been restarted; returns service()."""
        def settled():
            state = self.service()
            if state.get("NRestarts", "0") != "0":
                return state
            since = self.sh("systemctl show kestrel.service -p ActiveEnterTimestampMonotonic "
                            "--value; cut -d' ' -f1 /proc/uptime").split()
            up = float(since[1]) - int(since[0]) / 1e6
            return state if state["SubState"] == "running" and up >= seconds else None
        return machine.wait_until(settled, timeout, "kestrel.service up for %d s" % seconds, 1)

    def reboot(self, timeout=300):
        """sudo reboot as the first user; returns the seconds to the new
        boot's shell."""
        self.shell.send(b"sudo -u %s sudo reboot\n" % FIRST_USER.encode())
        return self.qemu.wait_reset(timeout)

    def wait_disk_quiet(self, timeout=180):
        """Waits until the kernel holds no data to write and the disk's write
        count stays the same over one journal commit (5 s); returns it."""
        def quiet():
            dirty = self.sh("grep -E '^(Dirty|Writeback):' /proc/meminfo | awk '{s+=$2} END {print s}'")
            if dirty != "0":
                return None
            before = self.sectors_written()
            time.sleep(6)
            return before == self.sectors_written() and before
        return machine.wait_until(quiet, timeout, "the disk's writes to end", 1)

    def starts(self):
        """How many runs have written their header, in all tagsheets."""
        return int(self.sh("cat $(find %s -type f -name '*.txt') /dev/null "
                           "| grep -c '^Equipment Start Time:' || true" % records.TAGSHEETS))

    def start_service(self, how="start"):
        """systemctl start (or restart) kestrel, and waits until the new run
        has written its header: until then the tagsheets are not the run's."""
        starts = self.starts()
        self.sh("systemctl %s kestrel" % how)
        machine.wait_until(lambda: self.starts() > starts, 120, "the new run's header",
                           interval=1)

    def run_notes(self):
        """The notes of how each run ended, oldest first, read as the README
        tells a user to: cat /var/log/kestrel/*.log, as the first user."""
        # Before any run has ended there is none.
        text = self.sh("runuser -u %s -- sh -c 'set -- %s; [ ! -e \"$1\" ] || cat \"$@\"'"
                       % (FIRST_USER, RUN_NOTES))
        return [note for note in re.split(r"\n(?=\S)", text) if note.strip()]

    def mount_helper_notes(self):
        """What the USB helper told the journal in this boot about devices it
        left alone, a line each."""
        text = self.shell.run("journalctl -b -q --no-pager -o cat -t kestrel-usb-mount",
                              check=False)[1]
        return [line for line in text.splitlines() if line.strip()]

    # --- files -----------------------------------------------------------
    def tagsheets(self):
        """{path: bytes} of every tagsheet on the board."""
        listing = self.sh("find %s -type f -name '*.txt' | sort" % records.TAGSHEETS)
        return {path: self.shell.read_file(path) for path in listing.split()}

    def report_page_digest(self):
        """SHA-256 of the report's page the package ships, as hexadecimal digits."""
        return self.sh("sha256sum /usr/share/kestrel/kestrel-report.html").split()[0]

    def last_seen(self):
        return self.shell.read_file(records.LAST_SEEN)

    def serial_number(self):
        return self.shell.read_file("/home/pi/Configuration/Serial.txt")

    def clock(self):
        """The board's local time as (date, time) texts of the tagsheet."""
        date, time_text = self.sh("date +'%d-%m-%Y %H-%M-%S'").split()
        return date.encode(), time_text.encode()

    def rows(self):
        return sum(len(records.Parsed(content, self.serial_number()).rows)
                   for content in self.tagsheets().values())

    def wait_rows(self, count, timeout=120):
        """Waits until the board's tagsheets hold count rows in all."""
        path = records.TAGSHEETS

        def enough():
            found = int(self.sh("cat $(find %s -type f -name '*.txt') /dev/null | grep -c '%s' "
                                "|| true" % (path, ROW_GREP)))
            return found >= count and found
        return machine.wait_until(enough, timeout, "%d rows in the tagsheets" % count, 0.5)

    # --- the radar -------------------------------------------------------
    def send_frames(self, counts, rate=20.0):
        """Distance counts as radar frames, rate frames a second."""
        for number, count in enumerate(counts):
            if number and rate:
                time.sleep(1.0 / rate)
            self.qemu.radar.send(radar_sim.encode_frame(count))

    # --- the buzzer ------------------------------------------------------
    def buzzer_level(self):
        """The level the kernel drives on GPIO18 while a program holds it."""
        return int(self.sh("cat %s" % SIM_VALUE))

    def wait_buzzer(self, level, timeout=20):
        return machine.wait_until(lambda: self.buzzer_level() == level or None, timeout,
                                  "the buzzer line at %d" % level, 0.3)

    def buzzer_gpio(self):
        """The kernel's global number of GPIO18, as its trace events name it."""
        text = self.sh("grep -h '(%s ' /sys/kernel/debug/gpio" % BUZZER_LINE)
        return int(text.split()[0].split("-")[1])

    def last_traced_level(self):
        """The last value the kernel set on GPIO18 (the trace records every
        one): the level a Raspberry Pi's pin keeps once the line is released."""
        gpio = self.buzzer_gpio()
        line = self.sh("grep 'gpio_value: %d set' %s | tail -n 1" % (gpio, TRACE))
        return int(line.split()[-1]) if line.strip() else None

    # --- the disk --------------------------------------------------------
    def sectors_written(self):
        """512-byte sectors written to the board's disk since it booted."""
        return int(self.sh("cat /sys/block/vda/stat").split()[6])
