"""kestrel-ended, run after every run of the service: one record a run in
/var/log/kestrel with the run's journal lines, bounded in size. It runs in a
bubblewrap sandbox with its own /var/log and a fake journalctl first on PATH."""
import subprocess
from pathlib import Path

from sandbox.bwrap import Bwrap
from sandbox.recording import calls as recorded_calls

REPO = Path(__file__).resolve().parents[2]
HOOK = REPO / "system" / "kestrel-ended"
UNIT = REPO / "debian" / "kestrel.service"
# The hook's place in the sandbox: the clone itself may lie below /tmp, which
# the sandbox hides.
HOOK_INSIDE = "/run/hook/kestrel-ended"
# The run's journal is journal.txt when the test wrote one (the last --lines
# of it), else two lines of a failed start.
FAKE_JOURNALCTL = r"""#!/usr/bin/python3
import json, os, sys
with open("/run/log/journalctl.calls", "a") as log:
    log.write(json.dumps(["journalctl"] + sys.argv[1:]) + "\n")
if sys.argv[1:2] == ["--sync"]:
    sys.exit(0)
if os.path.isfile("/run/log/journal.txt"):
    for argument in sys.argv[1:]:
        if argument.startswith("--lines="):
            os.execvp("tail", ["tail", "-n", argument[len("--lines="):], "/run/log/journal.txt"])
print("2026-06-01T08:00:01+0000 host kestrel[42]: Traceback (most recent call last):\n"
      "2026-06-01T08:00:01+0000 host kestrel[42]: FileNotFoundError: /home/pi/Configuration/Serial.txt")
"""
INVOCATION = "0123456789abcdef0123456789abcdef"
FAILED = {"SERVICE_RESULT": "exit-code", "EXIT_CODE": "exited", "EXIT_STATUS": "1",
          "INVOCATION_ID": INVOCATION}


def run_hook(folder, env, logs=None):
    """Runs the hook with /var/log/kestrel backed by folder/kestrel; returns the journalctl calls."""
    (folder / "bin").mkdir(exist_ok=True)
    fake = folder / "bin" / "journalctl"
    fake.write_text(FAKE_JOURNALCTL)
    fake.chmod(0o755)
    (folder / "kestrel").mkdir(exist_ok=True)
    for name, content in (logs or {}).items():
        (folder / "kestrel" / name).write_text(content)
    (folder / "journalctl.calls").unlink(missing_ok=True)
    box = Bwrap().tmpfs("/run", "/var/log", "/tmp").bind(folder / "kestrel", "/var/log/kestrel")
    box.ro_bind(folder / "bin", "/run/fakes").bind(folder, "/run/log").ro_bind(HOOK, HOOK_INSIDE)
    box.setenv(PATH="/run/fakes:/usr/bin:/bin", **env)
    subprocess.run(box.command([HOOK_INSIDE]), check=True, capture_output=True, timeout=30)
    return [" ".join(call[1:]) for call in recorded_calls(folder / "journalctl.calls")]


def log(folder, name="runs.log"):
    return (folder / "kestrel" / name).read_text()


def test_a_failed_run_is_noted_with_its_journal_lines(folder):
    calls = run_hook(folder, FAILED)
    first, *rest = log(folder).splitlines()
    assert first.endswith(" run ended: exit-code (exited 1)")
    assert rest == [
        "    2026-06-01T08:00:01+0000 host kestrel[42]: Traceback (most recent call last):",
        "    2026-06-01T08:00:01+0000 host kestrel[42]: FileNotFoundError: "
        "/home/pi/Configuration/Serial.txt"]
    assert [path.name for path in (folder / "kestrel").iterdir()] == ["runs.log"]
    assert calls == ["--sync", "--quiet --no-pager --output=short-iso --lines=30 "
                     "_SYSTEMD_INVOCATION_ID=%s + INVOCATION_ID=%s" % (INVOCATION, INVOCATION)]


def test_records_follow_each_other_and_a_stop_by_the_restart_reads_as_such(folder):
    run_hook(folder, FAILED)
    run_hook(folder, {**FAILED, "SERVICE_RESULT": "success", "EXIT_CODE": "killed",
                      "EXIT_STATUS": "TERM"})
    heads = [line for line in log(folder).splitlines() if not line.startswith("    ")]
    assert [head.split(" run ended: ")[1] for head in heads] == [
        "exit-code (exited 1)", "success (killed TERM)"]


def test_without_an_invocation_only_the_result_is_noted(folder):
    assert run_hook(folder, {"SERVICE_RESULT": "exit-code"}) == []
    assert log(folder).endswith(" run ended: exit-code (none none)\n")


def test_the_log_is_bounded_by_keeping_one_older_part(folder):
    full = "x" * 65535 + "\n"
    run_hook(folder, FAILED, {"runs.log": full, "runs.0.log": "oldest\n"})
    assert log(folder, "runs.0.log") == full
    assert log(folder).count(" run ended: ") == 1
    run_hook(folder, FAILED, {})
    assert log(folder).count(" run ended: ") == 2
    assert log(folder, "runs.0.log") == full
    sizes = sum(path.stat().st_size for path in (folder / "kestrel").iterdir())
    assert sizes < 140_000


def unit_settings():
    settings = {}
    for line in UNIT.read_text().splitlines():
        if "=" in line and not line.startswith("#"):
            key, value = line.split("=", 1)
            settings.setdefault(key, []).append(value)
    return settings


def test_a_note_the_logger_writes_on_standard_error_is_kept_after_the_restart(folder):
    """The logger runs as pi and cannot write /var/log/kestrel; its standard
    error goes to the journal, and the hook, run as root at the end of every
    run, copies the run's last lines from there."""
    settings = unit_settings()
    assert settings["User"] == ["pi"] and settings["StandardError"] == ["journal"]
    assert "+/usr/libexec/kestrel/kestrel-ended" in settings["ExecStopPost"]
    # A failed export: rsync's complaints, the note, then what systemd says
    # as the restart stops the service and the buzzer's silencer runs.
    stamp = "2026-06-01T08:00:01+0000 host "
    note = "kestrel: export to /media/pi/STICK failed: no space left on the stick " \
           "(01-01-2020/Non-Tag-01-01-2020.txt and 1 more not copied)"
    journal = ([stamp + "kestrel[42]: rsync: [receiver] write failed on \"x%d\": "
                "No space left on device (28)" % k for k in range(40)]
               + [stamp + "kestrel[42]: umount: /media/pi/STICK: target is busy.",
                  stamp + "kestrel[42]: " + note,
                  stamp + "systemd[1]: Stopping kestrel.service - kestrel proximity logger...",
                  stamp + "systemd[1]: kestrel.service: Deactivated successfully.",
                  stamp + "systemd[1]: Stopped kestrel.service - kestrel proximity logger.",
                  stamp + "systemd[1]: kestrel.service: Consumed 3.142s CPU time."])
    (folder / "journal.txt").write_text("\n".join(journal) + "\n")
    run_hook(folder, {**FAILED, "SERVICE_RESULT": "success", "EXIT_CODE": "killed",
                      "EXIT_STATUS": "TERM"})
    head, *lines = log(folder).splitlines()
    assert head.endswith(" run ended: success (killed TERM)")
    assert "    " + stamp + "kestrel[42]: " + note in lines
    assert len(lines) == 30
