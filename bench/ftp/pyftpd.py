# The pyftpdlib peer of the FTP benchmark: user "bench", password "bench".
import sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

root, port = sys.argv[1], int(sys.argv[2])
auth = DummyAuthorizer()
auth.add_user('bench', 'bench', root, perm='elradfmwMT')
FTPHandler.authorizer = auth
FTPServer(('127.0.0.1', port), FTPHandler).serve_forever()
