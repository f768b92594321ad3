"""Runs a udev rules file over one event as udev does, for the keys kestrel's
rules use: matches (== and !=, with udev's patterns and "|" alternatives) on
ACTION, SUBSYSTEM, KERNEL and ENV{NAME}; assignments (= and +=) to ENV{NAME},
RUN, GROUP and MODE; GOTO and LABEL. A key or operator it does not know is an
error, so a rule it cannot read fails the test instead of passing unread."""
import fnmatch
import re

TOKEN = re.compile(r'\s*([A-Z]+)(?:\{([^}]*)\})?\s*(==|!=|\+=|=)\s*"([^"]*)"\s*(?:,|$)')
MATCHED = {"ACTION", "SUBSYSTEM", "KERNEL", "ENV"}
ASSIGNED = {"ENV", "RUN", "GROUP", "MODE"}


def parse(line):
    """[(key, name, operator, value)] of one rule line."""
    tokens, at = [], 0
    while at < len(line):
        token = TOKEN.match(line, at)
        if not token:
            raise ValueError("cannot read %r" % line[at:])
        tokens.append(token.groups())
        at = token.end()
    return tokens


def matches(pattern, value):
    return any(fnmatch.fnmatchcase(value, one) for one in pattern.split("|"))


def run(text, event):
    """The event's properties and RUN list after the rules. event: ACTION,
    SUBSYSTEM, KERNEL and the device's properties, one dict."""
    env = dict(event)
    programs = []
    skip_to = None
    for line in text.splitlines():
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        tokens = parse(line)
        if skip_to is not None:
            if tokens[0][0] == "LABEL" and tokens[0][3] == skip_to:
                skip_to = None
            continue
        if all(apply_match(token, env) for token in tokens if token[2] in ("==", "!=")):
            for key, name, operator, value in tokens:
                if operator in ("==", "!="):
                    continue
                if key == "GOTO":
                    skip_to = value
                elif key == "RUN":
                    programs = (programs if operator == "+=" else []) + [value]
                elif key in ASSIGNED:
                    env[name if key == "ENV" else key] = value
                elif key != "LABEL":
                    raise ValueError("unknown assignment %s" % key)
    return env, programs


def apply_match(token, env):
    key, name, operator, value = token
    if key not in MATCHED:
        raise ValueError("unknown match %s" % key)
    found = matches(value, env.get(name if key == "ENV" else key, ""))
    return found if operator == "==" else not found
