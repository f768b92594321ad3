"""The stream reader the board harness reads QEMU's sockets and FIFOs with."""
import os
import re
import socket
import time

import pytest

from waiting import StreamReader


class Failed(Exception):
    pass


def reader_of_a_socket():
    ours, theirs = socket.socketpair()
    return theirs, StreamReader(ours, error=Failed)


def test_first_match_from_an_offset_waits_for_the_text_to_come():
    peer, reader = reader_of_a_socket()
    peer.sendall(b"token-end 0\n")
    first = reader.wait_match(re.compile(rb"token-end (\d+)\n"), 5)
    peer.sendall(b"more\ntoken-end 3\n")
    second = reader.wait_match(re.compile(rb"token-end (\d+)\n"), 5, first.end())
    assert (first.group(1), second.group(1)) == (b"0", b"3")
    assert reader.data[first.end(): second.start()] == b"more\n"
    peer.close()


def test_a_peer_that_went_away_ends_the_wait_at_once_with_what_came():
    peer, reader = reader_of_a_socket()
    peer.sendall(b"last words")
    peer.close()
    started = time.monotonic()
    with pytest.raises(Failed, match="(?s)stream closed.*last words"):
        reader.wait_match(re.compile(rb"never"), 30)
    assert time.monotonic() - started < 10


def test_a_timeout_names_the_pattern_and_the_time():
    peer, reader = reader_of_a_socket()
    with pytest.raises(Failed, match=r"timed out after 0.2s waiting for b'prompt# '"):
        reader.wait_match(re.compile(rb"prompt# "), 0.2)
    peer.close()


def test_a_fifo_opened_before_its_writer_is_read_once_it_comes_and_ends_when_it_goes(tmp_path):
    fifo = str(tmp_path / "console.out")
    os.mkfifo(fifo)
    reader = StreamReader(os.fdopen(os.open(fifo, os.O_RDONLY | os.O_NONBLOCK), "rb"),
                          error=Failed)
    time.sleep(0.2)
    assert not reader.closed
    writer = os.open(fifo, os.O_WRONLY)
    os.write(writer, b"login: ")
    reader.wait_match(re.compile(rb"login: "), 5)
    os.close(writer)
    with pytest.raises(Failed, match="stream closed"):
        reader.wait_match(re.compile(rb"never"), 5)
