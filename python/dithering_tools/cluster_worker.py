"""Run by each worker process of a `local:N` cluster as it starts (Dask's
preload, named by cluster.WORKER_PRELOAD).

The workers are children of the `dither` command and share its terminal's
process group, so Ctrl-C reaches them as well as the command. Left to
itself, a worker dies of it mid-file and its nanny starts another; the
command alone decides what Ctrl-C means (stop submitting, cancel what is
left, close the cluster), so the workers ignore it. SIGTERM is unchanged:
it is how the cluster is closed."""

import signal
import threading


def dask_setup(worker: object) -> None:
    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGINT, signal.SIG_IGN)
