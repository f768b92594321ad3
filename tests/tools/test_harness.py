"""Checks of the test harness itself: the pty, the recording sudo, the radar simulator."""
import json
import os
import time

import pytest

import radar_sim
from sandbox import Sandbox, SandboxError
from waiting import read_for, running

CAP_SYS_ADMIN = 21
CAP_SYS_BOOT = 22
AWKWARD_BYTES = bytes([0x0A, 0x0D, 0x03, 0x11, 0x13, 0x7F, 0x04, 0x1A, 0x1C, 0x00, 0xFF])

ECHO_SERIAL = """
import serial, sys
port = serial.Serial("/dev/serial0", 115200)
while True:
    sys.stdout.write(port.read().hex() + "\\n")
    sys.stdout.flush()
"""

SPAWN_STUBBORN_CHILD = """
import signal, subprocess, time
subprocess.Popen(["sh", "-c", "trap '' TERM HUP INT; sleep 60"])
print("child up", flush=True)
time.sleep(60)
"""

RUN_ARGV_FROM_ENV = """
import json, os, subprocess
for argv in json.loads(os.environ["TEST_COMMANDS"]):
    subprocess.run([bytes.fromhex(arg) for arg in argv])
"""


class TestPseudoTerminal:
    def test_slave_receives_control_bytes_unchanged(self):
        with Sandbox() as box:
            box.send(AWKWARD_BYTES)
            assert read_for(box.slave, 2.0, len(AWKWARD_BYTES)) == AWKWARD_BYTES

    def test_program_in_sandbox_reads_every_byte_value_in_order(self):
        every_byte = bytes(range(256))
        with Sandbox() as box:
            box.start(code=ECHO_SERIAL, ready="serial")
            box.send(every_byte)
            box.wait_consumed()
            box.wait_for_console(rb"(?m)^ff$")
            assert box.console() == [bytes([b]).hex().encode() for b in every_byte]


class TestRecordingSudo:
    def run_commands(self, box, commands):
        box.env["TEST_COMMANDS"] = json.dumps([[arg.hex() for arg in argv] for argv in commands])
        box.start(wait=False, code=RUN_ARGV_FROM_ENV)
        assert box.wait_exit() == 0

    def test_records_exact_argument_bytes_and_runs_the_command(self):
        odd = [b"a b", b"line\nbreak", b"\xff\xfe", b"$(id)", b"'\"", b"-x", b"\xc3\xa9"]
        with Sandbox() as box:
            self.run_commands(box, [[b"sudo", b"printf", b"%s|"] + odd])
            assert box.sudo_log() == [[b"printf", b"%s|"] + odd]
            assert box.console_bytes() == b"|".join(odd) + b"|"

    @pytest.mark.parametrize("command", ["reboot", "poweroff", "shutdown", "halt"])
    def test_never_runs_a_restart(self, command):
        with Sandbox() as box:
            fake = box.bin / command
            fake.write_text("#!/bin/sh\ntouch /run/kestrel/log/ran\n")
            fake.chmod(0o755)
            self.run_commands(box, [[b"sudo", command.encode(), b"now"], [b"sudo", b"true"]])
            assert box.sudo_log() == [[command.encode(), b"now"], [b"true"]]
            assert not (box.log / "ran").exists()

    def test_a_command_named_to_hang_is_recorded_and_ends_only_by_sigkill(self):
        with Sandbox() as box:
            box.env["KESTREL_SUDO_HANG"] = "sleep"
            box.start(wait=False, code="import subprocess, sys\n"
                      "sudo = subprocess.Popen(['sudo', 'sleep', '0'])\n"
                      "try:\n"
                      "    sudo.wait(1)\n"
                      "except subprocess.TimeoutExpired:\n"
                      "    print('still running')\n"
                      "sudo.terminate()\n"
                      "try:\n"
                      "    sudo.wait(1)\n"
                      "except subprocess.TimeoutExpired:\n"
                      "    print('deaf to SIGTERM')\n"
                      "sudo.kill()\n"
                      "print(sudo.wait(1))\n")
            assert box.wait_exit() == 0
            assert box.console() == [b"still running", b"deaf to SIGTERM", b"-9"]
            assert box.sudo_log() == [[b"sleep", b"0"]]

    def test_commands_in_the_sandbox_lack_the_reboot_capability(self):
        with Sandbox() as box:
            self.run_commands(box, [[b"sudo", b"grep", b"CapEff", b"/proc/self/status"]])
            effective = int(box.console_bytes().split()[-1], 16)
            assert effective & (1 << CAP_SYS_BOOT) == 0
            assert effective & (1 << CAP_SYS_ADMIN)  # mount and umount still work inside


