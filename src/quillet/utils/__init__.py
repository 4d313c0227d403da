# The native module quillet.utils.utils is the package's public face: its names
# are re-exported here, and quillet.utils.attrs lives beside it.
from quillet.utils import utils as _native
from quillet.utils.utils import *  # noqa: F403

__doc__ = _native.__doc__
