"""Batches of compiled functions over Dask arrays chunked by rows.

A Function's batch methods hand their arguments here when one of them is a
Dask array, so this module is used only then. The result is a lazy Dask
array with one task per chunk of rows: each task runs the function's own
batch on its chunk, so every row gives exactly the bits the batch in this
process gives, on whichever scheduler computes it. The tasks run a copy of
the function made when the batch is called, which holds its parameters'
values of that moment, as the batch in this process reads them once before
its rows; it travels to the workers once per call, pickled as its graph file.
"""

import copy
import itertools
import math
import operator
import re
import uuid

import numpy as np

# Dask is optional: without it the package still imports (and type checks)
# every module, and nothing here is called, since no Dask array can exist.
try:
    import dask.array as da  # type: ignore[import-not-found, unused-ignore]
    from dask.highlevelgraph import HighLevelGraph  # type: ignore[import-not-found, unused-ignore]
except ImportError:
    pass

# The threads one batch takes inside a Dask task. Dask already runs one task
# per worker thread, so a batch there takes one, and the two pools never
# oversubscribe the machine.
TASK_THREADS = 1


# Where a batch's text names the row that failed: at its end, or before what
# it says of the node where a value was not finite.
_FAILED_ROW = re.compile(r"\(row (\d+)\)(?=$|: )")


def _rows(function, method, first_row, keywords, *blocks):
    """What each task runs: the batch of one chunk of rows, the first of them
    row `first_row` of the whole array, with the method's keywords (rows=
    the chunk's rows among them), on one thread. A failure names its row in
    the whole array, as the batch of the whole array would."""
    try:
        return getattr(function, method)(*blocks, **keywords, threads=TASK_THREADS)
    except ValueError as error:
        text = str(error)
        found = _FAILED_ROW.search(text)
        if found is None or first_row == 0:
            raise
        row = int(found.group(1)) + first_row
        raise ValueError(f"{text[: found.start()]}(row {row}){text[found.end() :]}") from None


def _stacked(function, first_row, keywords, *blocks):
    """Every output of one chunk side by side, (rows, output lanes)."""
    return np.column_stack(_rows(function, "batch", first_row, keywords, *blocks))


def _given_once(array, lanes):
    """Whether an argument (a NumPy or a Dask array) is one value for every
    row, as a batch reads a NumPy array of its shape."""
    return (
        (array.ndim == 0 and lanes == 1)
        or (array.ndim == 1 and array.shape == (lanes,))
        or (array.ndim == 2 and array.shape == (1, lanes))
    )


def _shapes_for(k, lanes):
    if lanes == 1:
        return f"input array {k} must have the shape (rows,) or (rows, 1), or be one number for every row"
    return (
        f"input array {k} must have the shape (rows, {lanes}), or ({lanes},) or (1, {lanes}) for one value for "
        "every row"
    )


def _row_chunks(sizes):
    """Chunks of rows over the same rows as `sizes` where no chunk has one
    row: a batch reads a block of one row, (1, lanes) or a one-lane (1,), as
    one value for every row. Each such chunk joins a neighbour, and empty
    chunks are dropped; (0,) or (1,) only when the rows are that many."""
    merged = []
    pending = 0
    for size in sizes:
        pending += size
        if pending >= 2:
            merged.append(pending)
            pending = 0
    if not merged:
        return (pending,)
    merged[-1] += pending
    return tuple(merged)


