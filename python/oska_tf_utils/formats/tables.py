"""CSV and Parquet tables, read and written in chunks of rows with pyarrow.

A CSV file is read with every column as text: the columns the tool computes
with are parsed from it, and every other column is written back as it was
read, character for character. Signal values are written in the shortest
form that reads back to the same double. A Parquet file keeps its schema;
only the signal columns become float64.
"""

from __future__ import annotations

import os
from collections.abc import Iterator, Mapping
from contextlib import suppress
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal

import numpy as np

from ..align import Floats, Mask, SampleChunk, Stamps, stamps_from_seconds
from ..errors import OskaToolError, require
from ..kinds import TRANSFORM_COLUMNS, Kind
from ..options import DEFAULT_CHUNK_ROWS

if TYPE_CHECKING:
    import pyarrow as pa

TableFormat = Literal["csv", "parquet"]
TABLE_SUFFIXES: dict[str, TableFormat] = {".csv": "csv", ".parquet": "parquet", ".pq": "parquet"}
TIME_SECONDS, TIME_NS = "t", "t_ns"
TABLE_TRANSFORM_COLUMNS = tuple(f"tf_{c}" for c in TRANSFORM_COLUMNS)
"""The transform's columns inside a signal table."""


def table_format(path: str | os.PathLike[str]) -> TableFormat | None:
    """The table format named by the file's extension, None for anything else."""
    return TABLE_SUFFIXES.get(Path(path).suffix.lower())


def _pyarrow() -> None:
    require("pyarrow", "Reading and writing CSV and Parquet tables")


def _found(names: list[str]) -> str:
    shown = ", ".join(names[:40]) + (", ..." if len(names) > 40 else "")
    return f"the table has the columns: {shown}"


@dataclass(frozen=True)
class Columns:
    """Which columns of a table play which part."""

    signal: tuple[str, ...]
    time: str | None = None
    time_unit: Literal["s", "ns"] = "s"
    transform: tuple[str, ...] | None = None


def resolve_columns(names: list[str], path: str, wanted: tuple[str, ...],
                    mapping: Mapping[str, str] | None, transform: tuple[str, ...] | None = None,
                    what: str = "signal") -> Columns:
    """Finds the time column, the `wanted` columns and, when all are there, the
    `transform` columns, each under its own name or the one `mapping` gives.
    A wanted column that is missing is an error listing what the table has."""
    mapping = dict(mapping or {})
    unknown = set(mapping) - {*wanted, *(transform or ()), TIME_SECONDS, TIME_NS}
    if unknown:
        raise OskaToolError(f"--columns maps {', '.join(sorted(unknown))}, which the {what} "
                            f"table does not use; it uses {', '.join(wanted)}, "
                            f"{TIME_SECONDS} or {TIME_NS}"
                            + (f", {', '.join(transform)}" if transform else "") + ".")
    present = set(names)
    missing = [mapping.get(c, c) for c in wanted if mapping.get(c, c) not in present]
    if missing:
        raise OskaToolError(f"{path} has no column {', '.join(missing)}, which the {what} "
                            f"needs; {_found(names)}. Name the columns with --columns, "
                            "e.g. --columns fx=force_x.")
    time, unit = None, "s"
    for key, this_unit in ((TIME_NS, "ns"), (TIME_SECONDS, "s")):
        if mapping.get(key, key) in present:
            time, unit = mapping.get(key, key), this_unit
            break
    tf: tuple[str, ...] | None = None
    if transform:
        named = [mapping.get(c, c) for c in transform]
        there = [c for c in named if c in present]
        if there and len(there) < len(named):
            raise OskaToolError(f"{path} has only some of the transform columns "
                                f"({', '.join(there)}); the transform needs all of "
                                f"{', '.join(named)}.")
        tf = tuple(named) if there else None
    return Columns(tuple(mapping.get(c, c) for c in wanted), time,
                   "ns" if unit == "ns" else "s", tf)


