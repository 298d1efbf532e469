#pragma once

// The public interface of the symbolic core: lane vectors, graph nodes and the
// handles that refer to them, leaf factories, expression builders, evaluation
// and reverse-mode gradients, compiled tapes and compiled functions of inputs, and derivatives as
// graphs (gradients, directional derivatives, Hessians), sparse Jacobians and Hessians, and C code generated from
// compiled functions. Everything is in the namespace zarnik::symbolic.

#include "symbolic/derivatives.hpp"
#include "symbolic/expression.hpp"
#include "symbolic/factories.hpp"
#include "symbolic/function.hpp"
#include "symbolic/generate.hpp"
#include "symbolic/problem.hpp"
#include "symbolic/rows.hpp"
#include "symbolic/serialization.hpp"
#include "symbolic/small_value.hpp"
#include "symbolic/sparsity.hpp"
#include "symbolic/tape.hpp"
#include "symbolic/value.hpp"
#include "symbolic/vec.hpp"
#include "symbolic/vectors.hpp"
#include "symbolic/version.hpp"
