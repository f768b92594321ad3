"""Start-up of the real module: the load sequence, its failures and the receive cycle."""
import os
import signal

import pytest

import radar_sim
from sandbox import MISSING

EXAMPLE_STREAM = bytes.fromhex("AA AA 0C 07 00 00 01 2C 00 02 BC 00 55")
REJECTED_FRAME = bytes.fromhex("0C 08 00 00 01 2C 00 02 BC 00 55")

# Stands in for pyserial: shows the module's namespace at the moment the
# controller opens the link, then ends the run.
SHOW_NAMESPACE = """
import sys, types
fake = types.ModuleType("serial")
class Serial:
    def __init__(self, *args):
        k = sys.modules["kestrel"]
        print(repr((args, k.range_high, k.range_low, k.equi_Stop_time, k.serial_number,
                    callable(k.controller), type(k.pin).__name__, k.serial is fake)))
        raise SystemExit(7)
fake.Serial = Serial
sys.modules["serial"] = fake
import kestrel
"""


UNPLUG_RADAR = """
import os, subprocess
subprocess.run(["umount", "/dev/serial0"], check=True)
os.unlink("/dev/serial0")
"""


def distance_lines(box):
    return [line for line in box.console() if line.startswith(b"Distance of object:")]


def traceback_tail(box):
    return box.stderr()[-1].decode(errors="replace")


class TestLoad:
    def test_values_are_module_globals_when_the_controller_runs(self, sandbox):
        sandbox.set_config("range_high.txt", "  1e1 \n")
        sandbox.set_config("range_low.txt", "0.5\r\n")
        sandbox.set_config("Serial.txt", "SN-0042\r\n")
        sandbox.start(wait=False, code=SHOW_NAMESPACE)
        assert sandbox.wait_exit() == 7
        shown = sandbox.console()[-1].decode()
        assert shown == repr(((("/dev/serial0", 115200)), 10.0, 0.5, " ", "SN-0042\n",
                              True, "_Pin", True))

    @pytest.mark.parametrize("missing, earlier", [
        ("range_high.txt", []),
        ("current_time.txt", ["range_high.txt", "range_low.txt"]),
        ("Serial.txt", ["current_time.txt"]),
    ])
    def test_a_missing_file_stops_the_load_with_file_not_found(self, sandbox, missing, earlier):
        sandbox.set_config(missing, MISSING)
        sandbox.start(wait=False)
        assert sandbox.wait_exit() == 1
        assert traceback_tail(sandbox) == (
            "FileNotFoundError: [Errno 2] No such file or directory: "
            "'/home/pi/Configuration/%s'" % missing)
        assert sandbox.sudo_log() == []
        assert sandbox.console() == []

    @pytest.mark.parametrize("text", ["1,5", "", " \n", "1_0", "0x10", "3 m"])
    def test_an_unconvertible_range_stops_before_the_next_file_is_opened(self, sandbox, text):
        sandbox.set_config("range_high.txt", text)
        # Were range_low.txt opened, its absence would be the error reported.
        sandbox.set_config("range_low.txt", MISSING)
        sandbox.start(wait=False)
        assert sandbox.wait_exit() == 1
        assert traceback_tail(sandbox) == "ValueError: could not convert string to float: %r" % text
        assert sandbox.sudo_log() == []

    def test_buzzer_failure_at_import_passes_through(self, sandbox):
        (sandbox.py / "buzzer.py").write_text("raise ImportError('no GPIO line GPIO18')\n")
        sandbox.start(wait=False)
        assert sandbox.wait_exit() == 1
        assert traceback_tail(sandbox) == "ImportError: no GPIO line GPIO18"

    def test_serial_device_missing_ends_the_run_before_housekeeping(self, sandbox):
        sandbox.start(wait=False, code=UNPLUG_RADAR + "import kestrel")
        assert sandbox.wait_exit() == 1
        assert "could not open port /dev/serial0" in traceback_tail(sandbox)
        assert sandbox.sudo_log() == []
        assert not any(sandbox.tagsheets_dir.iterdir())


class TestReceiveCycle:
    def test_example_stream_prints_its_distance(self, sandbox):
        sandbox.start()
        sandbox.send(EXAMPLE_STREAM)
        sandbox.wait_for_console(rb"Distance of object:")
        sandbox.wait_consumed()
        assert sandbox.console()[1:] == [b"Distance of object:3.00"]

    def test_every_end_marker_evaluates_the_frame(self, sandbox):
        sandbox.set_config("range_low.txt", "4")
        sandbox.set_config("range_high.txt", "5")
        sandbox.start()
        sandbox.send(EXAMPLE_STREAM + b"\x55" + REJECTED_FRAME + b"\x55")
        sandbox.wait_consumed()
        assert distance_lines(sandbox) == [b"Distance of object:3.00"] * 2
        # Outside the window twice, then the rejected frame, then the bare marker.
        assert sandbox.buzzer_log() == ["off"] * 4

    def test_payload_bytes_that_look_like_markers_are_kept(self, sandbox):
        sandbox.start()
        for count in (0x010A, 0x0AAA, 0x5555, 0x0055):
            sandbox.send(radar_sim.encode_frame(count))
        sandbox.wait_consumed()
        assert distance_lines(sandbox) == [b"Distance of object:2.66", b"Distance of object:27.30",
                                           b"Distance of object:218.45", b"Distance of object:0.85"]

    def test_distance_text_is_rounded_from_the_exact_product(self, sandbox):
        sandbox.start()
        for count in (0, 57, 35, 65535):
            sandbox.send(radar_sim.encode_frame(count))
        sandbox.wait_consumed()
        assert distance_lines(sandbox) == [b"Distance of object:%s" % ("{0:.2f}".format(c * 0.01)).encode()
                                           for c in (0, 57, 35, 65535)]

    def test_missing_media_directory_ends_the_run_at_the_first_byte(self, kestrel_module):
        from sandbox import Sandbox
        with Sandbox(module=kestrel_module, media=False) as box:
            box.start()
            assert box.running()
            box.send(b"\x00")
            assert box.wait_exit() == 1
            assert traceback_tail(box) == (
                "FileNotFoundError: [Errno 2] No such file or directory: '/media/pi'")

    def test_ctrl_c_ends_the_busy_poll_with_keyboard_interrupt(self, sandbox):
        sandbox.start()

        def program():
            return [pid for pid in sandbox.pids() if pid != sandbox.pid1]

        # The recording sudo that marked the start may not have exited yet.
        sandbox.wait_until(lambda: len(program()) == 1, what="the program alone in the sandbox")
        os.kill(program()[0], signal.SIGINT)
        # The interpreter ends an uncaught KeyboardInterrupt by SIGINT: 128 + 2.
        assert sandbox.wait_exit() == 130
        assert traceback_tail(sandbox) == "KeyboardInterrupt"
