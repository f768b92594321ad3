"""Test buzzer: records every call instead of driving a pin.

Environment:
  KESTREL_BUZZER_LOG   file that gets one line "blow" or "off" per call
  KESTREL_BUZZER_ECHO  if set, also print "[buzzer on]" / "[buzzer off]" to stderr
  KESTREL_BUZZER_FAIL  "blow" or "off": that call raises BuzzerFault instead
  KESTREL_BUZZER_GATE  a FIFO: every call first takes one byte from it, so a
                       test lets the calls through one at a time and holds the
                       program between two bytes it read at once
"""
import os
import sys

__all__ = ["pin"]


class BuzzerFault(Exception):
    """Raised by a call named in KESTREL_BUZZER_FAIL."""


ECHO_TEXT = {"blow": "[buzzer on]", "off": "[buzzer off]"}


def _record(call):
    gate = os.environ.get("KESTREL_BUZZER_GATE")
    if gate:
        with open(gate, "rb", buffering=0) as fifo:
            fifo.read(1)
    if os.environ.get("KESTREL_BUZZER_FAIL") == call:
        raise BuzzerFault("buzzer_%s failed" % call)
    log = os.environ.get("KESTREL_BUZZER_LOG")
    if log:
        with open(log, "a") as file:
            file.write(call + "\n")
    if os.environ.get("KESTREL_BUZZER_ECHO"):
        sys.stderr.write(ECHO_TEXT[call] + "\n")
        sys.stderr.flush()


class _Pin:
    def buzzer_blow(self):
        _record("blow")

    def buzzer_off(self):
        _record("off")


pin = _Pin()
