"""Convert every image under a folder with Pixmill on a Dask cluster.

Usage: python3 dask_convert.py SRC DST [--format png] [--library PATH]
           [--scheduler ADDRESS | --workers N] [--return-bytes] [--batch N]

Each image SRC/a/b.jpg becomes DST/a/b.png, as with batch_convert.py, whose
conversion code the workers run (it is sent to them, so only the library
must be installed on their machines). Without --scheduler a local cluster of
N single-threaded worker processes is started; with it, the cluster at
ADDRESS (dask-scheduler and dask-worker started elsewhere) is used. Each
worker opens the library once and converts the files of a task one after
another. Workers write into DST, which must be the same path on a filesystem
they share; with --return-bytes they send each file's bytes back instead and
this program writes them. Failures come back with the library's text.

Prints a progress line on a terminal, lists the files that failed, and exits
with 0 when every file converted, 1 when any failed, 2 on a usage error.
"""
import os
import sys
import tempfile

import batch_convert


def _convert_batch(batch, library, return_bytes):
    """On a worker: converts a batch of (source, target, code) jobs. Returns
    (source, target, text, data) for each, data the file's bytes when they
    are to be sent back."""
    import batch_convert as bc  # the copy sent to this worker
    bc.load(library)
    results = []
    for source, target, code in batch:
        if not return_bytes:
            results.append((source, target, bc.convert((source, target, code))[1], None))
            continue
        with tempfile.TemporaryDirectory(prefix="pixmill-") as scratch:
            local = os.path.join(scratch, os.path.basename(target))
            text = bc.convert((source, local, code))[1]
            data = None
            if text is None:
                with open(local, "rb") as f:
                    data = f.read()
            results.append((source, target, text, data))
    return results


def _write(target, data):
    """Writes data to target whole or not at all."""
    os.makedirs(os.path.dirname(target), exist_ok=True)
    scratch = target + ".part-%d" % os.getpid()
    try:
        with open(scratch, "wb") as f:
            f.write(data)
        os.replace(scratch, target)
    except OSError as e:
        if os.path.exists(scratch):
            os.unlink(scratch)
        return "Cannot write '%s': %s" % (target, e.strerror)
    return None


def main(argv):
    parser = batch_convert.arguments("Convert every image under a folder with Pixmill on a Dask cluster.")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", help="address of a running Dask scheduler (tcp://host:8786)")
    where.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                       help="single-threaded worker processes of a local cluster (default: one a core)")
    parser.add_argument("--return-bytes", action="store_true",
                        help="send the outputs back to this program instead of writing them on the workers")
    parser.add_argument("--batch", type=int, default=0, help="files a task (default: from the count)")
    args = parser.parse_args(argv)
    if args.workers < 1 or args.batch < 0:
        parser.error("--workers must be at least 1 and --batch at least 0")
    if not os.path.isdir(args.input_dir):
        parser.error("'%s' is not a folder" % args.input_dir)
    try:
        import distributed
    except ImportError:
        print("dask_convert: Dask's distributed package is not installed (Debian: python3-distributed)",
              file=sys.stderr)
        return 2

    # Absolute paths: the workers may run in other folders, or on machines
    # that mount the same filesystem at the same place.
    jobs = batch_convert.find_jobs(os.path.abspath(args.input_dir), os.path.abspath(args.output_dir),
                                   args.format, batch_convert.FORMATS[args.format])
    if args.scheduler:
        cluster, client = None, distributed.Client(args.scheduler)
    else:
        cluster = distributed.LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                                           dashboard_address=None)
        client = distributed.Client(cluster)
    try:
        client.upload_file(batch_convert.__file__)
        workers = len(client.scheduler_info()["workers"]) or 1
        size = args.batch or batch_convert.batch_size(len(jobs), workers)
        batches = [jobs[i:i + size] for i in range(0, len(jobs), size)]
        futures = client.map(_convert_batch, batches, library=args.library, return_bytes=args.return_bytes,
                             pure=False)
        progress = batch_convert.Progress(len(jobs))
        texts = {}
        for future in distributed.as_completed(futures):
            results = future.result()
            for source, target, text, data in results:
                if text is None and data is not None:
                    text = _write(target, data)
                texts[source] = text
            progress.add(len(results))
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    failures = [(source, texts[source]) for source, _, _ in jobs if texts[source] is not None]
    return progress.report(failures, workers)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
