// The arguments of a compiled function's batches, converted and checked.

#include "batch_arguments.hpp"

#include <algorithm>
#include <optional>
#include <string>

#include "call_arguments.hpp"

namespace zarnik::python {

using namespace symbolic;

namespace {

std::string shapes_for(std::size_t k, py::ssize_t lanes) {
    const std::string prefix = "input array " + std::to_string(k) + " must have the shape ";
    if (lanes == 1) {
        return prefix + "(rows,) or (rows, 1), or be one number for every row";
    }
    const std::string n = std::to_string(lanes);
    return prefix + "(rows, " + n + "), or (" + n + ",) or (1, " + n + ") for one value for every row";
}

// The keywords threads= and approximate=, checked.
RowOptions batch_options(const py::object& threads, const py::object& approximate) {
    if (!PyBool_Check(approximate.ptr())) {
        throw py::type_error("approximate must be True or False");
    }
    RowOptions options;
    options.threads = count_argument(threads, "threads", 1).value_or(0);
    options.approximate = approximate.ptr() == Py_True;
    return options;
}

}  // namespace

// One input array of a batch: real numbers only (booleans, integers and
// floats; not complex numbers, strings, dates or objects, which a cast to
// floats would quietly reinterpret), as doubles at aligned addresses in C
// order, which the rows are read as (copied when the array is not that).
Array batch_array(const py::handle& object, std::size_t k) {
    return real_array(object, "input array " + std::to_string(k));
}

Array real_array(const py::handle& object, const std::string& what) {
    using Api = py::detail::npy_api;
    const Api& api = Api::get();
    const auto array = py::reinterpret_steal<py::array>(
        api.PyArray_FromAny_(object.ptr(), nullptr, 0, 0, Api::NPY_ARRAY_ENSUREARRAY_, nullptr));
    if (!array) {
        if (raised_beyond_the_argument()) {
            throw py::error_already_set();
        }
        PyErr_Clear();
        throw py::type_error(what + " must be convertible to an array of floats");
    }
    const char kind = array.dtype().kind();
    if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f') {
        throw py::type_error(what + " must hold real numbers (booleans, integers or floats), not " +
                             py::str(array.dtype()).cast<std::string>());
    }
    const int wanted = Api::NPY_ARRAY_ENSUREARRAY_ | Api::NPY_ARRAY_C_CONTIGUOUS_ | Api::NPY_ARRAY_ALIGNED_ |
                       Api::NPY_ARRAY_FORCECAST_;
    auto doubles = py::reinterpret_steal<Array>(
        api.PyArray_FromAny_(array.ptr(), py::dtype::of<double>().release().ptr(), 0, 0, wanted, nullptr));
    if (!doubles) {
        throw py::error_already_set();
    }
    return doubles;
}

// Each input as rows ((rows,) or (rows, 1) for one lane, (rows, lanes)
// otherwise) or as one value for every row (a number, a 0-d array, the
// lanes (lanes,) of an input, or (1, lanes)). The rows are those of
// the inputs given as rows, which must agree, or `rows`; with neither, a
// batch of values given as (1, lanes) has one row, as NumPy broadcasts them.
Rows batch_rows(const PyFunction& self, const py::args& args, const py::object& rows_given) {
    const std::vector<Value>& inputs = self.function.inputs();
    if (args.size() != inputs.size()) {
        throw py::type_error("the function takes " + std::to_string(inputs.size()) + " input arrays, not " +
                             std::to_string(args.size()));
    }
    if (inputs.empty()) {
        throw py::type_error("a batch needs a function of at least one input");
    }
    const std::optional<std::size_t> rows_asked = count_argument(rows_given, "rows", 0);
    Rows rows;
    std::optional<std::size_t> giver;  // the first input given as rows
    bool one_row = false;              // an input given as (1, lanes)
    for (std::size_t k = 0; k < args.size(); ++k) {
        Array array = batch_array(args[k], k);
        const auto lanes = static_cast<py::ssize_t>(inputs[k].dimension());
        bool once = false;
        if (array.ndim() == 0 && lanes == 1) {
            once = true;
        } else if (array.ndim() == 1 && array.shape(0) == lanes) {
            // A one-lane input's lanes, (1,), broadcast as NumPy broadcasts them: alone they are one row.
            once = true;
            one_row = one_row || lanes == 1;
        } else if (array.ndim() == 2 && array.shape(1) == lanes && array.shape(0) == 1) {
            once = true;
            one_row = true;
        } else if (!((array.ndim() == 1 && lanes == 1) || (array.ndim() == 2 && array.shape(1) == lanes))) {
            throw py::value_error(shapes_for(k, lanes));
        }
        if (once) {
            rows.inputs.push_back(RowInput::once(array.data()));
        } else {
            const auto count = static_cast<std::size_t>(array.shape(0));
            if (rows_asked && count != *rows_asked) {
                throw py::value_error("input array " + std::to_string(k) + " has " + std::to_string(count) +
                                      " rows, not rows=" + std::to_string(*rows_asked));
            }
            if (giver && count != rows.count) {
                throw py::value_error("input arrays " + std::to_string(*giver) + " and " + std::to_string(k) +
                                      " have different numbers of rows (" + std::to_string(rows.count) + " and " +
                                      std::to_string(count) + ")");
            }
            if (!giver) {
                giver = k;
                rows.count = count;
            }
            rows.inputs.push_back(RowInput::per_row(array.data()));
        }
        rows.arrays.push_back(std::move(array));
    }
    if (!giver) {
        if (rows_asked) {
            rows.count = *rows_asked;
        } else if (one_row) {
            rows.count = 1;
        } else {
            throw py::value_error("a batch needs rows: an input array of rows, or rows= the number of rows");
        }
    }
    return rows;
}

BatchSettings batch_settings(const PyFunction& self, const py::object& threads, const py::object& approximate) {
    return {batch_options(threads, approximate), self.function.parameter_values()};
}

// The keywords a batch passes on to the batches of a Dask array's chunks,
// checked as the batch checks them, before anything is made lazy.
py::dict batch_keywords(const py::object& rows, const py::object& threads, const py::object& approximate) {
    batch_options(threads, approximate);
    const std::optional<std::size_t> count = count_argument(rows, "rows", 0);
    py::dict keywords;
    keywords["rows"] = count ? py::cast(*count) : py::none();
    keywords["threads"] = threads;
    keywords["approximate"] = approximate;
    return keywords;
}

Array output_array(std::size_t rows, int lanes) {
    return lanes == 1 ? Array({static_cast<py::ssize_t>(rows)})
                      : Array({static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(lanes)});
}

void naming_failed_rows(const PyFunction& self, const Rows& rows, const std::function<void()>& body) {
    try {
        body();
    } catch (const std::invalid_argument& error) {
        const std::string text = error.what();
        const std::size_t at = text.rfind(" (row ");
        if (at == std::string::npos || !text.ends_with(")")) {
            throw py::value_error(text);
        }
        const std::size_t row = std::stoull(text.substr(at + 6));
        const std::vector<symbolic::Value>& inputs = self.function.inputs();
        std::vector<symbolic::SmallValue> values(inputs.size());
        for (std::size_t k = 0; k < inputs.size(); ++k) {
            const auto dim = static_cast<std::size_t>(inputs[k].dimension());
            const double* lanes = rows.inputs[k].every_row ? rows.inputs[k].data : rows.inputs[k].data + row * dim;
            values[k].dimension = inputs[k].dimension();
            std::copy_n(lanes, dim, values[k].lanes.begin());
        }
        throw py::value_error(naming_origin(self.function, text, values));
    }
}

}  // namespace zarnik::python
