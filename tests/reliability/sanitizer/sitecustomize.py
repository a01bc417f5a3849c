"""Keeps the sanitizer runtime in the children of a sanitized interpreter.

This folder is put on PYTHONPATH while the Python tests run against the
sanitizer-instrumented module, so every interpreter of that run, children and their
children included, imports this file at start-up.

Some tests and examples start a child interpreter with their own LD_PRELOAD
(libfaketime), which would drop the sanitizer runtime, and an instrumented module
refuses to load without it. Every child started through ``subprocess`` gets the
runtime back, after whatever its parent preloads: libfaketime reads the clock while it
initialises, and with the sanitizer loaded in front of it that first read deadlocks.
The sanitizer's check that it comes first is switched off for such a child; its
allocator and its checks are the same.
"""

import os
import subprocess

RUNTIME = os.environ.get("GALTRO_SANITIZER_PRELOAD", "").split()


def with_runtime(env):
    if env.get("GALTRO_SANITIZER_PRELOAD") == "":
        return env  # a child that is none of ours (a server) asked to run without it
    preload = env.get("LD_PRELOAD", "").split()
    missing = [library for library in RUNTIME if library not in preload]
    if not missing:
        return env
    env = dict(env, LD_PRELOAD=" ".join(preload + missing))
    if preload:
        options = env.get("ASAN_OPTIONS", "")
        env["ASAN_OPTIONS"] = ":".join(filter(None, [options, "verify_asan_link_order=0"]))
    return env


if RUNTIME:
    _original_init = subprocess.Popen.__init__

    def _init(self, *args, **kwargs):
        if kwargs.get("env") is not None:
            kwargs["env"] = with_runtime(kwargs["env"])
        _original_init(self, *args, **kwargs)

    subprocess.Popen.__init__ = _init
