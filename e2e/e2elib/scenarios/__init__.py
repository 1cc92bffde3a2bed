"""The end-to-end scenarios: each builds a machine, runs the tool, checks.

A scenario is a function taking the harness `Env` and returning a list of
`Checker`s, one per named part (a scenario that runs the tool twice reports
two parts). They live by theme in the modules here; SCENARIOS names them
and gives the order `list` and `test` go by.
"""
from . import commands, files, metadata, operator, package, proxy, service, success

SCENARIOS = [
    ("two_adapters_change", success.two_adapters_change),
    ("many_adapters", success.many_adapters),
    ("missing_ini", files.missing_ini),
    ("missing_gateway", files.missing_gateway),
    ("metadata_down", metadata.metadata_down),
    ("metadata_late", metadata.metadata_late),
    ("only_main_listed", metadata.only_main_listed),
    ("malformed_address", metadata.malformed_address),
    ("adapter_appears", success.adapter_appears),
    ("two_runs_at_once", success.two_runs_at_once),
    ("netsh_not_applied", commands.netsh_not_applied),
    ("netsh_hangs", commands.netsh_hangs),
    ("netsh_slow", commands.netsh_slow),
    ("planted_programs", commands.planted_programs),
    ("metadata_never_answers", metadata.metadata_never_answers),
    # Faults: after each of these the saved configuration is unchanged or,
    # where the writer had begun, its backup holds the file as it was; eth0
    # and the [eth0] GATEWAY the next run starts from are left alone.
    ("metadata_cut_body", metadata.metadata_cut_body),
    ("netsh_missing", commands.netsh_missing),
    ("ini_read_only", files.ini_read_only),
    ("log_unopenable", files.log_unopenable),
    ("adapter_removed", commands.adapter_removed),
    ("proxy_configured", proxy.proxy_configured),
    # It installs a service and removes it again before it ends.
    ("operator_asks", operator.operator_asks),
    # Last: it installs a service, which any later boot of the prefix would start.
    ("service_follows_changes", service.service_follows_changes),
    ("package_lifecycle", package.package_lifecycle),
]
