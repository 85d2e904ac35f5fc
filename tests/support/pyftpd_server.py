# Starts pyftpdlib for tests:
#   pyftpd_server.py PORT ROOT USER PASSWORD [CERTFILE KEYFILE [FLAG...]]
# With a certificate it requires TLS on the control connection, and on the data connections
# unless "clear-data-allowed" is given. Flags:
#   tolerate-early-data-handshake  keep a data connection whose TLS handshake starts early open
#   clear-data-allowed             accept "PROT C"
#   corrupt-downloads              break a download's TLS stream with stray bytes after 256 KiB
import logging
import os
import sys

from pyftpdlib.handlers import FTPHandler, TLS_DTPHandler, TLS_FTPHandler
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


def main():
    port, root, user, password = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
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
    handler.authorizer = authorizer
    handler.permit_foreign_addresses = False
    logging.basicConfig(level=logging.INFO, stream=sys.stdout)
    server = FTPServer(("127.0.0.1", port), handler)
    server.serve_forever()


if __name__ == "__main__":
    main()
