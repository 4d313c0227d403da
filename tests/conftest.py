import pytest
from hypothesis import HealthCheck, settings

from quillet.utils import attrs

# Properties, not timings: the suite also runs under the sanitizers on a busy
# two-core machine, where an example may take far longer than usual.
settings.register_profile("quillet", deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("quillet")


@pytest.fixture(autouse=True, scope="session")
def empty_attrs_cache_at_exit():
    yield
    # The cache's storage is freed at exit without releasing its entries'
    # references, so LeakSanitizer would report the shapes still cached.
    attrs.cache_clear()
