"""Batches of compiled functions over Dask arrays chunked by rows.

A Function's batch methods hand their arguments here when one of them is a
Dask array, so this module (and with it Dask) is imported only then. The
result is a lazy Dask array with one task per chunk of rows: each task runs
the function's own batch on its chunk, so every row gives exactly the bits
the batch in this process gives, on whichever scheduler computes it. The
function travels to the workers once per call, pickled as its graph file.
"""

import itertools
import math
import re
import uuid

import dask.array as da
import numpy as np
from dask.highlevelgraph import HighLevelGraph

# The threads one batch takes inside a Dask task. Dask already runs one task
# per worker thread, so a batch there takes one, and the two pools never
# oversubscribe the machine. Batches run on one thread today; once a batch
# takes a thread count, _rows passes this on.
TASK_THREADS = 1


# The end of a batch's text that names the row that failed.
_FAILED_ROW = re.compile(r"\(row (\d+)\)$")


def _rows(function, method, first_row, *blocks):
    """What each task runs: the batch of one chunk of rows, the first of them
    row `first_row` of the whole array. A failure names its row in the whole
    array, as the batch of the whole array would."""
    try:
        # Batches run on one thread today; once a batch takes a thread
        # count, this call passes threads=TASK_THREADS.
        return getattr(function, method)(*blocks)
    except ValueError as error:
        text = str(error)
        found = _FAILED_ROW.search(text)
        if found is None or first_row == 0:
            raise
        raise ValueError(f"{text[:found.start()]}(row {int(found.group(1)) + first_row})") from None


def _stacked(function, first_row, *blocks):
    """Every output of one chunk side by side, (rows, output lanes)."""
    return np.column_stack(_rows(function, "batch", first_row, *blocks))


def _aligned(function, arrays):
    """The inputs as Dask arrays over the first Dask input's chunks of rows,
    each chunk holding whole rows, after the checks a batch makes."""
    inputs = function.inputs
    if len(arrays) != len(inputs):
        raise TypeError(f"the function takes {len(inputs)} input arrays, not {len(arrays)}")
    rows = None
    checked = []
    for k, (array, input_) in enumerate(zip(arrays, inputs)):
        if not isinstance(array, da.Array):
            try:
                array = np.asarray(array)
            except (TypeError, ValueError):
                raise TypeError(f"input array {k} must be convertible to an array of floats") from None
        # Checked before anything runs, as the batch checks its arrays: a
        # cast to floats would quietly reinterpret strings, dates, objects and
        # complex numbers.
        if array.dtype.kind not in "biuf":
            raise TypeError(f"input array {k} must hold real numbers (booleans, integers or floats), not {array.dtype}")
        if not isinstance(array, da.Array):
            array = array.astype(np.float64, copy=False)
        lanes = input_.dim
        if not ((array.ndim == 1 and lanes == 1) or (array.ndim == 2 and array.shape[1] == lanes)):
            shape = "(rows,) or (rows, 1)" if lanes == 1 else f"(rows, {lanes})"
            raise ValueError(f"input array {k} must have the shape {shape}")
        if math.isnan(array.shape[0]):
            raise ValueError(f"input array {k} has chunks of unknown size: call its compute_chunk_sizes() first")
        if rows is not None and array.shape[0] != rows:
            raise ValueError("input arrays must have the same number of rows")
        rows = array.shape[0]
        checked.append(array)
    row_chunks = next(array.chunks[0] for array in checked if isinstance(array, da.Array))
    aligned = []
    for array in checked:
        chunks = (row_chunks,) if array.ndim == 1 else (row_chunks, (array.shape[1],))
        aligned.append(array.rechunk(chunks) if isinstance(array, da.Array) else da.from_array(array, chunks=chunks))
    return aligned, row_chunks


def _lazy(function, task, arrays, shape_of_chunk):
    """A Dask array of one task per chunk of rows: `task(function, first_row,
    *blocks)` gives a chunk of the shape `shape_of_chunk(rows)`."""
    aligned, row_chunks = _aligned(function, arrays)
    token = uuid.uuid4().hex
    name = f"zarnik-{task.__name__.strip('_')}-{token}"
    function_key = f"zarnik-function-{token}"
    layer = {function_key: function}
    tail = (0,) * (len(shape_of_chunk(1)) - 1)
    first_rows = itertools.accumulate(row_chunks, initial=0)
    for c, first_row in zip(range(len(row_chunks)), first_rows):
        blocks = [(array.name, c) + (0,) * (array.ndim - 1) for array in aligned]
        layer[(name, c) + tail] = (task, function_key, first_row, *blocks)
    chunks = (row_chunks,) + tuple((size,) for size in shape_of_chunk(1)[1:])
    graph = HighLevelGraph.from_collections(name, layer, dependencies=aligned)
    return da.Array(graph, name, chunks, dtype=np.float64, meta=np.empty((0,) * len(chunks)))


def _single_batch(function, first_row, *blocks):
    return _rows(function, "batch", first_row, *blocks)


def _jacobians(function, first_row, *blocks):
    return _rows(function, "batch_jacobian", first_row, *blocks)


def lazy(method, function, single_output, *arrays):
    """The lazy result of the batch method `method` of `function`, which
    answers with one array when `single_output`, else with a list."""
    if method == "batch":
        return batch(function, single_output, *arrays)
    return batch_jacobian(function, *arrays)


def batch(function, single_output, *arrays):
    """Function.batch over Dask arrays: one lazy array per output, (rows,) or
    (rows, lanes), a list of them for a function of several outputs."""
    dims = [output.dim for output in function.outputs]
    if single_output:
        shape = (lambda rows: (rows,)) if dims[0] == 1 else (lambda rows: (rows, dims[0]))
        return _lazy(function, _single_batch, arrays, shape)
    stacked = _lazy(function, _stacked, arrays, lambda rows: (rows, sum(dims)))
    results = []
    first = 0
    for dim in dims:
        results.append(stacked[:, first] if dim == 1 else stacked[:, first:first + dim])
        first += dim
    return results


def batch_jacobian(function, *arrays):
    """Function.batch_jacobian over Dask arrays: a lazy array of shape
    (rows, output lanes, input lanes)."""
    shape = (function.output_lanes, function.input_lanes)
    return _lazy(function, _jacobians, arrays, lambda rows: (rows, *shape))
