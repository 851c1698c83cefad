"""What benchmarks/cost_curve.py reads of the resource module, on Windows:
the process's user and system CPU seconds (GetProcessTimes, through
os.times) and its peak working set (GetProcessMemoryInfo), in KiB as
Linux's ru_maxrss."""

import ctypes
import os
from collections import namedtuple
from ctypes import wintypes

RUSAGE_SELF = 0
Usage = namedtuple("Usage", "ru_utime ru_stime ru_maxrss")
_kernel32 = ctypes.WinDLL("kernel32")
_psapi = ctypes.WinDLL("psapi")
# A handle is pointer-wide: ctypes' default int would cut the process's
# pseudo-handle (-1) to 32 bits.
_kernel32.GetCurrentProcess.restype = wintypes.HANDLE


class _MemoryCounters(ctypes.Structure):
    _fields_ = [("cb", wintypes.DWORD), ("PageFaultCount", wintypes.DWORD)] + [
        (name, ctypes.c_size_t) for name in (
            "PeakWorkingSetSize", "WorkingSetSize", "QuotaPeakPagedPoolUsage", "QuotaPagedPoolUsage",
            "QuotaPeakNonPagedPoolUsage", "QuotaNonPagedPoolUsage", "PagefileUsage", "PeakPagefileUsage")]


_psapi.GetProcessMemoryInfo.argtypes = [wintypes.HANDLE, ctypes.POINTER(_MemoryCounters), wintypes.DWORD]
_psapi.GetProcessMemoryInfo.restype = wintypes.BOOL


def getrusage(who):
    """The calling process's usage (`who` must be RUSAGE_SELF)."""
    if who != RUSAGE_SELF:
        raise ValueError("only RUSAGE_SELF")
    counters = _MemoryCounters(cb=ctypes.sizeof(_MemoryCounters))
    if not _psapi.GetProcessMemoryInfo(_kernel32.GetCurrentProcess(), ctypes.byref(counters), counters.cb):
        raise ctypes.WinError()
    times = os.times()
    return Usage(times.user, times.system, counters.PeakWorkingSetSize // 1024)
