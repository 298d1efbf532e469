#pragma once

// The arguments of a compiled function's batches: the input arrays, as rows
// or as one value for every row, and the keywords rows=, threads= and
// approximate=.

#include <pybind11/pybind11.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "compiled.hpp"
#include "symbolic/rows.hpp"

namespace zarnik::python {

// One input array of a batch: real numbers only (booleans, integers and
// floats; not complex numbers, strings, dates or objects, which a cast to
// floats would quietly reinterpret), as doubles at aligned addresses in C
// order, which the rows are read as (copied when the array is not that).
Array batch_array(const py::handle& object, std::size_t k);
// The same for any array of real numbers, `what` naming it in the errors.
Array real_array(const py::handle& object, const std::string& what);

// The inputs of a batch: for each input its rows, or one value for every
// row, with the arrays they lie in kept alive, and the number of rows.
struct Rows {
    std::vector<Array> arrays;
    std::vector<symbolic::RowInput> inputs;
    std::size_t count = 0;
};

// Each input as rows ((rows,) or (rows, 1) for one lane, (rows, lanes)
// otherwise) or as one value for every row (a number, a 0-d array, the
// lanes (lanes,) of an input, or (1, lanes)). The rows are those of
// the inputs given as rows, which must agree, or `rows`; with neither, a
// batch of values given as (1, lanes) has one row, as NumPy broadcasts them.
Rows batch_rows(const PyFunction& self, const py::args& args, const py::object& rows_given);

// Runs `body`, a batch over `rows`, and raises what it throws as a
// ValueError, naming for a value that was not finite in row R ("(row R)")
// the node where it was made, as a call with that row's values does.
void naming_failed_rows(const PyFunction& self, const Rows& rows, const std::function<void()>& body);

// How a batch runs, from its keywords; the parameters' values are read here,
// while the interpreter's lock is held.
struct BatchSettings {
    symbolic::RowOptions options;
    std::vector<double> parameters;
};

// The keywords threads= and approximate=, checked, and the parameters' values.
BatchSettings batch_settings(const PyFunction& self, const py::object& threads, const py::object& approximate);

// The keywords a batch passes on to the batches of a Dask array's chunks,
// checked as the batch checks them, before anything is made lazy.
py::dict batch_keywords(const py::object& rows, const py::object& threads, const py::object& approximate);

// A batch's output for `lanes` lanes: (rows,) for one lane, (rows, lanes) otherwise.
Array output_array(std::size_t rows, int lanes);

}  // namespace zarnik::python