class TableReader:
    """Reads a CSV or Parquet table in chunks of exactly `chunk_rows` rows (the
    last one shorter), holding about one chunk in memory; of a Parquet table,
    only the row groups `groups` when given."""

    def __init__(self, path: str | os.PathLike[str], chunk_rows: int = DEFAULT_CHUNK_ROWS,
                 groups: range | None = None) -> None:
        _pyarrow()
        import pyarrow as pa
        import pyarrow.csv as pacsv
        import pyarrow.parquet as pq

        fmt = table_format(path)
        if fmt is None:
            raise OskaToolError(f"{path}: not a table by its extension (.csv, .parquet)")
        self.path = str(path)
        self.format: TableFormat = fmt
        self.chunk_rows = max(1, int(chunk_rows))
        try:
            if fmt == "parquet":
                # Without pre-buffering, pyarrow reads one row group at a time
                # instead of the whole file ahead.
                self._file = pq.ParquetFile(self.path, pre_buffer=False)
                self.schema: pa.Schema = self._file.schema_arrow
                self.row_groups = int(self._file.metadata.num_row_groups)
                self.groups = groups if groups is not None else range(self.row_groups)
                if self.groups.start < 0 or self.groups.stop > self.row_groups:
                    raise OskaToolError(f"{self.path} has {self.row_groups} row groups, not "
                                        f"{self.groups.start} to {self.groups.stop}.")
                self.total = sum(self._group_rows(g) for g in self.groups)
                self.unit = "rows"
            else:
                if groups is not None:
                    raise OskaToolError(f"{self.path}: only a Parquet table is read by row "
                                        "groups.")
                self.total = os.path.getsize(self.path)
                self.unit = "bytes"
                with pacsv.open_csv(self.path) as probe:
                    names = probe.schema.names
                self._convert = pacsv.ConvertOptions(
                    column_types={n: pa.string() for n in names}, strings_can_be_null=False,
                    quoted_strings_can_be_null=False, null_values=[])
                self.schema = pa.schema([(n, pa.string()) for n in names])
        except (OSError, pa.ArrowException) as e:
            raise OskaToolError(f"cannot read {self.path} as {fmt.upper()}: {e}. Is the file "
                                "complete and of that format?") from None
        self.names: list[str] = list(self.schema.names)
        self.position = 0

    def _group_rows(self, group: int) -> int:
        return int(self._file.metadata.row_group(group).num_rows)

    def rows_before(self, group: int) -> int:
        """The number of rows in the row groups before `group` (Parquet)."""
        return sum(self._group_rows(g) for g in range(group))

    def _row_group(self, group: int, columns: list[str]) -> pa.Table:
        """The named columns of one row group (Parquet)."""
        import pyarrow as pa

        try:
            table: pa.Table = self._file.read_row_group(group, columns=columns)
        except (OSError, pa.ArrowException) as e:
            raise OskaToolError(f"cannot read {self.path}: {e}. Is the file complete?") from None
        return table

    def neighbour(self, group: int, step: int, columns: list[str]) -> pa.RecordBatch | None:
        """The row just outside a range of row groups (Parquet), with the named
        columns only: the last row of the first non-empty group from `group`
        down (`step` -1), or the first row of the first one from `group` up
        (`step` 1); None when there is none."""
        while 0 <= group < self.row_groups:
            if self._group_rows(group):
                table = self._row_group(group, columns)
                index = table.num_rows - 1 if step < 0 else 0
                return table.slice(index, 1).combine_chunks().to_batches()[0]
            group += step
        return None

    def stamps_from_end(self, columns: Columns) -> Iterator[Stamps]:
        """The time column, one row group at a time from the last one backwards
        (Parquet, whose footer says where the row groups are); nothing for a CSV
        file, which can only be read from its start."""
        if self.format != "parquet" or columns.time is None:
            return
        for group in reversed(self.groups):
            if not self._group_rows(group):
                continue
            table = self._row_group(group, [columns.time])
            yield column_stamps(table.combine_chunks().to_batches()[0], columns, self.path)

    def _raw_batches(self) -> Iterator[pa.RecordBatch]:
        import pyarrow.csv as pacsv

        if self.format == "parquet":
            for batch in self._file.iter_batches(batch_size=self.chunk_rows,
                                                 row_groups=list(self.groups)):
                self.position += batch.num_rows
                yield batch
            return
        import pyarrow as pa

        # The stream's position says how far the reader got, for the progress bar.
        stream = pa.OSFile(self.path, "rb")
        with pacsv.open_csv(stream, convert_options=self._convert) as reader:
            for batch in reader:
                self.position = stream.tell()
                yield batch

    def batches(self) -> Iterator[pa.RecordBatch]:
        """The table's rows as record batches of `chunk_rows` rows."""
        import pyarrow as pa

        pending: list[pa.RecordBatch] = []
        count = 0
        try:
            for batch in self._raw_batches():
                if batch.num_rows == 0:
                    continue
                pending.append(batch)
                count += batch.num_rows
                while count >= self.chunk_rows:
                    table = pa.Table.from_batches(pending, self.schema)
                    yield table.slice(0, self.chunk_rows).combine_chunks().to_batches()[0]
                    rest = table.slice(self.chunk_rows)
                    pending = rest.combine_chunks().to_batches() if rest.num_rows else []
                    count -= self.chunk_rows
            if count:
                table = pa.Table.from_batches(pending, self.schema)
                yield table.combine_chunks().to_batches()[0]
        except (OSError, pa.ArrowException) as e:
            raise OskaToolError(f"cannot read {self.path}: {e}. Is the file complete?") from None


