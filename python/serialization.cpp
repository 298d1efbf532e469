// Graph files in the package's native module: the bytes of an expression, a
// sequence of them, a tape or a function and back (zarnik.save and
// zarnik.load read and write them), and pickling and copying of tapes and
// functions through the same bytes.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "compiled.hpp"
#include "conversions.hpp"
#include "signal_checks.hpp"
#include "symbolic/serialization.hpp"

namespace zarnik::python {

namespace {

using symbolic::GraphFile;
using symbolic::GraphFileContent;
using symbolic::Tape;
using symbolic::Value;

const char* const what_saves = "save() takes an Expression, a sequence of Expressions, a Tape or a Function";

// An instance of a native class whose __init__ never ran holds no object:
// refused before it is read.
template <typename T>
const T& initialised(const py::handle& object) {
    auto* const instance = reinterpret_cast<py::detail::instance*>(object.ptr());
    if (!instance->get_value_and_holder().holder_constructed()) {
        throw py::type_error(py::str(py::type::handle_of(object).attr("__qualname__")).cast<std::string>() +
                             " object is not initialised");
    }
    return py::cast<const T&>(object);
}

GraphFile file_of(const py::handle& object) {
    if (py::isinstance<Value>(object)) {
        return symbolic::graph_file(py::cast<Value>(object));
    }
    if (py::isinstance<Tape>(object)) {
        return symbolic::graph_file(initialised<Tape>(object));
    }
    if (py::isinstance<PyFunction>(object)) {
        const auto& function = initialised<PyFunction>(object);
        return symbolic::graph_file(function.function, !function.single_output);
    }
    if (!is_sequence(object)) {
        throw py::type_error(what_saves);
    }
    GraphFile file{GraphFileContent::Graph, {}, {}, true};
    for (const py::handle& item : py::reinterpret_borrow<py::sequence>(object)) {
        if (!py::isinstance<Value>(item)) {
            throw py::type_error(what_saves);
        }
        file.outputs.push_back(py::cast<Value>(item));
    }
    if (file.outputs.empty()) {
        throw py::value_error("save() needs at least one Expression");
    }
    return file;
}

py::bytes bytes_of(const py::handle& object) {
    const std::string bytes = symbolic::save_to_bytes(file_of(object), check_signals);
    return {bytes.data(), bytes.size()};
}

// Writes the file of `object` at `path` (a str, bytes or os.PathLike, as open
// takes it) as the core's save to a path does, Ctrl-C ending it with the old
// file in place. What the file system refuses is raised as open and write
// raise it: the OSError of the error's code (PermissionError,
// FileNotFoundError, ...) with the path as given.
void save_to_path(const py::handle& object, const py::object& path) {
    const GraphFile file = file_of(object);
    PyObject* converted = nullptr;
    if (PyUnicode_FSConverter(path.ptr(), &converted) == 0) {
        throw py::error_already_set();
    }
    const std::filesystem::path native(py::reinterpret_steal<py::bytes>(converted).cast<std::string>());
    try {
        symbolic::save(native, file, check_signals);
    } catch (const std::filesystem::filesystem_error& error) {
        const int code = error.code().value();
        const py::object raised = py::handle(PyExc_OSError)(code, error.code().message(), path);
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(raised.ptr())), raised.ptr());
        throw py::error_already_set();
    }
}

// The bytes of any object that offers them contiguously (bytes, bytearray,
// memoryview, a NumPy array of bytes). The interpreter's lock is held
// throughout, so that they cannot change while they are read.
std::string_view view_of(const py::buffer_info& info) {
    return {static_cast<const char*>(info.ptr), static_cast<std::size_t>(info.size * info.itemsize)};
}

py::buffer_info contiguous(const py::handle& data) {
    if (!PyObject_CheckBuffer(data.ptr())) {
        throw py::type_error("a graph file is read from bytes or a bytes-like object");
    }
    py::buffer_info info = py::reinterpret_borrow<py::buffer>(data).request();
    // The bytes are read as one block from the first element: a view with
    // gaps or steps backwards would give other bytes, or bytes past its buffer.
    if (PyBuffer_IsContiguous(info.view(), 'C') == 0) {
        throw py::type_error("a graph file is read from contiguous bytes");
    }
    return info;
}

