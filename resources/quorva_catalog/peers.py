"""Who is on the other end of a loopback connection: the user owning the client's socket,
through the kernel's socket diagnostics (netlink) or, failing that, /proc."""

import errno
import socket
import struct


def tcp_address(address, mapped):
    ip, port = address[:2]
    word = "%08X" % struct.unpack("=I", socket.inet_aton(ip))[0]
    return f"{'0000000000000000FFFF0000' if mapped else ''}{word}:{port:04X}"


def proc_peer_uid(peer, local):
    """Owner of the client's end of a loopback connection, from /proc where there is one."""
    # A client on an IPv6 socket reaches 127.0.0.1 as ::ffff:127.0.0.1 and is listed in tcp6.
    for table_path, mapped in (("/proc/net/tcp", False), ("/proc/net/tcp6", True)):
        wanted = (tcp_address(peer, mapped), tcp_address(local, mapped))
        try:
            with open(table_path, encoding="ascii") as table:
                for fields in map(str.split, table):
                    if len(fields) > 7 and (fields[1], fields[2]) == wanted:
                        return int(fields[7])
        except (OSError, ValueError):
            continue
    return None


def diag_peer_uid(peer, local):
    """The same through the kernel's socket diagnostics: one exact lookup instead of reading
    a table that grows with every connection (and every closed one in TIME_WAIT)."""
    sockid = (struct.pack("!HH", peer[1], local[1]) + socket.inet_aton(peer[0]) + bytes(12)
              + socket.inet_aton(local[0]) + bytes(12) + struct.pack("=III", 0, ~0 & 0xFFFFFFFF,
                                                                    ~0 & 0xFFFFFFFF))
    request = struct.pack("=BBBBI", socket.AF_INET, socket.IPPROTO_TCP, 0, 0, 0xFFFFFFFF) + sockid
    # SOCK_DIAG_BY_FAMILY, NLM_F_REQUEST; a v4-mapped IPv6 client is found by its v4 address.
    with socket.socket(socket.AF_NETLINK, socket.SOCK_DGRAM, 4) as diag:
        diag.settimeout(1)
        diag.send(struct.pack("=IHHII", 16 + len(request), 20, 1, 1, 0) + request)
        reply = diag.recv(8192)
    length, kind = struct.unpack_from("=IH", reply)
    if kind != 20 or length < 16 + 72:
        return None
    return struct.unpack_from("=I", reply, 16 + 64)[0]


UNKNOWN_UID = -1


def peer_uid(peer, local):
    """The client's user; None where the system cannot tell, UNKNOWN_UID where it could but
    the lookup failed (out of descriptors, say), which is refused rather than let through."""
    if hasattr(socket, "AF_NETLINK"):
        try:
            uid = diag_peer_uid(peer, local)
            if uid is not None:
                return uid
        except (OSError, struct.error) as error:
            if getattr(error, "errno", None) in (errno.EMFILE, errno.ENFILE):
                return UNKNOWN_UID
    return proc_peer_uid(peer, local)
