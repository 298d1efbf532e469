// Batches over Dask arrays: a batch method hands its arguments to the
// package's Python module zarnik._dask when one of them is a Dask array.
// Dask is optional, so the test asks only whether the user has imported it
// already: a Dask array cannot exist otherwise, and a batch of NumPy arrays
// imports nothing.

#include <pybind11/pybind11.h>

#include "compiled.hpp"

namespace zarnik::python {

py::object lazy_rows(const char* method, const PyFunction& function, const py::args& arrays, const py::dict& keywords) {
    const py::dict modules = py::module_::import("sys").attr("modules");
    // None there blocks the import, and a module under import may have no
    // Array yet: either way no Dask array can have been made.
    const py::object dask_array = modules.attr("get")("dask.array");
    const py::object array_type = dask_array.is_none() ? py::none() : py::getattr(dask_array, "Array", py::none());
    if (!PyType_Check(array_type.ptr())) {
        return py::none();
    }
    for (const py::handle& array : arrays) {
        if (py::isinstance(array, array_type)) {
            // The Python object of `function`, which a call always comes from.
            const py::object self = py::cast(function, py::return_value_policy::reference);
            return py::module_::import("zarnik._dask")
                .attr("lazy")(method, self, function.single_output, *arrays, **keywords);
        }
    }
    return py::none();
}

}  // namespace zarnik::python
