"""The installed board's console for a person: the board is restored from the
`installed` state (made first if there is none) and this terminal is joined
to its shell until Ctrl-] is pressed; then the board is switched off.

    console.py IMAGE DEB RUN_FOLDER"""
import os
import select
import sys
import termios
import tty

import snapshots

QUIT = b"\x1d"  # Ctrl-]
# The tests' shell prints no prompt and echoes nothing; a person wants both.
FOR_A_PERSON = (b"stty sane; set -o emacs; PS1='root@raspberrypi:\\w# '; "
                b"export TERM=vt100 PAGER= SYSTEMD_PAGER=; clear\n")


class Settings:
    def __init__(self, image, deb, run_dir):
        self.image, self.deb, self.run_dir = image, deb, run_dir
        os.makedirs(run_dir, exist_ok=True)

    def path(self, name):
        return os.path.join(self.run_dir, name)


def relay(shell):
    """Copies this terminal's keys to the console's shell and what the console
    prints back, until Ctrl-] or the console closes."""
    stdin = sys.stdin.fileno()
    saved = termios.tcgetattr(stdin)
    tty.setraw(stdin)
    shown = len(shell.reader.data)
    try:
        while not shell.reader.closed:
            if select.select([stdin], [], [], 0.05)[0]:
                keys = os.read(stdin, 1024)
                if QUIT in keys:
                    return
                shell.send(keys)
            text = shell.reader.text()
            os.write(sys.stdout.fileno(), text[shown:])
            shown = len(text)
    finally:
        termios.tcsetattr(stdin, termios.TCSADRAIN, saved)


def main(argv):
    if len(argv) != 4:
        sys.exit(__doc__)
    settings = Settings(*(os.path.abspath(arg) for arg in argv[1:]))
    snapshots.installed_facts(settings, lambda what, seconds: print(
        "%s: %.0f s" % (what, seconds), file=sys.stderr))
    board = snapshots.restore(settings, settings.run_dir)
    try:
        print("The installed board's console (logs in %s); Ctrl-] switches it off."
              % settings.run_dir, file=sys.stderr)
        board.shell.send(FOR_A_PERSON)
        relay(board.shell)
    finally:
        board.qemu.quit()


if __name__ == "__main__":
    main(sys.argv)