def _first_bad(values: list[Any], parse: Any) -> tuple[int, Any]:
    for row, value in enumerate(values):
        try:
            parse(value)
        except (TypeError, ValueError):
            return row, value
    return 0, None


def column_floats(batch: pa.RecordBatch, name: str, path: str) -> Floats:
    """A column as float64 values; nulls and unparsable text are errors."""
    import pyarrow as pa
    import pyarrow.compute as pc

    column = batch.column(name)
    if column.null_count:
        row = column.is_null().to_numpy(zero_copy_only=False).argmax()
        raise OskaToolError(f"{path}: column {name!r} has no value in row {row} of a chunk; "
                            "every sample needs every signal and time value.")
    try:
        values = pc.cast(column, pa.float64()) if column.type != pa.float64() else column
    except pa.ArrowException:
        row, bad = _first_bad(column.to_pylist(), float)
        raise OskaToolError(f"{path}: column {name!r} holds {bad!r}, which is not a number "
                            f"(row {row} of a chunk). Fix that value or map another column "
                            "with --columns.") from None
    result: Floats = values.to_numpy(zero_copy_only=False)
    return result


def column_stamps(batch: pa.RecordBatch, columns: Columns, path: str) -> Stamps:
    """The time column as int64 nanoseconds."""
    import pyarrow as pa
    import pyarrow.compute as pc

    assert columns.time is not None
    if columns.time_unit == "s":
        return stamps_from_seconds(column_floats(batch, columns.time, path), columns.time)
    column = batch.column(columns.time)
    if column.null_count:
        raise OskaToolError(f"{path}: the time column {columns.time!r} has an empty value.")
    try:
        if pa.types.is_timestamp(column.type):
            column = column.cast(pa.timestamp("ns"))
        stamps: Stamps = pc.cast(column, pa.int64()).to_numpy(zero_copy_only=False)
    except pa.ArrowException:
        row, bad = _first_bad(column.to_pylist(), int)
        raise OskaToolError(f"{path}: the time column {columns.time!r} holds {bad!r} (row {row} "
                            "of a chunk), not an integer number of nanoseconds.") from None
    return stamps


def matrix(batch: pa.RecordBatch, names: tuple[str, ...], path: str) -> Floats:
    """The named columns side by side: a C-contiguous float64 (rows, len(names)) array."""
    out = np.empty((batch.num_rows, len(names)))
    for j, name in enumerate(names):
        out[:, j] = column_floats(batch, name, path)
    return out