def _aligned(function, arrays, rows_asked):
    """The inputs after the checks a batch makes, read by their shapes as
    the batch reads NumPy arrays: each given as rows a Dask array over the
    same chunks of rows, none of one row, each chunk holding whole rows; each
    given once for every row a NumPy array or a Dask array of one chunk,
    which every task reads whole. `rows_asked`: the rows= of the call, or
    None. Gives them, whether each is given once, and the chunks of rows."""
    inputs = function.inputs
    if len(arrays) != len(inputs):
        raise TypeError(f"the function takes {len(inputs)} input arrays, not {len(arrays)}")
    rows, giver, one_row = None, None, False
    checked, once = [], []
    for k, (array, input_) in enumerate(zip(arrays, inputs)):
        lanes = input_.dim
        if not isinstance(array, da.Array):
            try:
                array = np.asarray(array)
            except TypeError, ValueError:
                raise TypeError(f"input array {k} must be convertible to an array of floats") from None
        # Checked before anything runs, as the batch checks its arrays: a
        # cast to floats would quietly reinterpret strings, dates, objects and
        # complex numbers.
        if array.dtype.kind not in "biuf":
            raise TypeError(f"input array {k} must hold real numbers (booleans, integers or floats), not {array.dtype}")
        if not isinstance(array, da.Array):
            array = array.astype(np.float64, copy=False)
        if _given_once(array, lanes):
            # Alone, (1, lanes) and a one-lane (1,) are one row, as NumPy broadcasts them.
            one_row = one_row or array.ndim == 2 or (array.ndim == 1 and lanes == 1)
            if isinstance(array, da.Array):
                array = array.astype(np.float64).rechunk(array.shape)
            checked.append(array)
            once.append(True)
            continue
        if not ((array.ndim == 1 and lanes == 1) or (array.ndim == 2 and array.shape[1] == lanes)):
            raise ValueError(_shapes_for(k, lanes))
        if math.isnan(array.shape[0]):
            raise ValueError(f"input array {k} has chunks of unknown size: call its compute_chunk_sizes() first")
        if rows_asked is not None and array.shape[0] != rows_asked:
            raise ValueError(f"input array {k} has {array.shape[0]} rows, not rows={rows_asked}")
        if rows is not None and array.shape[0] != rows:
            raise ValueError(
                f"input arrays {giver} and {k} have different numbers of rows ({rows} and {array.shape[0]})"
            )
        if rows is None:
            rows, giver = array.shape[0], k
        checked.append(array)
        once.append(False)
    if rows is None:
        # Every input given once: one task of the rows the batch would run.
        if rows_asked is None and not one_row:
            raise ValueError("a batch needs rows: an input array of rows, or rows= the number of rows")
        row_chunks = (rows_asked if rows_asked is not None else 1,)
    else:
        row_chunks = _row_chunks(
            next(
                (
                    array.chunks[0]
                    for array, given_once in zip(checked, once)
                    if not given_once and isinstance(array, da.Array)
                ),
                (rows,),
            )
        )
    aligned = []
    for array, given_once in zip(checked, once):
        if given_once:
            aligned.append(array)
            continue
        chunks = (row_chunks,) if array.ndim == 1 else (row_chunks, (array.shape[1],))
        aligned.append(array.rechunk(chunks) if isinstance(array, da.Array) else da.from_array(array, chunks=chunks))
    return aligned, once, row_chunks


def _chunk_tasks(function, aligned, once, row_chunks, token):
    """What every chunk's task reads: a layer holding the function and the
    NumPy values given once, the function's key in it, and per chunk of rows
    its index, its first row in the whole array, its rows and the keys of its
    blocks (a value given once as a Dask array is its one chunk)."""
    function_key = f"zarnik-function-{token}"
    # The parameters' values of this moment, in a copy nobody else changes.
    layer = {function_key: copy.deepcopy(function)}
    for k, array in enumerate(aligned):
        if not isinstance(array, da.Array):
            layer[f"zarnik-value-{token}-{k}"] = array

    def key(k, array, c):
        if not isinstance(array, da.Array):
            return f"zarnik-value-{token}-{k}"
        if once[k]:
            return (array.name,) + (0,) * array.ndim
        return (array.name, c) + (0,) * (array.ndim - 1)

    first_rows = itertools.accumulate(row_chunks, initial=0)
    tasks = [
        (c, first_row, count, [key(k, array, c) for k, array in enumerate(aligned)])
        for c, (first_row, count) in enumerate(zip(first_rows, row_chunks))
    ]
    return layer, function_key, tasks


def _lazy(function, task, arrays, shape_of_chunk, keywords, rows_asked):
    """A Dask array of one task per chunk of rows: `task(function, first_row,
    keywords, *blocks)` gives a chunk of the shape `shape_of_chunk(rows)`."""
    aligned, once, row_chunks = _aligned(function, arrays, rows_asked)
    token = uuid.uuid4().hex
    name = f"zarnik-{task.__name__.strip('_')}-{token}"
    layer, function_key, chunk_tasks = _chunk_tasks(function, aligned, once, row_chunks, token)
    tail = (0,) * (len(shape_of_chunk(1)) - 1)
    for c, first_row, count, blocks in chunk_tasks:
        layer[(name, c) + tail] = (task, function_key, first_row, {**keywords, "rows": count}, *blocks)
    chunks = (row_chunks,) + tuple((size,) for size in shape_of_chunk(1)[1:])
    dependencies = [array for array in aligned if isinstance(array, da.Array)]
    graph = HighLevelGraph.from_collections(name, layer, dependencies=dependencies)
    return da.Array(graph, name, chunks, dtype=np.float64, meta=np.empty((0,) * len(chunks)))


def _single_batch(function, first_row, keywords, *blocks):
    return _rows(function, "batch", first_row, keywords, *blocks)


def _jacobians(function, first_row, keywords, *blocks):
    return _rows(function, "batch_jacobian", first_row, keywords, *blocks)


def lazy(method, function, single_output, *arrays, threads=None, approximate=False, wrt=None, rows=None):
    """The lazy result of the batch method `method` of `function`, which
    answers with one array when `single_output`, else with a list, for
    keywords the method has checked (`wrt` as None or input positions, which
    travel to the workers with the function). Each chunk's batch runs on one
    thread, whatever `threads` asks: Dask runs the chunks side by side."""
    if method == "batch":
        return batch(function, single_output, *arrays, approximate=approximate, rows=rows)
    if method == "batch_value_and_grad":
        return batch_value_and_grad(function, *arrays, approximate=approximate, wrt=wrt, rows=rows)
    return batch_jacobian(function, *arrays, approximate=approximate, wrt=wrt, rows=rows)


