# The native module behind quillet.utils, which re-exports all of it.
from quillet.utils import *