class TransformTable:
    """A transform table: a time column and tx ty tz qw qx qy qz, read as
    (stamps, rows) chunks for a TransformTrack."""

    def __init__(self, path: str | os.PathLike[str], mapping: Mapping[str, str] | None,
                 chunk_rows: int) -> None:
        self.reader = reader = TableReader(path, chunk_rows)
        self.columns = resolve_columns(reader.names, reader.path, TRANSFORM_COLUMNS, mapping,
                                       what="transform")
        if self.columns.time is None:
            raise OskaToolError(f"{reader.path} has no time column ({TIME_SECONDS} in seconds "
                                f"or {TIME_NS} in nanoseconds); a transform table needs one to "
                                f"be matched with the samples; {_found(reader.names)}.")

    def chunks(self) -> Iterator[tuple[Stamps, Floats]]:
        reader, columns = self.reader, self.columns
        for batch in reader.batches():
            yield (column_stamps(batch, columns, reader.path),
                   matrix(batch, columns.signal, reader.path))

    def last_stamp(self) -> int | None:
        """The stamp of the table's last row when the format tells it without
        reading the table through (Parquet); None otherwise."""
        for stamps in self.reader.stamps_from_end(self.columns):
            return int(stamps[-1])
        return None


class TableWriter:
    """Writes record batches to a CSV or Parquet file. In Parquet, the columns
    `plain` (measured values, every one different) are written without the
    dictionary encoding, which could only fail on them after trying."""

    def __init__(self, path: str, fmt: TableFormat, schema: pa.Schema,
                 plain: tuple[str, ...] = ()) -> None:
        _pyarrow()
        import pyarrow as pa
        import pyarrow.parquet as pq

        self.format = fmt
        self.schema = schema
        self.rows = 0
        if fmt == "parquet":
            dictionary = [f.name for f in schema if f.name not in plain]
            self._parquet: Any = pq.ParquetWriter(path, schema, use_dictionary=dictionary)
        else:
            self._sink: Any = pa.OSFile(path, "wb")
            self._header = True

    def write(self, batch: pa.RecordBatch) -> None:
        import pyarrow as pa
        import pyarrow.csv as pacsv

        self.rows += batch.num_rows
        if self.format == "parquet":
            self._parquet.write_batch(batch)
            return
        # Unquoted where no value needs quotes, as the text was read; quoted
        # only in a chunk that holds a separator, a quote or a line break.
        for style in ("none", "needed"):
            buffer = pa.BufferOutputStream()
            try:
                pacsv.write_csv(batch, buffer, pacsv.WriteOptions(
                    include_header=self._header, quoting_style=style, quoting_header=style))
            except pa.ArrowInvalid:
                continue
            self._sink.write(buffer.getvalue())
            self._header = False
            return

    def close(self) -> None:
        if self.format == "parquet":
            self._parquet.close()
        else:
            if self._header:  # no rows at all: still a header line
                self.write(_empty_batch(self.schema))
            self._sink.close()

    def abort(self) -> None:
        """Closes the file after a failure (its content is then discarded),
        even when its last bytes cannot be written."""
        with suppress(OSError):
            if self.format == "parquet":
                if self._parquet.is_open:
                    self._parquet.close()
            elif not self._sink.closed:
                self._sink.close()


def _empty_batch(schema: pa.Schema) -> pa.RecordBatch:
    import pyarrow as pa

    return pa.RecordBatch.from_arrays([pa.array([], f.type) for f in schema], schema=schema)


def output_schema(schema: pa.Schema, signal: tuple[str, ...]) -> pa.Schema:
    """The input schema with the signal columns as float64."""
    import pyarrow as pa

    fields = [f.with_type(pa.float64()) if f.name in signal else f for f in schema]
    return pa.schema(fields, metadata=schema.metadata)