def batch(function, single_output, *arrays, approximate=False, rows=None):
    """Function.batch over Dask arrays: one lazy array per output, (rows,) or
    (rows, lanes), a list of them for a function of several outputs."""
    dims = [output.dim for output in function.outputs]
    keywords = {"approximate": approximate}
    if single_output:
        shape = (lambda rows: (rows,)) if dims[0] == 1 else (lambda rows: (rows, dims[0]))
        return _lazy(function, _single_batch, arrays, shape, keywords, rows)
    stacked = _lazy(function, _stacked, arrays, lambda count: (count, sum(dims)), keywords, rows)
    results = []
    first = 0
    for dim in dims:
        results.append(stacked[:, first] if dim == 1 else stacked[:, first : first + dim])
        first += dim
    return results


def batch_jacobian(function, *arrays, approximate=False, wrt=None, rows=None):
    """Function.batch_jacobian over Dask arrays: a lazy array of shape
    (rows, output lanes, the lanes of the inputs at the positions `wrt`)."""
    chosen = range(len(function.inputs)) if wrt is None else wrt
    columns = sum(function.inputs[k].dim for k in chosen)
    shape = (function.output_lanes, columns)
    keywords = {"approximate": approximate, "wrt": wrt}
    return _lazy(function, _jacobians, arrays, lambda count: (count, *shape), keywords, rows)


def _partial_sums(function, first_row, keywords, summed, *blocks):
    """One chunk's value and gradients, its sums as one row: the chunk's sum
    of the output, then the summed gradient of each input given once."""
    value, gradients = _rows(function, "batch_value_and_grad", first_row, keywords, *blocks)
    once = [g for g, given_once in zip(gradients, summed) if given_once]
    return value, gradients, np.concatenate([[value], *once])[np.newaxis, :]


def batch_value_and_grad(function, *arrays, approximate=False, wrt=None, rows=None):
    """Function.batch_value_and_grad over Dask arrays: a lazy 0-d array of the
    output's sum over the rows and a tuple of lazy gradients, one per input
    in `wrt`: the summed gradient (lanes,) of an input given once, the
    gradient of each row, (rows,) or (rows, lanes), of an input given as
    rows. Each chunk sums its own rows; the chunks' sums are added in a tree,
    so the totals equal the batch's to rounding."""
    if function.output_lanes != 1:
        raise ValueError("batch_value_and_grad needs a function of one scalar output")
    chosen = list(range(len(function.inputs))) if wrt is None else list(wrt)
    aligned, once, row_chunks = _aligned(function, arrays, rows)
    summed = [once[k] for k in chosen]
    lanes = [function.inputs[k].dim for k in chosen]
    width = 1 + sum(dim for dim, once in zip(lanes, summed) if once)
    keywords = {"approximate": approximate, "wrt": chosen}

    token = uuid.uuid4().hex
    chunk_name = f"zarnik-chunk-{token}"
    chunk_layer, function_key, chunk_tasks = _chunk_tasks(function, aligned, once, row_chunks, token)
    sums_name = f"zarnik-partial-sums-{token}"
    row_names = [f"zarnik-row-gradients-{token}-{i}" for i in range(len(chosen))]
    sums_layer = {}
    row_layers = [{} for _ in chosen]
    for c, first_row, count, blocks in chunk_tasks:
        chunk_layer[(chunk_name, c)] = (
            _partial_sums,
            function_key,
            first_row,
            {**keywords, "rows": count},
            summed,
            *blocks,
        )
        sums_layer[(sums_name, c, 0)] = (operator.getitem, (chunk_name, c), 2)
        for i, once in enumerate(summed):
            if not once:
                tail = (0,) if lanes[i] > 1 else ()
                row_layers[i][(row_names[i], c) + tail] = (operator.getitem, (operator.getitem, (chunk_name, c), 1), i)
    dependencies = [array for array in aligned if isinstance(array, da.Array)]
    chunks_graph = HighLevelGraph.from_collections(chunk_name, chunk_layer, dependencies=dependencies)

    def graph_of(name, layer):
        """The chunks' graph with one more layer, which picks from their results."""
        return HighLevelGraph({**chunks_graph.layers, name: layer}, {**chunks_graph.dependencies, name: {chunk_name}})

    partial = da.Array(
        graph_of(sums_name, sums_layer),
        sums_name,
        ((1,) * len(row_chunks), (width,)),
        dtype=np.float64,
        meta=np.empty((0, 0)),
    )
    totals = partial.sum(axis=0)
    gradients = []
    column = 1
    for i, once in enumerate(summed):
        if once:
            gradients.append(totals[column : column + lanes[i]])
            column += lanes[i]
        else:
            chunks = (row_chunks,) if lanes[i] == 1 else (row_chunks, (lanes[i],))
            gradients.append(
                da.Array(
                    graph_of(row_names[i], row_layers[i]),
                    row_names[i],
                    chunks,
                    dtype=np.float64,
                    meta=np.empty((0,) * len(chunks)),
                )
            )
    return totals[0], tuple(gradients)
