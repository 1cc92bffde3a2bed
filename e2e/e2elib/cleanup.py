"""Undo everything the harness set up, whatever way the run ends.

Every namespace, server and helper process is registered here as soon as it
exists; `run_all` undoes them in reverse order. It is called from the
harness's own finally blocks, from atexit, and from the signal handlers
installed by `install_handlers`, and is safe to call more than once.
"""
import atexit
import os
import signal
import sys
import threading

_lock = threading.RLock()
_actions = []  # (key, description, callable), undone last-in first-out
_installed = False


def register(key, description, action):
    """Remember how to undo something; `key` lets the owner drop it later."""
    with _lock:
        _actions.append((key, description, action))
    return key


def unregister(key):
    with _lock:
        _actions[:] = [a for a in _actions if a[0] != key]


def undo(key):
    """Run and forget the undo action(s) registered under `key`."""
    with _lock:
        mine = [a for a in _actions if a[0] == key]
        _actions[:] = [a for a in _actions if a[0] != key]
    for _, description, action in reversed(mine):
        _run_one(description, action)


def _run_one(description, action):
    try:
        action()
    except Exception as error:  # cleanup must go on with the rest
        sys.stderr.write("cleanup: %s: %s\n" % (description, error))


def run_all():
    with _lock:
        pending = list(reversed(_actions))
        _actions.clear()
    for _, description, action in pending:
        _run_one(description, action)


def _on_signal(signum, _frame):
    # Leave through the normal unwinding so finally blocks run too.
    signal.signal(signum, signal.SIG_IGN)
    raise SystemExit(128 + signum)


def install_handlers():
    global _installed
    if _installed:
        return
    _installed = True
    atexit.register(run_all)
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT):
        signal.signal(signum, _on_signal)


def kill_pid(pid, sig=signal.SIGKILL):
    try:
        os.kill(pid, sig)
    except ProcessLookupError:
        pass
