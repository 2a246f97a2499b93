import atexit
import os
import shutil
import sys
import tempfile

# The compiled modules import from the repository root.
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

# The suite never writes into the user's cache: one completion store for the whole session,
# inherited by every child process, with the warm-up's fill off unless a test turns it on.
_STORE_DIR = tempfile.mkdtemp(prefix="quorvel-test-store-")
os.environ["QUORVEL_CACHE_DIR"] = _STORE_DIR
os.environ["QUORVEL_COMPLETION_STORE"] = "nowarmup"
atexit.register(shutil.rmtree, _STORE_DIR, True)
