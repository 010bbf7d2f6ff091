"""Log transforms on a Dask cluster: Dask arrays, Dask DataFrames and whole log files.

Dask distributes the work, retries it and reports on it; this package supplies
the pipeline of `oska_tf_utils.pipeline`, one module per job: `arrays`
(`transform_array`), `frames` (`transform_dataframe`), `logs`
(`transform_logs`, `transform_pairs`) with the bodies of its tasks in `tasks`,
and `clusters` (`cluster`, `active_client`). Every function runs on the
scheduler the caller chose, as Dask's own functions do: the active
distributed Client when there is one, otherwise Dask's local scheduler. None
starts a cluster of its own; `cluster()` does, when asked.

Blocks never travel between processes: each task builds its block from the
configuration, a JSON file path (which every worker must be able to read) or
a configuration record (OskaTfConfig, OskaPayloadConfig: they pickle). The results are those of an in-process run,
bit for bit, whatever the chunking.

Needs the dask extra: pip install "oska-tf-utils[logs,dask]".
"""

from __future__ import annotations

from ..errors import INSTALL_DASK, require

for _module in ("dask", "distributed", "pandas", "fsspec"):
    require(_module, "Running transforms on Dask", INSTALL_DASK)

from .arrays import transform_array  # noqa: E402
from .clusters import active_client, cluster  # noqa: E402
from .frames import transform_dataframe  # noqa: E402
from .logs import LogsSummary, expand_inputs, transform_logs, transform_pairs  # noqa: E402
from .tasks import LogFailure  # noqa: E402

__all__ = ["LogFailure", "LogsSummary", "active_client", "cluster", "expand_inputs",
           "transform_array", "transform_dataframe", "transform_logs", "transform_pairs"]
