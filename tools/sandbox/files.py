"""Reading what a run left: files below a folder, links by their target, and
the mount table's escaped paths."""
import os
import re
import stat


def as_bytes(text):
    return text if isinstance(text, bytes) else os.fsencode(text)


def check_entry_name(name):
    if not name or b"/" in name or name in (b".", b".."):
        raise ValueError("not a single directory name: %r" % name)


def unescape_mountinfo(field):
    """Mount points in mountinfo escape blank, tab, newline and backslash as \\ooo."""
    return re.sub(rb"\\([0-7]{3})", lambda m: bytes([int(m.group(1), 8)]), field)


class Link(bytes):
    """A symbolic link among the files, by its target."""


def files_at(dir_fd):
    """{relative path: content} of every file below an open directory; a symbolic
    link as a Link to its target, never followed."""
    files = {}
    for folder, _, names, folder_fd in os.fwalk(b".", dir_fd=dir_fd):
        for file_name in names:
            path = os.fsdecode(os.path.normpath(os.path.join(folder, file_name)))
            if stat.S_ISLNK(os.stat(file_name, dir_fd=folder_fd, follow_symlinks=False).st_mode):
                files[path] = Link(os.readlink(file_name, dir_fd=folder_fd))
                continue
            fd = os.open(file_name, os.O_RDONLY | os.O_NOFOLLOW, dir_fd=folder_fd)
            with open(fd, "rb") as file:
                files[path] = file.read()
    return files
