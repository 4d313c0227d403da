# The native module behind quillet.frozen, which re-exports all of it.
from quillet.frozen import *
