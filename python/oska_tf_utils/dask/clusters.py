"""Where the Dask entry points run: the active client, or a cluster started for them."""

from __future__ import annotations

from collections.abc import Iterator
from contextlib import contextmanager

import distributed

from ..errors import OskaToolError
from ..options import OptionError, check_count, check_text


def active_client() -> distributed.Client | None:
    """The distributed Client that Dask would compute on now, or None (a local
    scheduler)."""
    from dask.base import get_scheduler

    client = getattr(get_scheduler(), "__self__", None)
    return client if isinstance(client, distributed.Client) else None


@contextmanager
def cluster(scheduler: str | None = None, workers: int | None = None
            ) -> Iterator[distributed.Client | None]:
    """A Client, made the active one while the context lasts: connected to the
    scheduler at `scheduler`, or to a local cluster of `workers` worker
    processes (one thread each, no dashboard) started for it and closed after;
    None, and nothing started, without either."""
    check_text("scheduler", scheduler)
    if workers is not None:
        check_count("workers", workers, 1, "worker processes",
                    f"the number of workers must be at least 1, not {workers}.")
    if scheduler is not None and workers is not None:
        raise OptionError("give a scheduler address or a number of workers, not both.")
    if scheduler is not None:
        try:
            client = distributed.Client(scheduler, timeout=30)
        except (OSError, TimeoutError) as e:
            raise OskaToolError(f"cannot reach the Dask scheduler at {scheduler}: {e}. Is it "
                                "running, and is the address tcp://HOST:PORT?") from None
        with client:
            yield client
    elif workers is not None:
        # No dashboard; the scheduler's HTTP server (health, metrics) on a free
        # port of the loopback interface, so that clusters never compete for one.
        with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                      dashboard_address=None,
                                      scheduler_kwargs={"dashboard_address": "127.0.0.1:0"}
                                      ) as local, \
                distributed.Client(local) as client:
            yield client
    else:
        yield None