def replace_signal(batch: pa.RecordBatch, schema: pa.Schema, signal: tuple[str, ...],
                   values: Floats, keep: Mask | None) -> pa.RecordBatch:
    """The batch with its signal columns replaced by `values`, rows filtered by `keep`."""
    import pyarrow as pa

    index = {name: j for j, name in enumerate(signal)}
    arrays = [pa.array(values[:, index[f.name]]) if f.name in index else batch.column(i)
              for i, f in enumerate(batch.schema)]
    out = pa.RecordBatch.from_arrays(arrays, schema=schema)
    return out.filter(pa.array(keep)) if keep is not None else out


def signal_table_schema(kind: Kind) -> pa.Schema:
    """Schema of a table made from a bag: t_ns and the signal components."""
    _pyarrow()
    import pyarrow as pa

    return pa.schema([(TIME_NS, pa.int64())] + [(c, pa.float64()) for c in kind.components])


def table_chunk(batch: pa.RecordBatch, names: Columns, path: str, with_tf: bool) -> SampleChunk:
    """The samples of a record batch: the signal columns, the time column and,
    with `with_tf`, the transform columns; the batch itself rides along for the
    writer, which passes the other columns through."""
    return SampleChunk(
        signal=matrix(batch, names.signal, path),
        stamps=column_stamps(batch, names, path) if names.time else None,
        tf=matrix(batch, names.transform, path) if with_tf and names.transform else None,
        payload=batch)


class TableSignal:
    """A table's samples as SampleChunks: the signal columns, the time column
    and, with `with_tf`, the transform columns; each chunk carries its record
    batch to the writer, which passes the other columns through."""

    def __init__(self, reader: TableReader, names: Columns, with_tf: bool) -> None:
        self.reader = reader
        self.names = names
        self.with_tf = with_tf and names.transform is not None
        self.path = reader.path
        self.total: int | None = reader.total
        self.unit = reader.unit

    @property
    def position(self) -> int:
        return self.reader.position

    def chunk(self, batch: pa.RecordBatch) -> SampleChunk:
        return table_chunk(batch, self.names, self.reader.path, self.with_tf)

    def chunks(self) -> Iterator[SampleChunk]:
        for batch in self.reader.batches():
            yield self.chunk(batch)

    def stamps_from_end(self) -> Iterator[Stamps]:
        return self.reader.stamps_from_end(self.names)

    def neighbour(self, group: int, step: int) -> SampleChunk | None:
        """The sample just outside a range of row groups (see TableReader.neighbour)."""
        names = self.names
        needed = [*names.signal, *([names.time] if names.time else []),
                  *(names.transform or ())]
        batch = self.reader.neighbour(group, step, needed)
        return self.chunk(batch) if batch is not None else None


class TableSink:
    """Writes a table transformed row by row: the input's rows with the signal
    columns replaced and the rows `keep` leaves out removed."""

    def __init__(self, path: str, fmt: TableFormat, schema: pa.Schema,
                 signal: tuple[str, ...]) -> None:
        self.schema = output_schema(schema, signal)
        self.signal = signal
        self.writer = TableWriter(path, fmt, self.schema, plain=signal)

    def write(self, chunk: SampleChunk, out: Floats, keep: Mask | None) -> None:
        self.writer.write(replace_signal(chunk.payload, self.schema, self.signal, out, keep))

    def close(self) -> None:
        self.writer.close()

    def abort(self) -> None:
        self.writer.abort()


class SignalTableSink:
    """Writes the samples of a log without columns of its own (a bag): t_ns and
    the signal components."""

    def __init__(self, path: str, fmt: TableFormat, kind: Kind) -> None:
        schema = signal_table_schema(kind)
        self.writer = TableWriter(path, fmt, schema, plain=tuple(schema.names))

    def write(self, chunk: SampleChunk, out: Floats, keep: Mask | None) -> None:
        import pyarrow as pa

        stamps = chunk.stamps
        assert stamps is not None
        if keep is not None:
            out, stamps = out[keep], stamps[keep]
        arrays = [pa.array(stamps)] + [pa.array(out[:, j]) for j in range(out.shape[1])]
        self.writer.write(pa.RecordBatch.from_arrays(arrays, schema=self.writer.schema))

    def close(self) -> None:
        self.writer.close()

    def abort(self) -> None:
        self.writer.abort()
