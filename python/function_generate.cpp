// C code generated from a compiled function: Function.generate writes the
// sources and header of symbolic/generate.hpp into a folder.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <filesystem>
#include <string>
#include <vector>

#include "call_arguments.hpp"
#include "compiled.hpp"
#include "signal_checks.hpp"
#include "symbolic/generate.hpp"

namespace zarnik::python {

using namespace symbolic;

namespace {

// The derivatives asked for by name: "jacobian", "gradient", "jvp" and "hvp".
void choose_derivatives(const py::object& derivatives, GenerateOptions& options) {
    if (py::isinstance<py::str>(derivatives)) {
        throw py::type_error("derivatives must be a sequence of names, such as (\"jacobian\",)");
    }
    options.jacobian = false;
    options.gradient = false;
    options.jvp = false;
    options.hvp = false;
    for (const py::handle item : derivatives) {
        if (!py::isinstance<py::str>(item)) {
            throw py::type_error("derivatives must be a sequence of names, such as (\"jacobian\",)");
        }
        const std::string name = item.cast<std::string>();
        if (name == "jacobian") {
            options.jacobian = true;
        } else if (name == "gradient") {
            options.gradient = true;
        } else if (name == "jvp") {
            options.jvp = true;
        } else if (name == "hvp") {
            options.hvp = true;
        } else {
            throw py::value_error("unknown derivative " + py::repr(item).cast<std::string>() +
                                  ": generated code offers \"jacobian\", \"gradient\", \"jvp\" and \"hvp\"");
        }
    }
}

}  // namespace

void bind_function_generate(py::class_<PyFunction>& function_class) {
    function_class.def(
        "generate",
        [](const PyFunction& self, const py::object& directory, const std::string& name, const py::object& wrt,
           const py::object& derivatives) {
            GenerateOptions options;
            if (!wrt.is_none()) {
                options.wrt = wrt_positions(self, wrt);
            }
            choose_derivatives(derivatives, options);
            // Generation holds the interpreter's lock: Ctrl-C stops it, before any file is written.
            options.check = [] { check_signals(); };
            // A path as the system's bytes, which need not be UTF-8, and back.
            const py::module_ os = py::module_::import("os");
            const auto folder = os.attr("fsencode")(directory).cast<std::string>();
            const GeneratedPaths paths = symbolic::generate(self.function, folder, name, options);
            const py::object path = py::module_::import("pathlib").attr("Path");
            const auto as_path = [&](const std::filesystem::path& file) {
                return path(os.attr("fsdecode")(py::bytes(file.string())));
            };
            py::list sources;
            for (const auto& source : paths.sources) {
                sources.append(as_path(source));
            }
            return py::make_tuple(as_path(paths.header), py::tuple(sources));
        },
        py::arg("directory"), py::arg("name"), py::kw_only(), py::arg("wrt") = py::none(),
        py::arg("derivatives") = py::make_tuple("jacobian"),
        R"(Writes the function as plain C99 code into `directory`: the header NAME.h and the sources
to compile (NAME.c, and NAME_1.c, ... for a large graph), which need only libm. Entry points: NAME
(the outputs), NAME_jacobian ("jacobian" in `derivatives`: against the lanes of the inputs `wrt`),
NAME_gradient ("gradient": a scalar output's value and gradient), NAME_jvp ("jvp": of the inputs
and their tangents, the outputs and theirs) and NAME_hvp ("hvp": of the inputs and a vector, one
value per input, the Hessian times the vector), each with a _rows form. They compute exactly the
bits of the function's calls. Returns the header's path and the sources' paths.)");
}

}  // namespace zarnik::python
