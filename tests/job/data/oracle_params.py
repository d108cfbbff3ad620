"""Reads the parameters of the stand-in Oracle utilities the way the real ones
take them: a first argument without "=" is the login (USERID); every other
argument is NAME=value, names in any letter case; PARFILE=<file> reads more of
them from the file, one NAME=value per line (blank lines and lines starting
with "#" skipped), a value optionally in double quotes."""


def _pair(text):
    name, _, value = text.partition("=")
    value = value.strip()
    if len(value) >= 2 and value[0] == value[-1] == '"':
        value = value[1:-1]
    return name.strip().upper(), value


def read(argv):
    """The parameters as (NAME, value) pairs, in the order given."""
    params = []
    for index, arg in enumerate(argv):
        if index == 0 and "=" not in arg:
            params.append(("USERID", arg))
            continue
        name, value = _pair(arg)
        if name == "PARFILE":
            with open(value, encoding="cp949") as f:
                for line in f:
                    line = line.strip()
                    if line and not line.startswith("#"):
                        params.append(_pair(line))
        else:
            params.append((name, value))
    return params


def record(params, path):
    """Writes NAME=value lines to `path` (when given), for the tests to read."""
    if path:
        with open(path, "w", encoding="utf-8") as f:
            f.write("".join(f"{name}={value}\n" for name, value in params))
