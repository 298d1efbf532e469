#pragma once

// What both extension modules do to their native classes, whose instances
// only their own functions may make.

#include <pybind11/pybind11.h>

namespace zarnik::python {

namespace py = pybind11;

// Instances of these classes always hold their C++ value: the modules'
// functions and operators make them without going through __new__, and
// nothing else may. Refusing __new__ at the type, and answering the class's
// own __new__ with the same text, keeps every route (a direct call, a base
// class's __new__, object.__new__, copy and pickle) from making an instance
// that holds nothing.
inline PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError,
                    (py::detail::get_fully_qualified_tp_name(type) + ": No constructor defined!").c_str());
    return nullptr;
}

template <typename T>
void refuse_uninitialised_instances(py::class_<T>& cls) {
    auto* const type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    // Called as cls.__new__(cls, ...): the text names the class asked for.
    const py::cpp_function refuse([type](const py::args& args, const py::kwargs&) -> py::object {
        const bool names_a_type = args.size() > 0 && PyType_Check(args[0].ptr());
        refuse_new(names_a_type ? reinterpret_cast<PyTypeObject*>(args[0].ptr()) : type, nullptr, nullptr);
        throw py::error_already_set();
    });
    // Written into the type's dictionary directly: setting the attribute
    // would route the type's slot back through the base class's __new__.
    if (PyDict_SetItemString(type->tp_dict, "__new__", py::staticmethod(refuse).ptr()) != 0) {
        throw py::error_already_set();
    }
    type->tp_new = refuse_new;
    PyType_Modified(type);
}

}  // namespace zarnik::python
