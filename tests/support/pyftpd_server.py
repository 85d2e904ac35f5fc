# Starts pyftpdlib for tests: pyftpd_server.py PORT ROOT USER PASSWORD [CERTFILE KEYFILE]
# With a certificate it requires TLS on the control and data connections.
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, TLS_DTPHandler, TLS_FTPHandler
from pyftpdlib.servers import FTPServer


class EarlyHandshakeDTPHandler(TLS_DTPHandler):
    """pyftpdlib 1.5.7 closes a data connection that turns readable before its transfer command
    has arrived, which is exactly when a client starts the TLS handshake right after connecting
    (curl does, and so does ours). Keep it open while the handshake is under way."""

    def readable(self):
        if self._ssl_accepting:
            return True
        return super().readable()


def main():
    port, root, user, password = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, root, perm="elradfmwMT")
    if len(sys.argv) > 6:
        handler = TLS_FTPHandler
        handler.certfile = sys.argv[5]
        handler.keyfile = sys.argv[6]
        handler.tls_control_required = True
        handler.tls_data_required = True
        handler.dtp_handler = EarlyHandshakeDTPHandler
    else:
        handler = FTPHandler
    handler.authorizer = authorizer
    handler.permit_foreign_addresses = False
    logging.basicConfig(level=logging.INFO, stream=sys.stdout)
    server = FTPServer(("127.0.0.1", port), handler)
    server.serve_forever()


if __name__ == "__main__":
    main()
