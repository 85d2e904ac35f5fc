# Starts pyftpdlib for tests:
#   pyftpd_server.py PORT ROOT USER PASSWORD [CERTFILE KEYFILE [FLAG...]]
# With a certificate it requires TLS on the control connection, and on the data connections
# unless "clear-data-allowed" is given. Flags:
#   tolerate-early-data-handshake  keep a data connection whose TLS handshake starts early open
#   clear-data-allowed             accept "PROT C"
#   corrupt-downloads              break a download's TLS stream with stray bytes after 256 KiB
#   stall-first-download-at=BYTES  (also without TLS) the first download stops after BYTES and
#                                  sends nothing more until the client aborts it
import logging
import os
import sys

from pyftpdlib.handlers import ActiveDTP, DTPHandler, FTPHandler, TLS_DTPHandler, TLS_FTPHandler
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.servers import FTPServer


class EarlyHandshakeDTPHandler(TLS_DTPHandler):
    """pyftpdlib 1.5.7 closes a data connection that turns readable before its transfer command
    has arrived, which is what a client that starts the TLS handshake right after connecting
    runs into. On request, keep it open while the handshake is under way (pyftpdlib as shipped
    does not)."""

    def readable(self):
        if self._ssl_accepting:
            return True
        return super().readable()


class ReleasingActiveDTP(ActiveDTP):
    """pyftpdlib 1.5.7 keeps the descriptor number of an active data connection after handing its
    socket on to the transfer. The next PORT on that control connection closes the connector again,
    which takes whatever socket holds that number now out of the event loop: another client's data
    connection still connecting, or its control connection. That client then waits for a reply that
    never comes (several sessions in active mode at once). Forget the number once it is handed on."""

    def handle_connect(self):
        super().handle_connect()
        self._fileno = None


class CorruptingDTPHandler(TLS_DTPHandler):
    """Writes stray bytes between two TLS records once 256 KiB have gone out."""

    sent_total = 0
    corrupted = False

    def send(self, data):
        n = super().send(data)
        self.sent_total += n if n else 0
        if self.sent_total > 256 * 1024 and not self.corrupted:
            self.corrupted = True
            os.write(self.socket.fileno(), b"\x17\x03\x03\x00\x20" + b"\x55" * 32)
        return n


class StallingDTPHandler(DTPHandler):
    """Holds the first file download once STALL_AT bytes have gone out: nothing more is sent
    until the client aborts, so a test can interrupt a transfer at a known point without a race."""

    stall_at = 0
    stalls_left = 1

    def __init__(self, sock, cmd_channel):
        super().__init__(sock, cmd_channel)
        self.stalling = False

    def use_sendfile(self):
        return False

    def send(self, data):
        if self.file_obj is not None and not self.stalling and StallingDTPHandler.stalls_left > 0:
            StallingDTPHandler.stalls_left -= 1
            self.stalling = True
        if self.stalling:
            data = data[: max(0, self.stall_at - self.tot_bytes_sent)]
            if not data:
                return 0
        return super().send(data)

    def writable(self):
        if self.stalling and self.tot_bytes_sent >= self.stall_at:
            return False
        return super().writable()


def main():
    port, root, user, password = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
    settings = dict(a.split("=", 1) for a in sys.argv[5:] if "=" in a)
    sys.argv = sys.argv[:5] + [a for a in sys.argv[5:] if "=" not in a]
    flags = set(sys.argv[7:])
    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, root, perm="elradfmwMT")
    if len(sys.argv) > 6:
        handler = TLS_FTPHandler
        handler.certfile = sys.argv[5]
        handler.keyfile = sys.argv[6]
        handler.tls_control_required = True
        handler.tls_data_required = "clear-data-allowed" not in flags
        if "tolerate-early-data-handshake" in flags:
            handler.dtp_handler = EarlyHandshakeDTPHandler
        if "corrupt-downloads" in flags:
            handler.dtp_handler = CorruptingDTPHandler
    else:
        handler = FTPHandler
    if "stall-first-download-at" in settings:
        StallingDTPHandler.stall_at = int(settings["stall-first-download-at"])
        handler.dtp_handler = StallingDTPHandler
    handler.active_dtp = ReleasingActiveDTP
    handler.authorizer = authorizer
    handler.permit_foreign_addresses = False
    logging.basicConfig(level=logging.INFO, stream=sys.stdout)
    server = FTPServer(("127.0.0.1", port), handler)
    server.serve_forever()


if __name__ == "__main__":
    main()