py::object object_of(GraphFile file, symbolic::NonFinite nonfinite = symbolic::NonFinite::raise) {
    switch (file.content) {
        case GraphFileContent::Graph:
            if (!file.listed) {
                return py::cast(file.outputs.front());
            }
            return py::cast(file.outputs);
        case GraphFileContent::Tape: return py::cast(Tape(file.outputs.front()));
        case GraphFileContent::Function:
            return py::cast(PyFunction{symbolic::Function(std::move(file.inputs), std::move(file.outputs), nonfinite),
                                       !file.listed});
    }
    throw py::value_error("cannot load graph: unknown content");
}

py::object load_bytes(const py::handle& data) {
    const py::buffer_info info = contiguous(data);
    return object_of(symbolic::load_from_bytes(view_of(info), check_signals));
}

// A function's graph file with its choice of `nonfinite`, which the file does
// not hold: a file is the graph, and the choice is the compiled function's.
py::object load_function_bytes(const py::handle& data, const std::string& nonfinite) {
    const py::buffer_info info = contiguous(data);
    return object_of(symbolic::load_from_bytes(view_of(info), check_signals),
                     nonfinite == "propagate" ? symbolic::NonFinite::propagate : symbolic::NonFinite::raise);
}

// What pickle and copy.deepcopy call: the object rebuilt from its file, and a
// function with its choice of `nonfinite`.
py::tuple reduce(const py::object& self) {
    const py::module_ compiled = py::module_::import("zarnik._compiled");
    if (py::isinstance<PyFunction>(self) &&
        initialised<PyFunction>(self).function.nonfinite() == symbolic::NonFinite::propagate) {
        return py::make_tuple(compiled.attr("_load_function"), py::make_tuple(bytes_of(self), "propagate"));
    }
    return py::make_tuple(compiled.attr("_load"), py::make_tuple(bytes_of(self)));
}

}  // namespace

void bind_serialization(py::module_& module) {
    module.attr("_HEADER_SIZE") = symbolic::graph_file_header_size;
    module.def("_save", &bytes_of, py::arg("obj"),
               "The graph file of an Expression, a sequence of Expressions, a Tape or a Function, as bytes.");
    module.def("_save_to_path", &save_to_path, py::arg("obj"), py::arg("path"),
               "Writes the graph file of an Expression, a sequence of Expressions, a Tape or a Function at a path, "
               "replacing the file there only with a whole new one.");
    module.def("_load_function", &load_function_bytes, py::arg("data"), py::arg("nonfinite"),
               "The Function that a graph file's bytes hold, with the given choice of nonfinite.");
    module.def("_load", &load_bytes, py::arg("data"),
               "The Expression, list of Expressions, Tape or Function that a graph file's bytes hold.");
    module.def(
        "_file_length",
        [](const py::handle& header) {
            const py::buffer_info info = contiguous(header);
            return symbolic::graph_file_length(view_of(info));
        },
        py::arg("header"), "The length of the whole file that a graph file's header declares, the header checked.");

    // Pickling and deep copies rebuild the graph from its file: new nodes with
    // the same values. A shallow copy is a new object over the same nodes.
    py::class_<Tape>(module.attr("Tape"))
        .def("__reduce__", &reduce, "Pickles the tape as its graph file: unpickling makes new nodes.")
        .def(
            "__copy__", [](const py::object& self) { return Tape(initialised<Tape>(self)); },
            "A tape of the same nodes.")
        .def(
            "__deepcopy__", [](const py::object& self, const py::handle&) { return load_bytes(bytes_of(self)); },
            py::arg("memo"), "A tape of new nodes with the same values, names and structure.");
    py::class_<PyFunction>(module.attr("Function"))
        .def("__reduce__", &reduce, "Pickles the function as its graph file: unpickling makes new nodes.")
        .def(
            "__copy__", [](const py::object& self) { return PyFunction(initialised<PyFunction>(self)); },
            "A function of the same nodes.")
        .def(
            "__deepcopy__",
            [](const py::object& self, const py::handle&) {
                const bool propagate =
                    initialised<PyFunction>(self).function.nonfinite() == symbolic::NonFinite::propagate;
                return load_function_bytes(bytes_of(self), propagate ? "propagate" : "raise");
            },
            py::arg("memo"), "A function of new nodes with the same values, names, structure and nonfinite.");
}

}  // namespace zarnik::python