class TestSticks:
    def test_stick_with_awkward_name_is_mounted_and_readable_after_unmount(self):
        name = b"-My Stick\n$(x)\xff"
        with Sandbox() as box:
            box.start(wait=False, code="import time; time.sleep(60)")
            mount_point = box.insert_stick(name)
            assert box.is_mounted(mount_point)
            assert box.media_listing() == [name]
            os.mkdir(box.inside(mount_point + b"/day"))
            with open(box.inside(mount_point + b"/day/sheet.txt"), "wb") as sheet:
                sheet.write(b"row\n")
            box.run_inside([b"umount", b"--", mount_point])
            assert not box.is_mounted(mount_point)
            assert box.stick_files(name) == {"day/sheet.txt": b"row\n"}


class TestRadarSimulator:
    def test_worked_example_frame(self):
        assert radar_sim.encode_frame(300) == bytes.fromhex("AA AA 0C 07 00 00 01 2C 00 02 BC 00 55")

    def test_distances_round_to_the_nearest_count(self):
        frames = radar_sim.frames_for_trajectory([0.57, 2.66, 655.35, 0.0])
        assert [int.from_bytes(frame[6:8], "big") for frame in frames] == [57, 266, 65535, 0]

    def test_rejects_counts_a_frame_cannot_carry(self):
        with pytest.raises(ValueError):
            radar_sim.encode_frame(65536)
        with pytest.raises(ValueError):
            radar_sim.frames_for_trajectory([-0.01])

    def test_trajectory_walks_there_and_back(self):
        assert radar_sim.trajectory(3.0, 1.0, 3, back=True) == [3.0, 2.0, 1.0, 2.0, 3.0]

    def test_command_line_writes_frames_to_a_pty(self):
        with Sandbox() as box:
            radar_sim.main(["--port", box.slave_path, "--from", "3", "--to", "2", "--steps", "2", "--rate", "0"])
            expected = radar_sim.encode_frame(300) + radar_sim.encode_frame(200)
            assert read_for(box.master, 2.0, len(expected)) == expected
            radar_sim.main(["--port", box.slave_path, "--hex", "AA 55 0A"])
            assert read_for(box.master, 2.0, 3) == b"\xaa\x55\x0a"


class TestBuzzer:
    def test_records_and_echoes_calls(self):
        with Sandbox(env={"KESTREL_BUZZER_ECHO": "1"}) as box:
            box.start(wait=False, code="from buzzer import *; pin.buzzer_blow(); pin.buzzer_off()")
            assert box.wait_exit() == 0
            assert box.buzzer_log() == ["blow", "off"]
            assert box.stderr() == [b"[buzzer on]", b"[buzzer off]"]

    def test_named_call_raises_and_is_not_recorded(self):
        with Sandbox(env={"KESTREL_BUZZER_FAIL": "off"}) as box:
            box.start(wait=False, code="from buzzer import *; pin.buzzer_blow(); pin.buzzer_off()")
            assert box.wait_exit() == 1
            assert box.buzzer_log() == ["blow"]
            assert box.stderr()[-1] == b"buzzer.BuzzerFault: buzzer_off failed"


class TestLifecycle:
    def test_wait_fails_at_once_when_the_program_has_ended(self):
        with Sandbox() as box:
            box.start(wait=False, code="print('bye')")
            began = time.monotonic()
            with pytest.raises(SandboxError, match="closed"):
                box.wait_for_console(rb"never printed", timeout=30)
            assert time.monotonic() - began < 5

    def test_stop_ends_every_process_inside_and_removes_the_files(self):
        box = Sandbox()
        box.start(wait=False, code=SPAWN_STUBBORN_CHILD)
        box.wait_for_console(rb"child up")
        inside = list(box.pids())
        assert len(inside) >= 3  # bwrap's pid 1, the program, its child
        box.stop()
        assert not [pid for pid in inside if running(pid)]
        assert not box.root.exists()
