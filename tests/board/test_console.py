"""The harness's links to a board: the console's shell, which every scenario
reads the board's state through, loses nothing a command prints, even while a
loaded host leaves the tests' reader waiting; and QEMU's sockets are reached
from a board's folder of any length."""
import os
import re
import threading

import snapshots
import waiting

LINES = 60000  # about 340 KB of output, more than a socket's buffer holds
END_MARKER = re.compile(rb"[0-9a-f]{32}-end \d+")


def hold_up_the_reader(shell, log, held):
    """Keeps the shell's reader from taking what the console sends (it waits
    for the lock after one chunk) until QEMU's console log shows that the
    command has ended."""
    start = os.path.getsize(log)

    def command_ended():
        with open(log, "rb") as text:
            text.seek(start)
            return END_MARKER.search(text.read())
    with shell.reader.changed:
        held.set()
        waiting.wait_until(command_ended, 300, "the command's end in " + log, poll=0.5,
                           error=None)


def test_output_printed_while_the_reader_is_held_up_arrives_whole(installed):
    """a command's 340 KB of output, printed while the tests' reader takes none of it, arrives whole"""
    shell = installed.shell
    held = threading.Event()
    holder = threading.Thread(target=hold_up_the_reader,
                              args=(shell, installed.qemu.path("console.log"), held))
    holder.start()
    held.wait()
    status, output = shell.run("seq 1 %d" % LINES, timeout=600)
    holder.join()
    lines = output.splitlines()
    assert status == 0 and len(lines) == LINES and lines == [str(n) for n in range(1, LINES + 1)]


def test_a_board_in_a_folder_longer_than_a_socket_path_is_reached(settings, installed_facts):
    """a board whose folder's path is longer than a unix socket's path may be
    (107 bytes) is linked to its radar's UART and answers on QMP and the console"""
    folder = settings.path("a-folder-named-at-length-" * 6)
    assert len(os.path.join(folder, "qmp.sock")) > 107
    board = snapshots.restore(settings, folder)
    try:
        assert board.qemu.qmp.command("query-status")["status"] == "running"
        assert board.qemu.shell.run("true") == (0, "")
    finally:
        board.qemu.quit()
