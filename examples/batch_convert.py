"""Convert every image under a folder with Pixmill, one process a core.

Usage: python3 batch_convert.py [--workers N] [--format png] [--library PATH]
                                INPUT_DIR OUTPUT_DIR

Each image INPUT_DIR/a/b.jpg becomes OUTPUT_DIR/a/b.png (or the container
chosen). Every call of the library runs on the caller's thread and the last
error text is one value for the whole process, so the work is spread over
processes, not threads: each worker loads the library once and converts its
files one after another, and every text it reads is its own.

Prints a progress line on a terminal, lists the files that failed with the
library's text, and exits with 0 when every file converted, 1 when any
failed, 2 on a usage error.
"""
import argparse
import concurrent.futures
import ctypes
import os
import sys
import threading
import time

FORMATS = {"jpg": 0, "png": 1, "tif": 2, "gif": 3, "bmp": 4}
IMAGE_SUFFIXES = (".png", ".jpg", ".jpeg", ".tif", ".tiff", ".gif", ".bmp")

_lib = None
_libc = None
# The last error text is one value for the whole process: a worker with
# several threads (a Dask worker started with --nthreads 2) converts one
# file at a time.
_lock = threading.Lock()


def load(library):
    """Opens the library once for this process (later calls do nothing)."""
    global _lib, _libc
    if _lib is not None:
        return
    _lib = ctypes.CDLL(library)
    _lib.Pixmill_Create.restype = ctypes.c_void_p
    _lib.Pixmill_Create.argtypes = [ctypes.c_char_p]
    _lib.Pixmill_Save.restype = ctypes.c_int32
    _lib.Pixmill_Save.argtypes = [ctypes.c_char_p, ctypes.c_void_p, ctypes.c_int32]
    _lib.Pixmill_Delete.argtypes = [ctypes.c_void_p]
    _lib.Pixmill_LastErrorMessage.restype = ctypes.c_void_p  # malloc'ed, freed below
    _libc = ctypes.CDLL(None)
    _libc.free.argtypes = [ctypes.c_void_p]


def _last_error():
    p = _lib.Pixmill_LastErrorMessage()
    if not p:
        return "Out of memory"
    text = ctypes.string_at(p).decode("utf-8", "replace")
    _libc.free(p)
    return text


def convert(job):
    """Converts one file; returns (source, None) or (source, error text)."""
    source, target, code = job
    try:
        os.makedirs(os.path.dirname(target), exist_ok=True)
    except OSError as e:
        return source, "Cannot create the folder for '%s': %s" % (target, e.strerror)
    with _lock:
        img = _lib.Pixmill_Create(os.fsencode(source))
        if not img:
            return source, _last_error()
        status = _lib.Pixmill_Save(os.fsencode(target), img, code)
        text = _last_error() if status != 0 else None
        _lib.Pixmill_Delete(img)
    return source, text


def find_jobs(input_dir, output_dir, suffix, code):
    """(source, target, code) for every image under input_dir, sorted."""
    jobs = []
    for folder, dirs, files in os.walk(input_dir):
        dirs.sort()
        for name in sorted(files):
            if name.lower().endswith(IMAGE_SUFFIXES):
                source = os.path.join(folder, name)
                rel = os.path.splitext(os.path.relpath(source, input_dir))[0]
                jobs.append((source, os.path.join(output_dir, rel + "." + suffix), code))
    return jobs


def batch_size(files, workers):
    """Files a task: enough to make the round trips cheap, few enough that
    the load stays even when file sizes differ."""
    return max(1, min(16, files // (4 * workers)))


class Progress:
    """The progress line on a terminal, and the closing report."""

    def __init__(self, total):
        self.total, self.done = total, 0
        self.start = time.monotonic()
        self.shown = sys.stderr.isatty()

    def add(self, files):
        self.done += files
        if self.shown:
            rate = self.done / max(time.monotonic() - self.start, 1e-9)
            sys.stderr.write("\r%d/%d files, %.1f files/s" % (self.done, self.total, rate))

    def report(self, failures, workers):
        """Prints the summary and each failure (source, text) in the order
        given; returns the exit status."""
        elapsed = time.monotonic() - self.start
        if self.shown:
            sys.stderr.write("\n")
        print("%d files converted, %d failed, in %.2f s (%.1f files/s, %d workers)"
              % (self.total - len(failures), len(failures), elapsed, self.total / max(elapsed, 1e-9), workers))
        for source, text in failures:
            print("FAILED %s: %s" % (source, text))
        return 1 if failures else 0


def arguments(description):
    """The arguments every batch converter takes."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("input_dir")
    parser.add_argument("output_dir")
    parser.add_argument("--format", choices=sorted(FORMATS), default="png", help="output container")
    parser.add_argument("--library", default=os.environ.get("PIXMILL_LIBRARY", "libPixmill_x64.so.1"),
                        help="the library to load (default: $PIXMILL_LIBRARY or libPixmill_x64.so.1)")
    return parser


def main(argv):
    parser = arguments("Convert every image under a folder with Pixmill.")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                        help="worker processes (default: one a core)")
    args = parser.parse_args(argv)
    if args.workers < 1:
        parser.error("--workers must be at least 1")
    if not os.path.isdir(args.input_dir):
        parser.error("'%s' is not a folder" % args.input_dir)

    jobs = find_jobs(args.input_dir, args.output_dir, args.format, FORMATS[args.format])
    progress = Progress(len(jobs))
    failures = []
    # Files go to the workers in small batches: fewer round trips than one at
    # a time, and the load stays even when file sizes differ.
    chunk = batch_size(len(jobs), args.workers)
    with concurrent.futures.ProcessPoolExecutor(args.workers, initializer=load,
                                                initargs=(args.library,)) as pool:
        for source, text in pool.map(convert, jobs, chunksize=chunk):
            if text is not None:
                failures.append((source, text))
            progress.add(1)
    return progress.report(failures, args.workers)

if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
