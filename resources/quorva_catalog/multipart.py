"""A multipart/form-data body read as a stream: no more than a small buffer of it in memory,
a file part written to a temporary file as it arrives. Each part's head is read by the
standard library's header parser."""

import contextlib
import email.message
import email.parser
import email.policy
import io
import tempfile

PART_HEAD_LIMIT = 16 * 1024
READ_SIZE = 256 * 1024


class MultipartError(Exception):
    pass


def boundary_of(content_type):
    """The boundary a Content-Type names, or None where there is none of a usable length."""
    message = email.message.Message()
    message["Content-Type"] = content_type
    boundary = message.get_param("boundary")
    if not isinstance(boundary, str) or not 0 < len(boundary) <= 200:
        return None
    return boundary


def parse_multipart(rfile, length, boundary, parts, field_limit, directory=None):
    """Fills `parts` from a multipart body of `length` bytes read from `rfile`: the first part
    of each name, a file part as a temporary file in `directory`, any other as bytes of at
    most `field_limit`."""
    remaining = length

    def more():
        nonlocal remaining
        if remaining <= 0:
            raise MultipartError("body ends before the closing boundary")
        chunk = rfile.read(min(remaining, READ_SIZE))
        if not chunk:
            raise MultipartError("connection closed")
        remaining -= len(chunk)
        return chunk

    delimiter = b"\r\n--" + boundary
    buffer = bytearray(b"\r\n")
    # Before the first part: a preamble to skip.
    while (found := buffer.find(delimiter)) < 0:
        del buffer[:max(0, len(buffer) - len(delimiter))]
        buffer += more()
    del buffer[:found + len(delimiter)]
    while True:
        while len(buffer) < 2:
            buffer += more()
        if buffer[:2] == b"--":
            break
        while (end := buffer.find(b"\r\n\r\n")) < 0:
            if len(buffer) > PART_HEAD_LIMIT:
                raise MultipartError("part head too long")
            buffer += more()
        head = bytes(buffer[:end])
        del buffer[:end + 4]
        # The head begins with the rest of the boundary's line.
        fields = head.partition(b"\r\n")[2]
        message = email.parser.BytesHeaderParser(policy=email.policy.HTTP).parsebytes(
            fields + b"\r\n\r\n")
        name = message.get_param("name", header="content-disposition")
        name = name if isinstance(name, str) else None
        is_file = message.get_param("filename", header="content-disposition") is not None
        sink = None
        if name and name not in parts:
            sink = tempfile.TemporaryFile(dir=directory) if is_file else io.BytesIO()
            parts[name] = sink
        while True:
            found = buffer.find(delimiter)
            cut = found if found >= 0 else max(0, len(buffer) - len(delimiter))
            if sink is not None and cut:
                sink.write(buffer[:cut])
                if not is_file and sink.tell() > field_limit:
                    raise MultipartError("field too long")
            del buffer[:cut]
            if found >= 0:
                del buffer[:len(delimiter)]
                break
            buffer += more()
        if sink is not None and not is_file:
            parts[name] = sink.getvalue()


def close_parts(parts):
    for value in parts.values():
        if not isinstance(value, (bytes, bytearray)):
            with contextlib.suppress(OSError):
                value.close()
