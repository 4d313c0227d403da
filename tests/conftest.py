from hypothesis import HealthCheck, settings

# Properties, not timings: the suite also runs under the sanitizers on a busy
# two-core machine, where an example may take far longer than usual.
settings.register_profile("quillet", deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("quillet")
