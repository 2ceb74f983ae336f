"""python -m quibex [FILE ...]: reformat or validate JSON documents.

Reads one JSON document from each FILE (standard input when no FILE is given,
or for a FILE named -) and writes it to standard output, indented by two
spaces unless --compact is given. Documents are separated by a line feed;
--newline ends the output with one as well. With --validate nothing is
written: every input is parsed and only the errors are reported.

Errors go to standard error, one line each, as NAME:LINE:COLUMN: MESSAGE for
invalid JSON or text that is not UTF-8 and NAME: MESSAGE otherwise; every
input is processed even after an error. Errors never go to standard output,
even when standard error is closed. Exit status: 0 when every input was read
(and written), 1 when any failed or standard output is closed, 2 for a wrong
command line.
"""
import argparse
import errno
import gc
import os
import sys

import quibex

PROG = "python -m quibex"
STDIN = "-"


def parse_args(argv):
    parser = argparse.ArgumentParser(prog=PROG, description=__doc__.split("\n\n", 1)[1],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("files", nargs="*", default=[STDIN], metavar="FILE",
                        help="JSON file to read (default: standard input)")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--compact", action="store_true", help="write without any whitespace")
    mode.add_argument("--validate", action="store_true",
                      help="write nothing: only report errors and set the exit status")
    parser.add_argument("--sort-keys", action="store_true", help="sort object keys by their UTF-8 bytes")
    parser.add_argument("--newline", action="store_true", help="end the output with a line feed")
    return parser.parse_args(argv)


def report(line):
    """Writes one error line to standard error, or nowhere when it is closed:
    standard output carries the documents."""
    if sys.stderr is None:
        return
    try:
        print(line, file=sys.stderr, flush=True)
    except OSError:
        pass


def read_input(name):
    """The bytes of one input, read whole: loads needs the complete text."""
    if name == STDIN:
        if sys.stdin is None:
            raise OSError(errno.EBADF, "standard input is closed")
        return sys.stdin.buffer.read()
    with open(name, "rb") as f:
        return f.read()


# Byte-order marks, the four-byte ones before the two-byte ones they begin with.
BYTE_ORDER_MARKS = [
    (b"\xef\xbb\xbf", "UTF-8"),
    (b"\x00\x00\xfe\xff", "UTF-32 big-endian"),
    (b"\xff\xfe\x00\x00", "UTF-32 little-endian"),
    (b"\xfe\xff", "UTF-16 big-endian"),
    (b"\xff\xfe", "UTF-16 little-endian"),
]


def hex_bytes(data):
    return " ".join(f"0x{b:02X}" for b in data)


def encoding_error(data):
    """(line, column, message) when the input is not UTF-8 text without a
    byte-order mark, else None. The line and column count characters, as the
    parser's do; the byte offset counts from 0."""
    for mark, encoding in BYTE_ORDER_MARKS:
        if data.startswith(mark):
            return 1, 1, (f"the input begins with a {encoding} byte-order mark ({mark.hex(' ').upper()}): "
                          "JSON text is UTF-8 without one")
    try:
        data.decode("utf-8")
    except UnicodeDecodeError as e:
        line_start = data.rfind(b"\n", 0, e.start) + 1
        line = data.count(b"\n", 0, e.start) + 1
        column = len(data[line_start:e.start].decode("utf-8")) + 1
        return line, column, (f"not valid UTF-8 at byte offset {e.start}: {e.reason} "
                              f"{hex_bytes(data[e.start:e.end])}")
    return None


def display_name(name):
    return "<stdin>" if name == STDIN else name


def convert(name, option):
    """Reads and parses one input and, given an option, serialises it again.

    Returns (output, None), with output None when there is no option, or
    (None, the error line).
    """
    data = None
    try:
        data = read_input(name)
        value = quibex.loads(data)
        return (None if option is None else quibex.dumps(value, option=option)), None
    except quibex.JSONDecodeError as e:
        line, column, message = encoding_error(data) or (e.lineno, e.colno, e.msg)
        return None, f"{display_name(name)}:{line}:{column}: {message}"
    except quibex.JSONEncodeError as e:
        # Only nesting deeper than dumps writes can fail here.
        return None, f"{display_name(name)}: cannot write the document: {e}"
    except OSError as e:
        return None, f"{display_name(name)}: {e.strerror or e}"
    except MemoryError:
        return None, f"{display_name(name)}: not enough memory"


def write_all(out, data):
    """Writes every byte: a buffered write may return a short count when the
    stream fails part-way, and only the next write raises the error."""
    view = memoryview(data)
    while view:
        view = view[out.write(view):]


def main(argv=None):
    args = parse_args(argv)
    # Parsed documents hold no reference cycles, and the cyclic collector's
    # passes over millions of new containers would take most of the time of
    # a large input.
    gc.disable()
    layout = 0 if args.compact else quibex.OPT_INDENT_2
    if args.sort_keys:
        layout |= quibex.OPT_SORT_KEYS
    if sys.stdout is None and not args.validate:
        report(f"{PROG}: standard output is closed")
        return 1
    out = None if args.validate else sys.stdout.buffer
    status = 0
    for i, name in enumerate(args.files):
        if args.validate:
            option = None
        elif args.newline or i + 1 < len(args.files):
            option = layout | quibex.OPT_APPEND_NEWLINE
        else:
            option = layout
        output, error = convert(name, option)
        if error is not None:
            report(error)
            status = 1
        elif output is not None:
            write_all(out, output)
    if out is not None:
        out.flush()
    return status


def run():
    try:
        status = main()
    except OSError as e:
        # Standard output failed (inputs report their own errors): stop, and
        # keep the interpreter's final flush from failing again. A reader that
        # went away, as with `| head`, needs no message.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        if not isinstance(e, BrokenPipeError):
            report(f"{PROG}: cannot write the output: {e.strerror or e}")
        status = 1
    except KeyboardInterrupt:
        status = 130
    sys.exit(status)


if __name__ == "__main__":
    run()
