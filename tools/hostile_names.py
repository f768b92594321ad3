"""Names a USB stick could be mounted under: what the export must pass to its
commands as one path each, whatever they hold."""

# An injected command would create a file in the program's working directory
# (touch, or a redirection).
HOSTILE_NAMES = [
    # blanks
    b"My Stick", b" lead", b"trail ", b"tab\there",
    # quotes
    b"it's", b'say "hi"', b"'", b'"', b"a'b\"c", b"'; touch pwned; '",
    # substitutions
    b"$(touch pwned)", b"x$(touch${IFS}pwned)y", b"${IFS}", b"$HOME", b"$((6*7))",
    b"`touch pwned`", b"a`touch pwned`b",
    # separators and operators
    b"x;touch pwned", b";touch pwned;", b"a&touch pwned&", b"a&&touch pwned", b"a|tee pwned",
    b"a||touch pwned", b"a>pwned", b"<pwned", b"{a,b}", b"#comment", b"!", b"\\",
    # line ends and control bytes
    b"line\ntouch pwned", b"\n", b"cr\rlf\n", b"\x1b[31mred", b"\x7f\x01",
    # leading -
    b"-rf", b"--help", b"-", b"--",
    # 255-byte names
    b"A" * 255, b"\xc3\xa9" * 127 + b"x", b"'" * 255, (b"$(touch pwned);" * 17)[:255],
    # invalid UTF-8
    b"\xff\xfe", b"\xc3\x28", b"\x80", b"\xed\xa0\x80", b"caf\xe9",
    # globs
    b"*", b"[a-z]", b"~",
]
